// Name resolution, address text, byte order and the local-address rules.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>

#include <string>
#include <thread>
#include <vector>

#include "base/vnlog.h"
#include "net/vnnet.h"
#include "net/vnnet_internal.h"
#include "support/log_capture.h"

namespace {

unsigned int ip(const char* text) {
    return inet_addr(text);
}

// A hand-made resolver result list: the entries own their addresses.
struct FakeList {
    std::vector<sockaddr_in> v4;
    std::vector<sockaddr_in6> v6;
    std::vector<addrinfo> nodes;
    // Each item is an IPv4 dotted text or "v6" for an IPv6 entry.
    explicit FakeList(const std::vector<std::string>& items) {
        v4.reserve(items.size());
        v6.reserve(items.size());
        nodes.resize(items.size());
        for (size_t i = 0; i < items.size(); ++i) {
            addrinfo& n = nodes[i];
            memset(&n, 0, sizeof(n));
            if (items[i] == "v6") {
                sockaddr_in6 sa;
                memset(&sa, 0, sizeof(sa));
                sa.sin6_family = AF_INET6;
                sa.sin6_addr.s6_addr[15] = 1;
                v6.push_back(sa);
                n.ai_family = AF_INET6;
                n.ai_addr = reinterpret_cast<sockaddr*>(&v6.back());
                n.ai_addrlen = sizeof(sockaddr_in6);
            } else {
                sockaddr_in sa;
                memset(&sa, 0, sizeof(sa));
                sa.sin_family = AF_INET;
                sa.sin_addr.s_addr = ip(items[i].c_str());
                v4.push_back(sa);
                n.ai_family = AF_INET;
                n.ai_addr = reinterpret_cast<sockaddr*>(&v4.back());
                n.ai_addrlen = sizeof(sockaddr_in);
            }
            if (i > 0) nodes[i - 1].ai_next = &n;
        }
    }
    const addrinfo* head() const { return nodes.empty() ? nullptr : &nodes[0]; }
};

}  // namespace

// ---- Byte order and address text ----

TEST(VnnetText, DottedDecimalBothWays) {
    EXPECT_EQ(ip("10.0.0.1"), vnnet_strtoip("10.0.0.1"));
    EXPECT_EQ(htonl(0x7F000001u), vnnet_strtoip("127.0.0.1"));
    EXPECT_EQ(0u, vnnet_strtoip("0.0.0.0"));
    EXPECT_EQ(0xFFFFFFFFu, vnnet_strtoip("255.255.255.255"));
    for (const char* bad : {"", "localhost", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4 ", "x"}) {
        EXPECT_EQ(0xFFFFFFFFu, vnnet_strtoip(bad)) << bad;
    }
    EXPECT_EQ(0xFFFFFFFFu, vnnet_strtoip(nullptr));

    EXPECT_STREQ("192.168.1.5", vnnet_iptostr(ip("192.168.1.5")));
    EXPECT_STREQ("0.0.0.0", vnnet_iptostr(0));
    // The storage is per thread: another thread's call leaves this thread's text alone.
    const char* mine = vnnet_iptostr(ip("10.1.2.3"));
    std::string theirs;
    std::thread other([&] { theirs = vnnet_iptostr(ip("172.16.0.9")); });
    other.join();
    EXPECT_STREQ("10.1.2.3", mine);
    EXPECT_EQ("172.16.0.9", theirs);
    // The thread's next call overwrites it.
    vnnet_iptostr(ip("1.1.1.1"));
    EXPECT_STREQ("1.1.1.1", mine);
}

// ---- Resolution ----

// A literal needs no lookup (and leaves no line) but sets the flag; the list form gives
// one entry and leaves the flag; a null host gives nothing.
TEST(VnnetResolve, LiteralsAndNullHost) {
    bool done = false;
    EXPECT_EQ(ip("10.0.0.1"), vnnet_gethostbyname("10.0.0.1", &done));
    EXPECT_TRUE(done);
    EXPECT_EQ(ip("127.0.0.1"), vnnet_gethostbyname("127.0.0.1", nullptr));

    vnnet_addrlist list;
    memset(&list, 0, sizeof(list));
    done = false;
    EXPECT_TRUE(vnnet_gethostbyname_ex("10.0.0.1", &list, &done));
    EXPECT_FALSE(done);
    EXPECT_EQ(1u, list.count);
    EXPECT_EQ(ip("10.0.0.1"), list.addrs[0]);

    EXPECT_EQ(0u, vnnet_gethostbyname(nullptr, &done));
    EXPECT_TRUE(done);
    list.count = 7;
    done = false;
    EXPECT_FALSE(vnnet_gethostbyname_ex(nullptr, &list, &done));
    EXPECT_EQ(0u, list.count);
    EXPECT_TRUE(done);
}

TEST(VnnetResolve, ResultListKeepsOrderSkipsOtherFamiliesAndStopsAtTen) {
    FakeList many({"10.0.0.1", "v6", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5", "v6",
                   "10.0.0.6", "10.0.0.7", "10.0.0.8", "10.0.0.9", "10.0.0.10", "10.0.0.11",
                   "10.0.0.12"});
    vnnet_addrlist list;
    memset(&list, 0, sizeof(list));
    vn::detail::copy_ipv4_list(many.head(), &list);
    ASSERT_EQ(10u, list.count);
    for (unsigned int i = 0; i < 10; ++i) {
        EXPECT_EQ(ip(("10.0.0." + std::to_string(i + 1)).c_str()), list.addrs[i]) << i;
    }

    FakeList onlyV6({"v6", "v6"});
    list.count = 5;
    vn::detail::copy_ipv4_list(onlyV6.head(), &list);
    EXPECT_EQ(0u, list.count);
    vn::detail::copy_ipv4_list(nullptr, &list);
    EXPECT_EQ(0u, list.count);

    FakeList mixed({"v6", "192.168.7.7", "10.0.0.1"});
    EXPECT_EQ(ip("192.168.7.7"), vn::detail::first_ipv4(mixed.head()));
    EXPECT_EQ(0u, vn::detail::first_ipv4(onlyV6.head()));
    EXPECT_EQ(0u, vn::detail::first_ipv4(nullptr));
}

// ---- The local address ----

TEST(VnnetLocalIp, RulesWithAndWithoutAWanAddress) {
    const unsigned int addrs[] = {ip("127.0.0.1"), ip("169.254.1.2"), ip("192.168.1.5"),
                                  ip("10.0.0.7")};
    using vn::detail::choose_localip;
    EXPECT_EQ(ip("192.168.1.5"), choose_localip(addrs, 4, 0, false));
    EXPECT_EQ(ip("192.168.1.5"), choose_localip(addrs, 4, 0, true));
    EXPECT_EQ(ip("10.0.0.7"), choose_localip(addrs, 4, ip("10.0.0.7"), false));
    EXPECT_EQ(ip("192.168.1.5"), choose_localip(addrs, 4, ip("10.0.0.7"), true));
    // A WAN address that is not among them: the first usable one.
    EXPECT_EQ(ip("192.168.1.5"), choose_localip(addrs, 4, ip("8.8.8.8"), false));
    // bNotWan with the WAN address first: the next usable one.
    const unsigned int wanFirst[] = {ip("10.0.0.7"), ip("127.0.0.1"), ip("192.168.1.5")};
    EXPECT_EQ(ip("192.168.1.5"), choose_localip(wanFirst, 3, ip("10.0.0.7"), true));
    // Every address is the WAN address: the provisional (first usable) one.
    const unsigned int onlyWan[] = {ip("10.0.0.7")};
    EXPECT_EQ(ip("10.0.0.7"), choose_localip(onlyWan, 1, ip("10.0.0.7"), true));
}

TEST(VnnetResolve, ConcurrentLookupsAgree) {
    std::vector<std::thread> threads;
    std::vector<unsigned int> results(4, 1);
    for (size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&results, t] {
            unsigned int r = 0;
            for (int i = 0; i < 20; ++i) {
                r = vnnet_gethostbyname("localhost", nullptr);
                if (r != ip("127.0.0.1")) break;
            }
            results[t] = r;
        });
    }
    for (std::thread& t : threads)
        t.join();
    for (unsigned int r : results)
        EXPECT_EQ(ip("127.0.0.1"), r);
}

TEST(VnnetResolve, AllZerosAndAllOnesGoToTheResolver) {
    // Neither text counts as a literal; the resolver answers them (numerically, without
    // leaving the host) and the lookup leaves its debug line.
    EXPECT_EQ(0u, vnnet_gethostbyname("0.0.0.0", nullptr));
    EXPECT_EQ(0xFFFFFFFFu, vnnet_gethostbyname("255.255.255.255", nullptr));
}

TEST(VnnetLocalIp, HostAddressesAndTheStoredWanAddress) {
    unsigned int addrs[64];
    unsigned int count = 0;
    ASSERT_TRUE(vn::detail::local_ipv4_addresses(addrs, 64, &count));
    EXPECT_EQ(0u, vn::detail::stored_wanip());
    EXPECT_EQ(vn::detail::choose_localip(addrs, count, 0, false), vnnet_getlocalip(false));
    if (count > 0) {
        EXPECT_NE(0u, vnnet_getlocalip(false));
    }
    // The interface list bounds itself by the room given.
    unsigned int one[1];
    unsigned int n = 9;
    ASSERT_TRUE(vn::detail::local_ipv4_addresses(one, 1, &n));
    EXPECT_EQ(count > 0 ? 1u : 0u, n);

    vnnet_setwanip(ip("203.0.113.9"));
    EXPECT_EQ(ip("203.0.113.9"), vn::detail::stored_wanip());
    EXPECT_EQ(vn::detail::choose_localip(addrs, count, ip("203.0.113.9"), true),
              vnnet_getlocalip(true));
    vnnet_setwanip(0);
    EXPECT_EQ(0u, vn::detail::stored_wanip());
}

TEST(VnnetResolve, LocalhostThroughTheResolver) {
    bool done = false;
    EXPECT_EQ(ip("127.0.0.1"), vnnet_gethostbyname("localhost", &done));
    EXPECT_TRUE(done);

    vnnet_addrlist list;
    memset(&list, 0, sizeof(list));
    done = false;
    ASSERT_TRUE(vnnet_gethostbyname_ex("localhost", &list, &done));
    EXPECT_TRUE(done);
    ASSERT_GE(list.count, 1u);
    EXPECT_LE(list.count, static_cast<unsigned int>(VNNET_ADDRLIST_MAX));
    EXPECT_EQ(ip("127.0.0.1"), list.addrs[0]);
}

TEST(VnnetLocalIp, SkippedAddressesAndFallbacks) {
    using vn::detail::choose_localip;
    const unsigned int loopbackOnly[] = {ip("127.0.0.1")};
    EXPECT_EQ(ip("127.0.0.1"), choose_localip(loopbackOnly, 1, 0, false));
    // All skipped: the first of the list, even a skipped one.
    const unsigned int allSkipped[] = {ip("169.254.9.9"), ip("0.1.2.3"), ip("127.0.1.1")};
    EXPECT_EQ(ip("169.254.9.9"), choose_localip(allSkipped, 3, 0, false));
    EXPECT_EQ(ip("169.254.9.9"), choose_localip(allSkipped, 3, ip("127.0.1.1"), false));
    // The rules look at the text: any "169." and "127." is skipped, "1.x" or "16.x" not.
    const unsigned int text[] = {ip("169.1.1.1"), ip("16.9.1.1")};
    EXPECT_EQ(ip("16.9.1.1"), choose_localip(text, 2, 0, false));
    const unsigned int zeroes[] = {ip("0.0.0.0"), ip("1.0.0.0")};
    EXPECT_EQ(ip("1.0.0.0"), choose_localip(zeroes, 2, 0, false));
    EXPECT_EQ(0u, choose_localip(nullptr, 0, 0, false));
    EXPECT_EQ(0u, choose_localip(nullptr, 0, ip("10.0.0.7"), true));
}

TEST(VnnetOrder, SixteenThirtyTwoAndSixtyFourBits) {
    unsigned short s = vnnet_hton16(0x1234);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&s);
    EXPECT_EQ(0x12, b[0]);
    EXPECT_EQ(0x34, b[1]);
    EXPECT_EQ(0x1234, vnnet_ntoh16(s));
    unsigned int l = vnnet_hton32(0x01020304u);
    b = reinterpret_cast<const unsigned char*>(&l);
    EXPECT_EQ(1, b[0]);
    EXPECT_EQ(4, b[3]);
    EXPECT_EQ(0x01020304u, vnnet_ntoh32(l));
    EXPECT_EQ(0x0807060504030201ULL, vnnet_hton64(0x0102030405060708ULL));
    EXPECT_EQ(0x0807060504030201ULL, vnnet_ntoh64(0x0102030405060708ULL));
    unsigned long long v = vnnet_hton64(0x0102030405060708ULL);
    b = reinterpret_cast<const unsigned char*>(&v);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(i + 1, b[i]);  // most significant byte first
    EXPECT_EQ(0x1122334455667788ULL, vnnet_ntoh64(vnnet_hton64(0x1122334455667788ULL)));
}
