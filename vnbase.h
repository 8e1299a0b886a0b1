// Public header: the umbrella of libvnbase.so. Includes every public header of the
// library, so a consumer writes #include "vnbase.h" and links with -lvnbase.
#pragma once

// Runtime primitives
#include "base/vnexport.h"
#include "base/vnlog.h"
#include "base/vntime.h"
#include "base/vnconvert.h"
#include "base/vnlock.h"
#include "base/vnevent.h"
#include "base/vnthread.h"
