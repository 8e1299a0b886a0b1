// Request-path confinement for `vnhttp serve` (see confine.h). No file is opened here.
#include "confine.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

namespace vnhttp {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool PercentDecode(const std::string& text, std::string* out) {
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            result += text[i];
            continue;
        }
        int hi = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
        int lo = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
        if (hi < 0 || lo < 0) return false;
        result += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    *out = result;
    return true;
}

PathVerdict CheckRequestTarget(const std::string& target, std::string* relative) {
    std::string raw = target.substr(0, target.find_first_of("?#"));
    // Only origin-form targets are served; "http://...", "*" and "//host/x" are absolute.
    if (raw.empty() || raw[0] != '/' || (raw.size() > 1 && raw[1] == '/')) {
        return PathVerdict::kForbidden;
    }
    // Separators must be literal: an encoded '/' or '\' would survive the segment check
    // below and be reinterpreted by whoever splits the decoded path again.
    for (size_t i = 0; i + 2 < raw.size(); ++i) {
        int hi = HexValue(raw[i + 1]);
        int lo = HexValue(raw[i + 2]);
        if (raw[i] != '%' || hi < 0 || lo < 0) continue;
        int value = hi * 16 + lo;
        if (value == '/' || value == '\\' || value == 0) return PathVerdict::kForbidden;
    }
    std::string decoded;
    if (!PercentDecode(raw, &decoded)) return PathVerdict::kBadRequest;
    std::string result;
    size_t pos = 1;
    while (pos <= decoded.size()) {
        size_t end = decoded.find('/', pos);
        if (end == std::string::npos) end = decoded.size();
        std::string segment = decoded.substr(pos, end - pos);
        pos = end + 1;
        if (segment.empty() || segment == ".") continue;
        if (segment == "..") return PathVerdict::kForbidden;
        for (unsigned char c : segment) {
            if (c == '\\') return PathVerdict::kForbidden;
            if (c < 0x20 || c == 0x7f) return PathVerdict::kBadRequest;
        }
        if (!result.empty()) result += '/';
        result += segment;
    }
    *relative = result;
    return PathVerdict::kOk;
}

namespace {

// The slow path, taken once a symbolic link is met: realpath() resolves every link with
// readlink and opens nothing, so a link to a FIFO or a device outside root is judged before
// any open(). *st is the stat of the result.
PathVerdict ResolveLinks(const std::string& root, const std::string& joined, std::string* real,
                         struct stat* st) {
    char resolved[PATH_MAX];
    if (realpath(joined.c_str(), resolved) == nullptr) {
        return (errno == EACCES || errno == ELOOP) ? PathVerdict::kForbidden
                                                   : PathVerdict::kNotFound;
    }
    *real = resolved;
    bool inside =
        *real == root || (real->size() > root.size() && real->compare(0, root.size(), root) == 0 &&
                          (root == "/" || (*real)[root.size()] == '/'));
    if (!inside) return PathVerdict::kForbidden;
    return stat(real->c_str(), st) == 0 ? PathVerdict::kOk : PathVerdict::kNotFound;
}

}  // namespace

ConfinedPath ConfineRequestTarget(const std::string& root, const std::string& target) {
    ConfinedPath out;
    std::string relative;
    out.verdict = CheckRequestTarget(target, &relative);
    if (out.verdict != PathVerdict::kOk) return out;
    // root is canonical and relative holds plain names only (no "", "." or ".."), so their
    // join is canonical too unless a name on the way is a symbolic link. One lstat per name
    // proves there is none: the usual request then costs a single system call, which also
    // gives the type and size, where realpath() read every link of root's own path and a
    // stat() followed. The first link met hands the whole path to realpath() instead.
    std::string real = root == "/" ? std::string() : root;
    struct stat st = {};
    bool linked = false;
    if (relative.empty() && stat(root.c_str(), &st) != 0) {
        out.verdict = PathVerdict::kNotFound;
        return out;
    }
    for (size_t pos = 0; pos < relative.size() && !linked;) {
        size_t end = relative.find('/', pos);
        if (end == std::string::npos) end = relative.size();
        real += '/';
        real.append(relative, pos, end - pos);
        pos = end + 1;
        if (lstat(real.c_str(), &st) != 0) {
            out.verdict = errno == EACCES ? PathVerdict::kForbidden : PathVerdict::kNotFound;
            return out;
        }
        linked = S_ISLNK(st.st_mode);
    }
    if (linked) {
        std::string joined = root == "/" ? "/" + relative : root + "/" + relative;
        out.verdict = ResolveLinks(root, joined, &real, &st);
        if (out.verdict != PathVerdict::kOk) return out;
    }
    out.fsPath = relative.empty() ? root : real;
    out.urlPath = "/" + relative;
    if (S_ISDIR(st.st_mode)) {
        out.isDirectory = true;
        if (!relative.empty()) out.urlPath += '/';
    } else if (S_ISREG(st.st_mode)) {
        out.size = static_cast<unsigned long long>(st.st_size);
    } else {
        out.verdict = PathVerdict::kNotFound;  // FIFOs, sockets and devices are never served
        return out;
    }
    out.verdict = PathVerdict::kOk;
    return out;
}

}  // namespace vnhttp
