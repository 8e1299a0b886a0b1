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

// What three factory products are, one letter each (connecting, listening, datagram):
// D direct, H HTTP proxy client, S SOCKS5 client, - null. Deletes them.
std::string Kinds(CVNITCPCnnSocket* c, CVNITCPListenSocket* l, CVNIUDPSocket* u) {
    std::string k;
    k += !c                                             ? '-'
         : dynamic_cast<CVNHttpProxyTCPCnnSocket*>(c)   ? 'H'
         : dynamic_cast<CVNSocks5ProxyTCPCnnSocket*>(c) ? 'S'
         : dynamic_cast<CVNTCPCnnSocket*>(c)            ? 'D'
                                                        : '?';
    k += !l                                                ? '-'
         : dynamic_cast<CVNSocks5ProxyTCPListenSocket*>(l) ? 'S'
         : dynamic_cast<CVNTCPListenSocket*>(l)            ? 'D'
                                                           : '?';
    k += !u                                          ? '-'
         : dynamic_cast<CVNSocks5ProxyUDPSocket*>(u) ? 'S'
         : dynamic_cast<CVNUDPSocket*>(u)            ? 'D'
                                                     : '?';
    delete c;
    delete l;
    delete u;
    return k;
}

}  // namespace

TEST(SocketFactory, ProxyTypesAndMissingHost) {
    const std::string f256(256, 'x');  // cannot go on the wire whole: null, not a cut copy
    const char* big = f256.c_str();
    struct Row {
        int type;
        const char* host;
        unsigned short port;
        const char* user;
        const char* pass;
        const char* want;
    };
    // Type 0 ignores the proxy arguments; an HTTP proxy cannot listen or relay datagrams, so
    // those are direct, host or not; a proxy without a host or port, and unknown types, give
    // null.
    const Row rows[] = {
        {0, nullptr, 8080, nullptr, nullptr, "DDD"}, {0, nullptr, 0, nullptr, nullptr, "DDD"},
        {1, nullptr, 8080, nullptr, nullptr, "-DD"}, {2, nullptr, 1080, nullptr, nullptr, "---"},
        {1, "127.0.0.1", 0, "u", "p", "-DD"},        {2, "127.0.0.1", 0, "u", "p", "---"},
        {1, "127.0.0.1", 8080, "u", "p", "HDD"},     {2, "127.0.0.1", 1080, "u", "p", "SSS"},
        {1, "127.0.0.1", 8080, "u", big, "-DD"},     {2, "127.0.0.1", 1080, big, "p", "---"},
        {2, "127.0.0.1", 1080, "u", big, "---"},     {3, "127.0.0.1", 8080, "u", "p", "---"},
        {-1, "127.0.0.1", 8080, "u", "p", "---"},    {1000, "127.0.0.1", 8080, "u", "p", "---"},
    };
    IOThread io("FactoryTypes");
    ASSERT_TRUE(io.Run([&] {
        EXPECT_EQ("DDD", Kinds(VNCreateNoneProxyCnnTCPSocket(), VNCreateNoneProxyTCPListenSocket(),
                               VNCreateNoneProxyUDPSocket()));
        CVNITCPSocket* s = VNCreateTCPSocket();
        EXPECT_NE(nullptr, dynamic_cast<CVNTCPSocket*>(s));
        delete s;
        for (const Row& r : rows) {
            VNProxyType t = static_cast<VNProxyType>(r.type);
            EXPECT_EQ(r.want, Kinds(VNCreateProxyCnnTCPSocket(t, r.host, r.port, r.user, r.pass),
                                    VNCreateProxyTCPListenSocket(t, r.host, r.port, r.user, r.pass),
                                    VNCreateProxyUDPSocket(t, r.host, r.port, r.user, r.pass)))
                << r.type << " " << Str(r.host) << ":" << r.port << " "
                << strlen(r.user ? r.user : "") << "/" << strlen(r.pass ? r.pass : "");
        }
    }));
}

TEST(SocketFactory, GlobalFactoriesFollowTheProcessWideSettings) {
    ProxyReset reset;
    IOThread io("FactoryGlobal");
    const char* want[] = {"DDD", "HDD", "SSS", "---"};
    for (int type = 0; type < 4; ++type) {
        VNSetGlobalProxyInfo(static_cast<VNProxyType>(type), "127.0.0.1", 1080, nullptr, nullptr);
        ASSERT_TRUE(io.Run([&] {
            EXPECT_EQ(want[type],
                      Kinds(VNCreateCnnTCPSocket(), VNCreateTCPListenSocket(), VNCreateUDPSocket()))
                << type;
        }));
    }
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
