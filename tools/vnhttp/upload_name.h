// Names for files that `vnhttp serve --upload` stores (and that `vnhttp get -O` writes):
// a client-supplied name reduced to a safe base name, and the exclusive creation of a
// name that does not exist yet. Pure functions, callable from any thread.
#pragma once

#include <string>

namespace vnhttp {

// The last component of raw (after any '/' or '\'), with control characters, characters
// outside letters, digits, " ._-+()" and ill-formed UTF-8 turned into '_', leading dots
// and spaces dropped (no hidden names, no "." or ".."), trailing dots and spaces dropped,
// and at most 200 bytes long (cut on a character boundary, the extension kept).
// "upload" when nothing is left.
std::string SanitizeUploadName(const std::string& raw);

// Creates dir/name as an empty file (O_EXCL), or, when that name is taken, "stem-1.ext",
// "stem-2.ext", ... up to 9999, never replacing anything. Returns the name created, or ""
// with *error set.
std::string ReserveUploadName(const std::string& dir, const std::string& name, std::string* error);

}  // namespace vnhttp
