// The socket factories (vnsocketi.h): they choose the implementation by proxy type.
//
// A proxied socket whose settings are incomplete (no host, port 0) or cannot go on the wire
// (a user name or password over 255 bytes) is not made: a direct socket in its place would
// silently bypass the proxy the caller configured. Each proxy class offers
// `bool SetProxyInfo(host, port, user, password)`.
#include <new>

#include "net/vnhttpproxy_internal.h"
#include "net/vnproxyinfo_internal.h"
#include "net/vnsocks5_internal.h"
#include "net/vnsocketi.h"
#include "net/vntcpcnnsocket_internal.h"
#include "net/vntcplistensocket_internal.h"
#include "net/vntcpsocket_internal.h"
#include "net/vnudpsocket_internal.h"

namespace {

// A new proxied socket T holding the proxy settings, or null (the object destroyed) when
// allocation fails or SetProxyInfo refuses the settings (no host, port 0, over-long fields).
template <class T>
T* NewProxied(const char* host, unsigned short port, const char* user, const char* password) {
    T* socket = new (std::nothrow) T;
    if (socket == nullptr) return nullptr;
    if (!socket->SetProxyInfo(host, port, user, password)) {
        delete socket;
        return nullptr;
    }
    return socket;
}

}  // namespace

// ---- Outgoing connections ----

CVNITCPCnnSocket* VNCreateNoneProxyCnnTCPSocket() {
    return new (std::nothrow) CVNTCPCnnSocket;
}

CVNITCPCnnSocket* VNCreateProxyCnnTCPSocket(VNProxyType type, const char* host, unsigned short port,
                                            const char* user, const char* password) {
    switch (type) {
        case VNPROXY_NONE:
            return VNCreateNoneProxyCnnTCPSocket();
        case VNPROXY_HTTP:
            return NewProxied<CVNHttpProxyTCPCnnSocket>(host, port, user, password);
        case VNPROXY_SOCKS5:
            return NewProxied<CVNSocks5ProxyTCPCnnSocket>(host, port, user, password);
    }
    return nullptr;
}

CVNITCPCnnSocket* VNCreateCnnTCPSocket() {
    using vn::detail::GlobalProxySnapshot;
    GlobalProxySnapshot s = vn::detail::GetGlobalProxySnapshot();
    return VNCreateProxyCnnTCPSocket(s.type, GlobalProxySnapshot::Arg(s.host), s.port,
                                     GlobalProxySnapshot::Arg(s.user),
                                     GlobalProxySnapshot::Arg(s.password));
}

// ---- Listening sockets ----

CVNITCPListenSocket* VNCreateNoneProxyTCPListenSocket() {
    return new (std::nothrow) CVNTCPListenSocket;
}

CVNITCPListenSocket* VNCreateProxyTCPListenSocket(VNProxyType type, const char* host,
                                                  unsigned short port, const char* user,
                                                  const char* password) {
    switch (type) {
        case VNPROXY_NONE:
        case VNPROXY_HTTP:  // an HTTP proxy cannot listen: listen directly
            return VNCreateNoneProxyTCPListenSocket();
        case VNPROXY_SOCKS5:
            return NewProxied<CVNSocks5ProxyTCPListenSocket>(host, port, user, password);
    }
    return nullptr;
}

CVNITCPListenSocket* VNCreateTCPListenSocket() {
    using vn::detail::GlobalProxySnapshot;
    GlobalProxySnapshot s = vn::detail::GetGlobalProxySnapshot();
    return VNCreateProxyTCPListenSocket(s.type, GlobalProxySnapshot::Arg(s.host), s.port,
                                        GlobalProxySnapshot::Arg(s.user),
                                        GlobalProxySnapshot::Arg(s.password));
}

// ---- Connected streams ----

CVNITCPSocket* VNCreateTCPSocket() {
    return new (std::nothrow) CVNTCPSocket;
}

// ---- Datagrams ----

CVNIUDPSocket* VNCreateNoneProxyUDPSocket() {
    return new (std::nothrow) CVNUDPSocket;
}

CVNIUDPSocket* VNCreateProxyUDPSocket(VNProxyType type, const char* host, unsigned short port,
                                      const char* user, const char* password) {
    switch (type) {
        case VNPROXY_NONE:
        case VNPROXY_HTTP:  // an HTTP proxy relays no datagrams: send directly
            return VNCreateNoneProxyUDPSocket();
        case VNPROXY_SOCKS5:
            return NewProxied<CVNSocks5ProxyUDPSocket>(host, port, user, password);
    }
    return nullptr;
}

CVNIUDPSocket* VNCreateUDPSocket() {
    using vn::detail::GlobalProxySnapshot;
    GlobalProxySnapshot s = vn::detail::GetGlobalProxySnapshot();
    return VNCreateProxyUDPSocket(s.type, GlobalProxySnapshot::Arg(s.host), s.port,
                                  GlobalProxySnapshot::Arg(s.user),
                                  GlobalProxySnapshot::Arg(s.password));
}
