// The process-wide proxy settings and the per-socket proxy settings helper.
//
// The settings are meant to be set once, before sockets are made, but a factory may run
// on an I/O thread while the application changes them: a lock keeps a factory from
// copying a string that is being freed. VNGetGlobalProxyInfo hands out the stored copies
// themselves, as designed, so those stay valid only until the next VNSetGlobalProxyInfo.
#include "net/vnproxyinfo_internal.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>

namespace {

struct GlobalProxy {
    std::mutex lock;
    VNProxyType type = VNPROXY_NONE;  // guarded by lock, as are the fields below
    char* host = nullptr;             // malloc'ed; never freed before exit on purpose
    unsigned short port = 0;
    char* user = nullptr;
    char* password = nullptr;
};

// Never destroyed: a factory or a Get on another thread may still run during exit.
GlobalProxy& Global() {
    static GlobalProxy* g = new GlobalProxy;
    return *g;
}

// Replaces *slot by a copy of value when value is neither null nor empty.
void Replace(char** slot, const char* value) {
    if (value == nullptr || value[0] == '\0') return;
    char* copy = strdup(value);
    if (copy == nullptr) return;  // out of memory: keep the previous value
    free(*slot);
    *slot = copy;
}

// A copy of value, or null for null; *ok turns false when the copy failed.
char* CopyOrNull(const char* value, bool* ok) {
    if (value == nullptr) return nullptr;
    char* copy = strdup(value);
    if (copy == nullptr) *ok = false;
    return copy;
}

}  // namespace

void VNSetGlobalProxyInfo(VNProxyType type, const char* host, unsigned short port, const char* user,
                          const char* password) {
    GlobalProxy& g = Global();
    std::lock_guard<std::mutex> guard(g.lock);
    g.type = type;
    g.port = port;
    Replace(&g.host, host);
    Replace(&g.user, user);
    Replace(&g.password, password);
}

void VNGetGlobalProxyInfo(VNProxyType& type, char** host, unsigned short* port, char** user,
                          char** password) {
    GlobalProxy& g = Global();
    std::lock_guard<std::mutex> guard(g.lock);
    type = g.type;
    if (host != nullptr) *host = g.host;
    if (port != nullptr) *port = g.port;
    if (user != nullptr) *user = g.user;
    if (password != nullptr) *password = g.password;
}

namespace vn {
namespace detail {

ProxySettings::~ProxySettings() {
    free(host);
    free(user);
    free(password);
}

bool ProxySettings::Assign(const char* newHost, unsigned short newPort, const char* newUser,
                           const char* newPassword) {
    if (newHost == nullptr || newPort == 0) return false;
    bool ok = true;
    char* h = CopyOrNull(newHost, &ok);
    char* u = CopyOrNull(newUser, &ok);
    char* p = CopyOrNull(newPassword, &ok);
    if (!ok) {
        free(h);
        free(u);
        free(p);
        return false;
    }
    free(host);
    free(user);
    free(password);
    host = h;
    port = newPort;
    user = u;
    password = p;
    return true;
}

GlobalProxySnapshot GetGlobalProxySnapshot() {
    GlobalProxy& g = Global();
    GlobalProxySnapshot s;
    std::lock_guard<std::mutex> guard(g.lock);
    s.type = g.type;
    s.port = g.port;
    if (g.host != nullptr) s.host = g.host;
    if (g.user != nullptr) s.user = g.user;
    if (g.password != nullptr) s.password = g.password;
    return s;
}

}  // namespace detail
}  // namespace vn

namespace {
std::atomic<bool> s_bRemoteNames{false};
}  // namespace

void VNSetGlobalProxyRemoteNames(bool bRemote) {
    s_bRemoteNames.store(bRemote, std::memory_order_relaxed);
}

bool VNGetGlobalProxyRemoteNames() {
    return s_bRemoteNames.load(std::memory_order_relaxed);
}
