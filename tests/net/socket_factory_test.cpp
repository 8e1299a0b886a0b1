// The factories (an HTTP proxy means "direct" for listening and datagrams; an unknown
// proxy type gives nothing) and the process-wide proxy settings.
#include <gtest/gtest.h>

#include <string>
#include <typeinfo>

#include "net/socket_test_util.h"
#include "net/vnhttpproxy_internal.h"
#include "net/vnproxyinfo_internal.h"
#include "net/vnsocks5_internal.h"
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

// What the three products (connecting, listening, datagram) are, one letter each: D direct,
// H HTTP proxy client, S SOCKS5 client, - null. Deletes them.
std::string Kinds(CVNITCPCnnSocket* c, CVNITCPListenSocket* l, CVNIUDPSocket* u) {
    auto kind = [](auto* p, const std::type_info& direct, const std::type_info& socks) {
        return p == nullptr                                 ? '-'
               : typeid(*p) == direct                       ? 'D'
               : typeid(*p) == socks                        ? 'S'
               : dynamic_cast<CVNHttpProxyTCPCnnSocket*>(p) ? 'H'
                                                            : '?';
    };
    std::string k = {kind(c, typeid(CVNTCPCnnSocket), typeid(CVNSocks5ProxyTCPCnnSocket)),
                     kind(l, typeid(CVNTCPListenSocket), typeid(CVNSocks5ProxyTCPListenSocket)),
                     kind(u, typeid(CVNUDPSocket), typeid(CVNSocks5ProxyUDPSocket))};
    delete c;
    delete l;
    delete u;
    return k;
}

}  // namespace

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

// Null or empty strings keep the earlier ones, the port is stored as given, and Get writes
// only what it is asked for (the stored copies themselves).
TEST(ProxySettings, NullOrEmptyStringsKeepTheEarlierOnes) {
    ProxyReset reset;
    VNSetGlobalProxyInfo(VNPROXY_HTTP, "hostA", 8080, "alice", "secret");
    VNSetGlobalProxyInfo(VNPROXY_SOCKS5, "", 0, nullptr, "pw2");
    VNProxyType type = VNPROXY_NONE;
    char *s[3] = {}, *again = nullptr;
    unsigned short port = 7;
    VNGetGlobalProxyInfo(type, &s[0], nullptr, &s[1], &s[2]);
    EXPECT_EQ("2 7 hostA alice pw2", std::to_string(type) + " " + std::to_string(port) + " " +
                                         s[0] + " " + s[1] + " " + s[2]);
    VNGetGlobalProxyInfo(type, &again, &port, nullptr, nullptr);
    EXPECT_EQ(s[0], again);  // the stored copy itself
    EXPECT_EQ(0, port);
    // Per socket: a host and a port are needed; a refusal keeps the previous settings.
    vn::detail::ProxySettings p;
    EXPECT_FALSE(p.Assign(nullptr, 8080, "u", "p") || p.Assign("h", 0, "u", "p"));
    ASSERT_TRUE(p.Assign("proxy.example", 8080, "", nullptr));
    EXPECT_STREQ("", p.user);  // empty strings are copied
    EXPECT_EQ(nullptr, p.password);
    EXPECT_FALSE(p.Assign(nullptr, 1, nullptr, nullptr));
    EXPECT_STREQ("proxy.example", p.host);
}
