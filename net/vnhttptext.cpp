// HTTP text helpers shared by the proxy client, the HTTP client and the server (see
// vnhttptext_internal.h).
#include "net/vnhttptext_internal.h"

#include <string.h>

namespace vn {
namespace detail {

std::string Base64Encode(const unsigned char* data, size_t len) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((len + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        unsigned v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (len - i == 1) {
        unsigned v = data[i] << 16;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (len - i == 2) {
        unsigned v = (data[i] << 16) | (data[i + 1] << 8);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

namespace {

inline char FoldCase(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Offset of the first match of key (len klen) in hay[0, len) ignoring ASCII case, or -1.
int FindNoCase(const char* hay, size_t len, const char* key, size_t klen) {
    if (klen == 0 || klen > len) return -1;
    char first = FoldCase(key[0]);
    for (size_t i = 0; i + klen <= len; ++i) {
        if (FoldCase(hay[i]) != first) continue;
        size_t j = 1;
        while (j < klen && FoldCase(hay[i + j]) == FoldCase(key[j]))
            ++j;
        if (j == klen) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

int HttpFindHeader(const char* head, size_t len, const char* name) {
    if (head == nullptr || name == nullptr || name[0] == '\0') return -1;
    std::string key = "\n";
    key += name;
    key += ':';
    int at = FindNoCase(head, len, key.data(), key.size());
    if (at < 0) {
        key.insert(key.size() - 1, " ");
        at = FindNoCase(head, len, key.data(), key.size());
    }
    return at < 0 ? -1 : at + static_cast<int>(key.size());
}

}  // namespace detail
}  // namespace vn
