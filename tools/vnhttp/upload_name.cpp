// Safe names for stored uploads (see upload_name.h).
#include "upload_name.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

namespace vnhttp {
namespace {

const size_t kMaxNameBytes = 200;

// Length of the well-formed UTF-8 sequence at s[i] (2 to 4 bytes), or 0.
size_t Utf8SequenceLength(const std::string& s, size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c >= 0xC2 && c <= 0xDF   ? 2
               : c >= 0xE0 && c <= 0xEF ? 3
               : c >= 0xF0 && c <= 0xF4 ? 4
                                        : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
    }
    unsigned char c1 = static_cast<unsigned char>(s[i + 1]);
    if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) ||  // overlong, surrogates
        (c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F)) {  // overlong, above U+10FFFF
        return 0;
    }
    return n;
}

bool IsPlainNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           strchr(" ._-+()", c) != nullptr;
}

// Cuts s to at most max bytes without splitting a UTF-8 sequence.
std::string CutUtf8(const std::string& s, size_t max) {
    if (s.size() <= max) return s;
    size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80)
        --end;
    return s.substr(0, end);
}

}  // namespace

std::string SanitizeUploadName(const std::string& raw) {
    size_t slash = raw.find_last_of("/\\");
    std::string base = slash == std::string::npos ? raw : raw.substr(slash + 1);
    std::string clean;
    for (size_t i = 0; i < base.size();) {
        if (base[i] != '\0' && IsPlainNameChar(base[i])) {
            clean += base[i++];
            continue;
        }
        size_t n = static_cast<unsigned char>(base[i]) >= 0x80 ? Utf8SequenceLength(base, i) : 0;
        if (n > 0) {
            clean.append(base, i, n);
            i += n;
        } else {
            clean += '_';
            ++i;
        }
    }
    size_t first = clean.find_first_not_of(". ");
    clean = first == std::string::npos ? "" : clean.substr(first);
    size_t last = clean.find_last_not_of(". ");
    clean.resize(last == std::string::npos ? 0 : last + 1);
    if (clean.size() > kMaxNameBytes) {
        size_t dot = clean.rfind('.');
        std::string ext = dot != std::string::npos && clean.size() - dot <= 16 ? clean.substr(dot)
                                                                               : std::string();
        clean =
            CutUtf8(clean.substr(0, clean.size() - ext.size()), kMaxNameBytes - ext.size()) + ext;
    }
    return clean.empty() ? "upload" : clean;
}

std::string ReserveUploadName(const std::string& dir, const std::string& name, std::string* error) {
    size_t dot = name.rfind('.');
    if (dot == 0 || dot == std::string::npos) dot = name.size();
    std::string stem = name.substr(0, dot);
    std::string ext = name.substr(dot);
    for (int n = 0; n <= 9999; ++n) {
        std::string candidate = n == 0 ? name : stem + "-" + std::to_string(n) + ext;
        std::string path = dir + "/" + candidate;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0) {
            close(fd);
            return candidate;
        }
        if (errno != EEXIST) {
            *error = "cannot create " + path + ": " + strerror(errno);
            return std::string();
        }
    }
    *error = "no free name for " + name + " in " + dir;
    return std::string();
}

}  // namespace vnhttp
