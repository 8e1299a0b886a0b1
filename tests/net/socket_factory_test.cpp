// The factories (direct and proxied rows; an HTTP proxy means "direct" for listening and
// datagrams) and the process-wide proxy settings.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "net/socket_test_util.h"
#include "net/vnhttpproxy_internal.h"
#include "net/vnproxyinfo_internal.h"
#include "net/vnsocks5_internal.h"
#include "net/vnsocketi.h"
#include "net/vntcpcnnsocket_internal.h"
#include "net/vntcplistensocket_internal.h"
#include "net/vntcpsocket_internal.h"
#include "net/vnudpsocket_internal.h"

using namespace socktest;

namespace {

// Restores "no proxy" at the end of a test that changed the process-wide settings.
struct ProxyReset {
    ~ProxyReset() { VNSetGlobalProxyInfo(VNPROXY_NONE, nullptr, 0, nullptr, nullptr); }
};

std::string Str(const char* s) {
    return s != nullptr ? std::string(s) : std::string("<null>");
}

}  // namespace

TEST(SocketFactory, DirectFactoriesMakeTheDirectClasses) {
    IOThread io("Factory");
    ASSERT_TRUE(io.Run([&] {
        CVNITCPCnnSocket* c = VNCreateNoneProxyCnnTCPSocket();
        CVNITCPListenSocket* l = VNCreateNoneProxyTCPListenSocket();
        CVNITCPSocket* s = VNCreateTCPSocket();
        CVNIUDPSocket* u = VNCreateNoneProxyUDPSocket();
        EXPECT_NE(nullptr, dynamic_cast<CVNTCPCnnSocket*>(c));
        EXPECT_NE(nullptr, dynamic_cast<CVNTCPListenSocket*>(l));
        EXPECT_NE(nullptr, dynamic_cast<CVNTCPSocket*>(s));
        EXPECT_NE(nullptr, dynamic_cast<CVNUDPSocket*>(u));
        delete c;
        delete l;
        delete s;
        delete u;
    }));
}

TEST(SocketFactory, ProxyTypesAndMissingHost) {
    IOThread io("FactoryTypes");
    ASSERT_TRUE(io.Run([&] {
        // Type 0 ignores the proxy arguments.
        CVNITCPCnnSocket* c =
            VNCreateProxyCnnTCPSocket(VNPROXY_NONE, nullptr, 8080, nullptr, nullptr);
        EXPECT_NE(nullptr, dynamic_cast<CVNTCPCnnSocket*>(c));
        delete c;
        // Proxied without a host: null.
        EXPECT_EQ(nullptr,
                  VNCreateProxyCnnTCPSocket(VNPROXY_HTTP, nullptr, 8080, nullptr, nullptr));
        EXPECT_EQ(nullptr,
                  VNCreateProxyCnnTCPSocket(VNPROXY_SOCKS5, nullptr, 1080, nullptr, nullptr));
        EXPECT_EQ(nullptr,
                  VNCreateProxyTCPListenSocket(VNPROXY_SOCKS5, nullptr, 1080, nullptr, nullptr));
        EXPECT_EQ(nullptr, VNCreateProxyUDPSocket(VNPROXY_SOCKS5, nullptr, 1080, nullptr, nullptr));
        // Port 0: null as well.
        EXPECT_EQ(nullptr, VNCreateProxyCnnTCPSocket(VNPROXY_HTTP, "127.0.0.1", 0, "u", "p"));
        EXPECT_EQ(nullptr, VNCreateProxyUDPSocket(VNPROXY_SOCKS5, "127.0.0.1", 0, "u", "p"));
        // Complete settings give the proxy clients.
        CVNITCPCnnSocket* hc = VNCreateProxyCnnTCPSocket(VNPROXY_HTTP, "127.0.0.1", 8080, "u", "p");
        EXPECT_NE(nullptr, dynamic_cast<CVNHttpProxyTCPCnnSocket*>(hc));
        delete hc;
        CVNITCPCnnSocket* sc =
            VNCreateProxyCnnTCPSocket(VNPROXY_SOCKS5, "127.0.0.1", 1080, "u", "p");
        EXPECT_NE(nullptr, dynamic_cast<CVNSocks5ProxyTCPCnnSocket*>(sc));
        delete sc;
        CVNITCPListenSocket* sl =
            VNCreateProxyTCPListenSocket(VNPROXY_SOCKS5, "127.0.0.1", 1080, "u", "p");
        EXPECT_NE(nullptr, dynamic_cast<CVNSocks5ProxyTCPListenSocket*>(sl));
        delete sl;
        CVNIUDPSocket* su = VNCreateProxyUDPSocket(VNPROXY_SOCKS5, "127.0.0.1", 1080, "u", "p");
        EXPECT_NE(nullptr, dynamic_cast<CVNSocks5ProxyUDPSocket*>(su));
        delete su;
        // A user name or password that cannot go on the wire whole: null, not a cut copy.
        std::string f256(256, 'x');
        EXPECT_EQ(nullptr,
                  VNCreateProxyCnnTCPSocket(VNPROXY_SOCKS5, "127.0.0.1", 1080, f256.c_str(), "p"));
        EXPECT_EQ(nullptr, VNCreateProxyTCPListenSocket(VNPROXY_SOCKS5, "127.0.0.1", 1080, "u",
                                                        f256.c_str()));
        EXPECT_EQ(nullptr,
                  VNCreateProxyCnnTCPSocket(VNPROXY_HTTP, "127.0.0.1", 8080, "u", f256.c_str()));

        // An HTTP proxy cannot listen or relay datagrams: direct sockets, host or not.
        CVNITCPListenSocket* l =
            VNCreateProxyTCPListenSocket(VNPROXY_HTTP, nullptr, 8080, nullptr, nullptr);
        EXPECT_NE(nullptr, dynamic_cast<CVNTCPListenSocket*>(l));
        delete l;
        CVNIUDPSocket* u = VNCreateProxyUDPSocket(VNPROXY_HTTP, nullptr, 8080, nullptr, nullptr);
        EXPECT_NE(nullptr, dynamic_cast<CVNUDPSocket*>(u));
        delete u;
        l = VNCreateProxyTCPListenSocket(VNPROXY_NONE, nullptr, 0, nullptr, nullptr);
        EXPECT_NE(nullptr, dynamic_cast<CVNTCPListenSocket*>(l));
        delete l;
        u = VNCreateProxyUDPSocket(VNPROXY_NONE, nullptr, 0, nullptr, nullptr);
        EXPECT_NE(nullptr, dynamic_cast<CVNUDPSocket*>(u));
        delete u;

        // Unknown types: null from all three.
        for (int t : {3, -1, 1000}) {
            VNProxyType type = static_cast<VNProxyType>(t);
            EXPECT_EQ(nullptr, VNCreateProxyCnnTCPSocket(type, "127.0.0.1", 8080, "u", "p"));
            EXPECT_EQ(nullptr, VNCreateProxyTCPListenSocket(type, "127.0.0.1", 8080, "u", "p"));
            EXPECT_EQ(nullptr, VNCreateProxyUDPSocket(type, "127.0.0.1", 8080, "u", "p"));
        }
    }));
}

TEST(SocketFactory, GlobalFactoriesFollowTheProcessWideSettings) {
    ProxyReset reset;
    IOThread io("FactoryGlobal");
    VNSetGlobalProxyInfo(VNPROXY_NONE, nullptr, 0, nullptr, nullptr);
    ASSERT_TRUE(io.Run([&] {
        CVNITCPCnnSocket* c = VNCreateCnnTCPSocket();
        CVNITCPListenSocket* l = VNCreateTCPListenSocket();
        CVNIUDPSocket* u = VNCreateUDPSocket();
        EXPECT_NE(nullptr, dynamic_cast<CVNTCPCnnSocket*>(c));
        EXPECT_NE(nullptr, dynamic_cast<CVNTCPListenSocket*>(l));
        EXPECT_NE(nullptr, dynamic_cast<CVNUDPSocket*>(u));
        delete c;
        delete l;
        delete u;
    }));
    VNSetGlobalProxyInfo(VNPROXY_HTTP, "127.0.0.1", 3128, nullptr, nullptr);
    ASSERT_TRUE(io.Run([&] {
        CVNITCPCnnSocket* c = VNCreateCnnTCPSocket();
        EXPECT_NE(nullptr, dynamic_cast<CVNHttpProxyTCPCnnSocket*>(c));
        delete c;
        CVNITCPListenSocket* l = VNCreateTCPListenSocket();
        CVNIUDPSocket* u = VNCreateUDPSocket();
        EXPECT_NE(nullptr, dynamic_cast<CVNTCPListenSocket*>(l));
        EXPECT_NE(nullptr, dynamic_cast<CVNUDPSocket*>(u));
        delete l;
        delete u;
    }));
    VNSetGlobalProxyInfo(VNPROXY_SOCKS5, "127.0.0.1", 1080, nullptr, nullptr);
    ASSERT_TRUE(io.Run([&] {
        CVNITCPCnnSocket* c = VNCreateCnnTCPSocket();
        CVNITCPListenSocket* l = VNCreateTCPListenSocket();
        CVNIUDPSocket* u = VNCreateUDPSocket();
        EXPECT_NE(nullptr, dynamic_cast<CVNSocks5ProxyTCPCnnSocket*>(c));
        EXPECT_NE(nullptr, dynamic_cast<CVNSocks5ProxyTCPListenSocket*>(l));
        EXPECT_NE(nullptr, dynamic_cast<CVNSocks5ProxyUDPSocket*>(u));
        delete c;
        delete l;
        delete u;
    }));
    VNSetGlobalProxyInfo(static_cast<VNProxyType>(3), nullptr, 0, nullptr, nullptr);
    ASSERT_TRUE(io.Run([&] {
        EXPECT_EQ(nullptr, VNCreateCnnTCPSocket());
        EXPECT_EQ(nullptr, VNCreateTCPListenSocket());
        EXPECT_EQ(nullptr, VNCreateUDPSocket());
    }));
}

TEST(ProxySettings, NullOrEmptyStringsKeepTheEarlierOnes) {
    ProxyReset reset;
    VNSetGlobalProxyInfo(VNPROXY_HTTP, "hostA", 8080, "alice", "secret");
    VNProxyType type = VNPROXY_NONE;
    char* host = nullptr;
    unsigned short port = 0;
    char* user = nullptr;
    char* password = nullptr;
    VNGetGlobalProxyInfo(type, &host, &port, &user, &password);
    EXPECT_EQ(VNPROXY_HTTP, type);
    EXPECT_EQ("hostA", Str(host));
    EXPECT_EQ(8080, port);
    EXPECT_EQ("alice", Str(user));
    EXPECT_EQ("secret", Str(password));

    VNSetGlobalProxyInfo(VNPROXY_SOCKS5, "", 1080, nullptr, nullptr);
    VNGetGlobalProxyInfo(type, &host, &port, &user, &password);
    EXPECT_EQ(VNPROXY_SOCKS5, type);
    EXPECT_EQ("hostA", Str(host));
    EXPECT_EQ(1080, port);
    EXPECT_EQ("alice", Str(user));
    EXPECT_EQ("secret", Str(password));

    VNSetGlobalProxyInfo(VNPROXY_SOCKS5, "hostB", 0, "", "pw2");
    VNGetGlobalProxyInfo(type, &host, &port, &user, &password);
    EXPECT_EQ("hostB", Str(host));
    EXPECT_EQ(0, port);  // the port is stored unconditionally
    EXPECT_EQ("alice", Str(user));
    EXPECT_EQ("pw2", Str(password));

    // The strings handed out are the stored copies: the same pointer until replaced.
    char* again = nullptr;
    VNGetGlobalProxyInfo(type, &again, nullptr, nullptr, nullptr);
    EXPECT_EQ(host, again);
}

TEST(ProxySettings, GetWritesOnlyWhatItIsAskedFor) {
    ProxyReset reset;
    VNSetGlobalProxyInfo(VNPROXY_SOCKS5, "hostC", 1080, "u", "p");
    VNProxyType type = VNPROXY_NONE;
    VNGetGlobalProxyInfo(type, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(VNPROXY_SOCKS5, type);
    char* host = reinterpret_cast<char*>(1);
    unsigned short port = 7;
    VNGetGlobalProxyInfo(type, nullptr, &port, nullptr, nullptr);
    EXPECT_EQ(1080, port);
    EXPECT_EQ(reinterpret_cast<char*>(1), host);
}

TEST(ProxySettings, PerSocketSettingsNeedHostAndPort) {
    vn::detail::ProxySettings p;
    EXPECT_FALSE(p.Assign(nullptr, 8080, "u", "p"));
    EXPECT_FALSE(p.Assign("h", 0, "u", "p"));
    EXPECT_EQ(nullptr, p.host);
    ASSERT_TRUE(p.Assign("proxy.example", 8080, "", nullptr));
    EXPECT_STREQ("proxy.example", p.host);
    EXPECT_EQ(8080, p.port);
    EXPECT_STREQ("", p.user);  // empty strings are copied
    EXPECT_EQ(nullptr, p.password);
    ASSERT_TRUE(p.Assign("other", 3128, "u", "p"));
    EXPECT_STREQ("other", p.host);
    EXPECT_STREQ("u", p.user);
    EXPECT_STREQ("p", p.password);
    EXPECT_FALSE(p.Assign(nullptr, 1, nullptr, nullptr));  // keeps the previous settings
    EXPECT_STREQ("other", p.host);
    EXPECT_EQ(3128, p.port);
}
