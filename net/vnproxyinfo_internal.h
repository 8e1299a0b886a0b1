// Internal header (not installed): proxy settings as the proxied sockets and the factories
// keep them. Callable from any thread (ProxySettings objects belong to their owner).
//   vn::detail::ProxySettings p;
//   if (!p.Assign(host, port, user, password)) return nullptr;   // null host or port 0
#pragma once

#include <string>

#include "net/vnsocketi.h"

namespace vn {
namespace detail {

// The proxy one proxied socket goes through: owned copies of host, user and password.
struct ProxySettings {
    char* host = nullptr;  // malloc'ed copy, or null
    unsigned short port = 0;
    char* user = nullptr;      // malloc'ed copy, or null when none was given
    char* password = nullptr;  // malloc'ed copy, or null when none was given

    ProxySettings() = default;
    ~ProxySettings();
    ProxySettings(const ProxySettings&) = delete;
    ProxySettings& operator=(const ProxySettings&) = delete;

    // Stores a copy of host, the port, and copies of user and password when they are not
    // null (empty strings are copied too). false, keeping the previous settings, for a
    // null host, port 0 or no memory.
    bool Assign(const char* host, unsigned short port, const char* user, const char* password);
};

// A copy of the process-wide settings taken under their lock. A string that was never set
// is empty (VNSetGlobalProxyInfo never stores an empty one).
struct GlobalProxySnapshot {
    VNProxyType type = VNPROXY_NONE;
    std::string host;
    unsigned short port = 0;
    std::string user;
    std::string password;

    // The string as a factory argument: null when never set.
    static const char* Arg(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }
};
GlobalProxySnapshot GetGlobalProxySnapshot();

}  // namespace detail
}  // namespace vn
