// Request-path confinement for `vnhttp serve`: turns the target of a request line into a
// file-system path inside the served directory, or into the refusal to answer with.
// Nothing here opens a file: the checks use the path text, lstat() and (once a symbolic
// link is met) realpath() and stat() only, so a request that escapes the directory (or
// names a FIFO or device) never reaches open(). Pure functions, callable from any thread.
#pragma once

#include <string>

namespace vnhttp {

enum class PathVerdict {
    kOk,
    kBadRequest,  // malformed percent-encoding or control characters: 400
    kForbidden,   // "..", absolute paths, encoded separators, escaping links: 403
    kNotFound,    // nothing there, or not a regular file or directory: 404
};

// Percent-decodes text ("%41" -> 'A'; '+' is kept). False for a '%' without two hex digits.
bool PercentDecode(const std::string& text, std::string* out);

// Checks the target of a request line ("/a/b%20c?x=1") without touching the file system.
// On kOk *relative holds the decoded path below the served directory with single '/'
// separators and no leading or trailing '/' ("" for the directory itself).
// Refused (403): a target that does not begin with '/' or begins with "//" (an absolute
// or network path), a ".." segment, a backslash anywhere, and an encoded '/' or NUL. The
// query and fragment are dropped before decoding.
PathVerdict CheckRequestTarget(const std::string& target, std::string* relative);

struct ConfinedPath {
    PathVerdict verdict = PathVerdict::kNotFound;
    std::string fsPath;   // canonical path (no link, as realpath gives it) inside root, when kOk
    std::string urlPath;  // "/" + relative, with a trailing '/' for directories
    bool isDirectory = false;
    unsigned long long size = 0;  // of a regular file
};

// Resolves target below root, which must itself be a realpath() result. A path whose
// resolved form (every symbolic link followed) lies outside root gives kForbidden. The
// served file is then named by its resolved path, which holds no link. A path without a
// link costs one lstat() per name; a link anywhere on it costs a realpath() and a stat().
ConfinedPath ConfineRequestTarget(const std::string& root, const std::string& target);

}  // namespace vnhttp
