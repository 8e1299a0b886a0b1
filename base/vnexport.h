// Public header (part of vnbase.h).
// Kept so that code written against the old location still builds: the export macro and
// the invariant checks live in common/vnexport.h, the lowest layer that needs them.
#pragma once

#include "common/vnexport.h"
