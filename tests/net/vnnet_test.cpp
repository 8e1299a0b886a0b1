// The socket and name functions: address text, byte order, resolution and the
// local-address rules; descriptor modes and options, TCP and UDP over 127.0.0.1 on ports
// the kernel chose, connect outcomes, and sends that never raise SIGPIPE.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>

#include <thread>
#include <vector>

#include "net/socket_test_util.h"
#include "net/vnnet.h"
#include "net/vnnet_internal.h"

using socktest::Loopback;
using V = std::vector<long>;

namespace {

unsigned int ip(const char* text) {
    return inet_addr(text);
}

// A descriptor closed at scope end.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    operator int() const { return fd; }
};

// revents of fd within 5 s (0 when nothing happened in time).
short WaitFor(int fd, short events) {
    struct pollfd p = {fd, events, 0};
    return poll(&p, 1, 5000) > 0 ? p.revents : 0;
}

// Socket option values of fd: non-blocking, close-on-exec, type, broadcast, address reuse,
// send and receive time-outs in ms (the kernel rounds these up to its tick: cut to 10 ms).
V Modes(int fd) {
    V v = {(fcntl(fd, F_GETFL) & O_NONBLOCK) != 0, (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0};
    for (int name : {SO_TYPE, SO_BROADCAST, SO_REUSEADDR}) {
        int n = -1;
        socklen_t len = sizeof(n);
        v.push_back(getsockopt(fd, SOL_SOCKET, name, &n, &len) == 0 ? n : -1);
    }
    for (int name : {SO_SNDTIMEO, SO_RCVTIMEO}) {
        struct timeval tv = {0, 0};
        socklen_t len = sizeof(tv);
        getsockopt(fd, SOL_SOCKET, name, &tv, &len);
        v.push_back((tv.tv_sec * 1000 + tv.tv_usec / 1000) / 10 * 10);
    }
    return v;
}

// A connected non-blocking TCP pair made with the library's own functions; the client
// connects by name.
struct Connection {
    Fd listener{vnsocket_create(true, 0)};
    unsigned short port = 0;
    Fd client{vnsocket_create(true, 0)};
    Fd server{-1};
    Connection() {
        EXPECT_TRUE(vnsocket_bind(listener, Loopback(), 0) && vnsocket_listen(listener, 8) &&
                    vnsocket_getsockname(listener, nullptr, &port) &&
                    vnsocket_connect(client, "localhost", port));
        EXPECT_NE(0, WaitFor(listener, POLLIN));
        server.fd = vnsocket_accept(listener);
        EXPECT_NE(0, WaitFor(client, POLLOUT));
    }
};

// A resolver result list made by hand: each item an IPv4 dotted text or "v6".
struct FakeList {
    std::vector<sockaddr_in6> addrs;  // room for either family
    std::vector<addrinfo> nodes;
    explicit FakeList(const std::vector<const char*>& items)
        : addrs(items.size()), nodes(items.size()) {
        for (size_t i = 0; i < items.size(); ++i) {
            bool v6 = strcmp(items[i], "v6") == 0;
            addrs[i].sin6_family = nodes[i].ai_family = v6 ? AF_INET6 : AF_INET;
            if (!v6) reinterpret_cast<sockaddr_in*>(&addrs[i])->sin_addr.s_addr = ip(items[i]);
            nodes[i].ai_addr = reinterpret_cast<sockaddr*>(&addrs[i]);
            nodes[i].ai_addrlen = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
            nodes[i].ai_next = i + 1 < items.size() ? &nodes[i + 1] : nullptr;
        }
    }
};

}  // namespace

TEST(VnnetText, TextPerThreadAndByteOrder) {
    // The text is kept per thread: another thread's call leaves this thread's alone.
    const char* mine = vnnet_iptostr(ip("10.1.2.3"));
    std::string theirs;
    std::thread([&] { theirs = vnnet_iptostr(ip("172.16.0.9")); }).join();
    EXPECT_EQ("10.1.2.3 172.16.0.9", mine + (" " + theirs));
    // Network order is most significant byte first.
    unsigned long long v = vnnet_hton64(0x0102030405060708ULL);
    unsigned int l = vnnet_hton32(0x01020304u);
    unsigned short s = vnnet_hton16(0x0102);
    EXPECT_EQ(
        0, memcmp(&v, "\1\2\3\4\5\6\7\10", 8) | memcmp(&l, "\1\2\3\4", 4) | memcmp(&s, "\1\2", 2));
    EXPECT_TRUE(vnnet_ntoh64(v) == 0x0102030405060708ULL && vnnet_ntoh32(l) == 0x01020304u &&
                vnnet_ntoh16(s) == 0x0102);
}

// A literal needs no lookup but sets the flag (the list form leaves it); a null host gives
// nothing; names, and the all-zeros and all-ones texts, go to the resolver, which is safe
// to call from several threads at once; a hand-made result list keeps its order, skips
// other families and stops at ten.
TEST(VnnetResolve, LiteralsNullHostAndTheResolver) {
    bool done[4] = {};
    vnnet_addrlist list = {7, {}}, local = {0, {}};
    EXPECT_EQ(V({ip("10.0.0.1"), 1, 0, 0xFFFFFFFF, 1, 1, ip("10.0.0.1"), 0, 0, 1}),
              V({vnnet_gethostbyname("10.0.0.1", &done[0]),
                 vnnet_gethostbyname_ex("10.0.0.1", &list, &done[1]),
                 vnnet_gethostbyname("0.0.0.0", nullptr),
                 vnnet_gethostbyname("255.255.255.255", nullptr), done[0], list.count,
                 list.addrs[0], done[1], vnnet_gethostbyname_ex("1.2.3.4", nullptr, nullptr),
                 vnnet_gethostbyname_ex("localhost", &local, &done[2])}));
    EXPECT_EQ(
        V({0, 0, 0, 1, 1, ip("127.0.0.1")}),
        V({vnnet_gethostbyname(nullptr, &done[3]), vnnet_gethostbyname_ex(nullptr, &list, nullptr),
           list.count, done[2], done[3], local.addrs[0]}));
    std::vector<unsigned int> results(4, 1);
    std::vector<std::thread> threads;
    for (unsigned int& r : results)
        threads.emplace_back([&r] { r = vnnet_gethostbyname("localhost", nullptr); });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(std::vector<unsigned int>(4, ip("127.0.0.1")), results);
    FakeList many({"10.0.0.1", "v6", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5", "v6",
                   "10.0.0.6", "10.0.0.7", "10.0.0.8", "10.0.0.9", "10.0.0.10", "10.0.0.11"});
    vn::detail::copy_ipv4_list(&many.nodes[0], &list);
    EXPECT_EQ(10u, list.count);
    EXPECT_EQ(ip("10.0.0.10"), list.addrs[9]);
    FakeList v6({"v6", "10.0.0.9"});
    EXPECT_EQ(ip("10.0.0.9"), vn::detail::first_ipv4(&v6.nodes[0]));
    v6.nodes[1].ai_addrlen = 0;  // not an IPv4 address after all
    vn::detail::copy_ipv4_list(&v6.nodes[0], &list);
    EXPECT_EQ(V({0, 0}), V({list.count, vn::detail::first_ipv4(&v6.nodes[0])}));
}

// "0.", "169." and "127." addresses are skipped (by their text); the WAN address is taken,
// or avoided with bNotWan; with nothing usable, the first of the list.
TEST(VnnetLocalIp, RulesHostAddressesAndTheStoredWanAddress) {
    const struct {
        std::vector<const char*> addrs;
        const char* wan;
        bool notWan;
        const char* want;
    } cases[] = {
        {{"127.0.0.1", "169.254.1.2", "192.168.1.5", "10.0.0.7"}, "0.0.0.0", true, "192.168.1.5"},
        {{"127.0.0.1", "192.168.1.5", "10.0.0.7"}, "10.0.0.7", false, "10.0.0.7"},
        {{"127.0.0.1", "192.168.1.5", "10.0.0.7"}, "8.8.8.8", false, "192.168.1.5"},
        {{"10.0.0.7", "127.0.0.1", "192.168.1.5"}, "10.0.0.7", true, "192.168.1.5"},
        {{"10.0.0.7"}, "10.0.0.7", true, "10.0.0.7"},
        {{"169.254.9.9", "0.1.2.3", "127.0.1.1"}, "127.0.1.1", false, "169.254.9.9"},
        {{"169.1.1.1", "16.9.1.1"}, "0.0.0.0", false, "16.9.1.1"},
        {{}, "10.0.0.7", true, "0.0.0.0"},
    };
    for (const auto& c : cases) {
        std::vector<unsigned int> a;
        for (const char* t : c.addrs)
            a.push_back(ip(t));
        EXPECT_EQ(ip(c.want), vn::detail::choose_localip(a.data(), a.size(), ip(c.wan), c.notWan))
            << &c - cases;
    }
    unsigned int addrs[64], count = 0, one[1], n = 9;
    ASSERT_TRUE(vn::detail::local_ipv4_addresses(addrs, 64, &count));
    ASSERT_TRUE(vn::detail::local_ipv4_addresses(one, 1, &n));  // bounded by the room given
    EXPECT_EQ(count > 0 ? 1u : 0u, n);
    EXPECT_EQ(vn::detail::choose_localip(addrs, count, 0, false), vnnet_getlocalip(false));
    vnnet_setwanip(ip("203.0.113.9"));
    EXPECT_EQ(ip("203.0.113.9"), vn::detail::stored_wanip());
    EXPECT_EQ(vn::detail::choose_localip(addrs, count, ip("203.0.113.9"), true),
              vnnet_getlocalip(true));
    vnnet_setwanip(0);
}

TEST(Vnsocket, CreationModesAndOptions) {
    Fd tcp{vnsocket_create(true, 0)}, udp{vnsocket_create(false, 0)};
    Fd btcp{vnsocket_create_block(true, 0, 1500)}, budp{vnsocket_create_block(false, 250, 0)};
    EXPECT_EQ(V({1, 1, SOCK_STREAM, 0, 0, 0, 0}), Modes(tcp));
    EXPECT_EQ(V({1, 1, SOCK_DGRAM, 1, 0, 0, 0}), Modes(udp));
    EXPECT_EQ(V({0, 1, SOCK_STREAM, 0, 1, 0, 1500}), Modes(btcp));
    EXPECT_EQ(V({0, 1, SOCK_DGRAM, 1, 1, 250, 0}), Modes(budp));
    int snd = 0, rcv = 0, untouched = 77, nodelay = 0;
    socklen_t len = sizeof(nodelay);
    EXPECT_TRUE(vnsocket_setsendbufsize(tcp, 64 * 1024) &&
                vnsocket_setrecvbufsize(tcp, 96 * 1024) && vnsocket_getsendbufsize(tcp, &snd) &&
                vnsocket_getrecvbufsize(tcp, &rcv) && vnsocket_setnodelay(tcp, true) &&
                vnsocket_joingroup(udp, "239.1.2.3") && vnsocket_isvalid(udp));
    getsockopt(tcp, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len);
    EXPECT_EQ(V({1, 1, 1}), V({snd >= 64 * 1024, rcv >= 96 * 1024, nodelay != 0}));
    EXPECT_FALSE(vnsocket_setsendbufsize(-1, 1024) || vnsocket_setrecvbufsize(-1, 1024) ||
                 vnsocket_getsendbufsize(-1, &untouched) ||
                 vnsocket_getrecvbufsize(-1, &untouched) || vnsocket_setnodelay(-1, true) ||
                 vnsocket_setnodelay(udp, false) || vnsocket_setmulticastttl(udp, 4));
    errno = 4242;
    EXPECT_FALSE(vnsocket_isvalid(-1) || vnsocket_close(-1));
    EXPECT_EQ(V({4242, 77}), V({errno, untouched}));  // no call was made, nothing written
    EXPECT_TRUE(vnsocket_close(vnsocket_create(true, 0)));
}

TEST(Vnsocket, TcpConnectAcceptSendAndReceive) {
    Connection c;
    ASSERT_EQ(V({1, 1}), V({Modes(c.server)[0], Modes(c.server)[1]}));  // the listener's mode
    unsigned int ip = 0, peerIp = 0;
    unsigned short port = 0, peerPort = 0;
    ASSERT_TRUE(vnsocket_getsockname(c.client, &ip, &port) &&
                vnsocket_getpeername(c.server, &peerIp, &peerPort));
    EXPECT_EQ(V({Loopback(), Loopback(), port}), V({ip, peerIp, peerPort}));
    char buf[64];
    EXPECT_EQ(-1, vnsocket_recv(c.server, buf, sizeof(buf)));  // nothing yet
    EXPECT_EQ(EAGAIN, errno);
    EXPECT_EQ(5, vnsocket_send(c.client, "hello", 5));
    ASSERT_NE(0, WaitFor(c.server, POLLIN));
    EXPECT_EQ(V({5, 3, 2}), V({vnsocket_getunreaddatalen(c.server), vnsocket_recv(c.server, buf, 3),
                               vnsocket_recv(c.server, buf + 3, sizeof(buf))}));
    EXPECT_EQ("hello", std::string(buf, 5));
    errno = 4242;  // the guards make no call
    EXPECT_EQ(V({0, 0, 0, 0, 0, 0, 0, 4242, 0, -1, -1, 0, 0}),
              V({vnsocket_send(c.client, buf, 0), vnsocket_send(c.client, nullptr, 5),
                 vnsocket_send(-1, buf, 5), vnsocket_recv(c.server, buf, 0),
                 vnsocket_recv(c.server, nullptr, 5), vnsocket_recv(-1, buf, 5),
                 vnsocket_getunreaddatalen(-1), errno, vnsocket_getunreaddatalen(c.listener),
                 vnsocket_accept(c.listener), vnsocket_accept(-1),
                 vnsocket_connect(c.client, nullptr, 80), vnsocket_connect(-1, "127.0.0.1", 80)}));
    close(c.client.fd);  // the end of the stream reads as 0
    c.client.fd = -1;
    ASSERT_NE(0, WaitFor(c.server, POLLIN));
    EXPECT_EQ(0, vnsocket_recv(c.server, buf, sizeof(buf)));
    // A full send buffer would block. A peer that closes with data unread resets the
    // stream: sending then gives an error, never SIGPIPE (with the default disposition it
    // would end this program).
    signal(SIGPIPE, SIG_DFL);
    Connection d;
    vnsocket_setsendbufsize(d.client, 4096);
    static char chunk[65536];
    int rc = 0;
    for (int i = 0; i < 10000 && rc >= 0; ++i)
        rc = vnsocket_send(d.client, chunk, sizeof(chunk));
    EXPECT_EQ(V({-1, EAGAIN}), V({rc, errno}));
    close(d.server.fd);
    d.server.fd = -1;
    ASSERT_NE(0, WaitFor(d.client, POLLIN) & POLLERR);
    EXPECT_EQ(V({-1, ECONNRESET}), V({vnsocket_send(d.client, buf, 9), errno}));
    EXPECT_EQ(V({-1, EPIPE}), V({vnsocket_send(d.client, buf, 9), errno}));
}

TEST(Vnsocket, UdpRoundTripGuardsAndEmptyDatagram) {
    Fd a{vnsocket_create(false, 0)}, b{vnsocket_create(false, 0)};
    unsigned short portA = 0, portB = 0;
    ASSERT_TRUE(vnsocket_bind(a, Loopback(), 0) && vnsocket_bind(b, 0, 0) &&
                vnsocket_getsockname(a, nullptr, &portA) &&
                vnsocket_getsockname(b, nullptr, &portB));
    char buf[32];
    unsigned int from = 9;
    unsigned short fromPort = 9;
    errno = 4242;  // the guards make no call
    EXPECT_EQ(
        V({0, 0, 0, 0, 0, 0, 0, 0, 0, 4242}),
        V({vnsocket_sendto(-1, buf, 4, "127.0.0.1", 9), vnsocket_sendto(a, buf, 0, "127.0.0.1", 9),
           vnsocket_sendto(a, buf, -3, "127.0.0.1", 9),
           vnsocket_sendto(a, nullptr, 4, "127.0.0.1", 9), vnsocket_sendto(a, buf, 4, nullptr, 9),
           vnsocket_sendto(a, buf, 4, "127.0.0.1", 0),
           vnsocket_recvfrom(-1, buf, 4, &from, &fromPort),
           vnsocket_recvfrom(a, nullptr, 4, &from, &fromPort),
           vnsocket_recvfrom(a, buf, 0, &from, &fromPort), errno}));
    // A name is not dotted-decimal text: refused, never broadcast as 255.255.255.255.
    EXPECT_EQ(V({-1, EINVAL}), V({vnsocket_sendto(a, buf, 4, "localhost", 9), errno}));
    EXPECT_EQ(-1, vnsocket_recvfrom(b, buf, sizeof(buf), &from, &fromPort));  // nothing yet
    EXPECT_EQ(4, vnsocket_sendto(a, "ping", 4, "127.0.0.1", portB));
    ASSERT_NE(0, WaitFor(b, POLLIN));
    EXPECT_EQ(4, vnsocket_recvfrom(b, buf, sizeof(buf), &from, &fromPort));
    EXPECT_EQ(V({'p', Loopback(), portA}), V({buf[0], from, fromPort}));
    // Outputs may be null; an empty datagram reads as 0 and leaves the sender unwritten.
    struct sockaddr_in to = socktest::LoopbackAddr(portA);
    ASSERT_EQ(2, vnsocket_sendto(b, "ok", 2, "127.0.0.1", portA));
    ASSERT_EQ(0, sendto(b, "", 0, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)));
    ASSERT_NE(0, WaitFor(a, POLLIN));
    from = 9;
    EXPECT_EQ(V({2, 0, 9}), V({vnsocket_recvfrom(a, buf, sizeof(buf), nullptr, nullptr),
                               vnsocket_recvfrom(a, buf, sizeof(buf), &from, &fromPort), from}));
}

TEST(VnnetAddress, FamiliesAndLoopback) {
    struct Row {
        const char* text;
        int family;
        bool loopback;
    } rows[] = {
        {"127.0.0.1", 4, true},        {"127.200.3.4", 4, true},
        {"10.0.0.1", 4, false},        {"::1", 6, true},
        {"::ffff:127.0.0.9", 6, true}, {"::ffff:10.0.0.1", 6, false},
        {"fe80::1", 6, false},         {"::", 6, false},
        {"[::1]", 0, false},           {"localhost", 0, false},
        {"1.2.3", 0, false},           {"", 0, false},
        {"::1%lo", 0, false},          {nullptr, 0, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text != nullptr ? r.text : "(null)");
        EXPECT_EQ(r.family, vnnet_addrfamily(r.text));
        EXPECT_EQ(r.loopback, vnnet_isloopback(r.text));
    }
    EXPECT_EQ(-1, vnsocket_create_for("localhost", true));
}

TEST(VnnetAddress, DualStackListenerSeesBothFamiliesInTheirOwnText) {
    // Every address of both families on one IPv6 socket; another bound to ::1 only.
    Fd any{vnsocket_create_for("::", true)};
    ASSERT_TRUE(vnsocket_bind_addr(any, nullptr, 0) && vnsocket_listen(any, 8));
    char text[64];
    unsigned short port = 0;
    ASSERT_TRUE(vnsocket_getsockaddr(any, text, sizeof(text), &port));
    EXPECT_STREQ("::", text);
    struct Row {
        const char* from;
        const char* peer;  // as the server reports it
        bool v4Name;       // the designed IPv4 query answers too
    } rows[] = {{"127.0.0.1", "127.0.0.1", true}, {"::1", "::1", false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.from);
        Fd c{vnsocket_create_for(r.from, true)};
        ASSERT_TRUE(vnsocket_connect_addr(c, r.from, port));
        ASSERT_NE(0, WaitFor(any, POLLIN));
        Fd s{vnsocket_accept(any)};
        ASSERT_GE(s.fd, 0);
        unsigned short peerPort = 0, clientPort = 0;
        ASSERT_TRUE(vnsocket_getpeeraddr(s, text, sizeof(text), &peerPort));
        EXPECT_STREQ(r.peer, text);
        ASSERT_TRUE(vnsocket_getsockaddr(c, text, sizeof(text), &clientPort));
        EXPECT_EQ(clientPort, peerPort);
        unsigned int ip4 = 0;
        EXPECT_EQ(r.v4Name, vnsocket_getpeername(s, &ip4, nullptr));
        EXPECT_EQ(r.v4Name ? Loopback() : 0u, ip4);
        EXPECT_FALSE(vnsocket_getpeeraddr(s, text, 3, nullptr));  // too small a buffer
    }
    Fd only6{vnsocket_create_for("::1", true)};
    ASSERT_TRUE(vnsocket_bind_addr(only6, "::1", 0) && vnsocket_listen(only6, 8));
    ASSERT_TRUE(vnsocket_getsockaddr(only6, text, sizeof(text), &port));
    EXPECT_STREQ("::1", text);
    // An IPv4-mapped address binds as the IPv4 address it is.
    Fd mapped{vnsocket_create_for("::ffff:127.0.0.1", true)};
    ASSERT_TRUE(vnsocket_bind_addr(mapped, "::ffff:127.0.0.1", 0) && vnsocket_listen(mapped, 8));
    ASSERT_TRUE(vnsocket_getsockaddr(mapped, text, sizeof(text), &port));
    EXPECT_STREQ("127.0.0.1", text);
    // A family that is not the socket's, or no address, is refused.
    Fd v4{vnsocket_create(true, 0)};
    EXPECT_FALSE(vnsocket_bind_addr(v4, "::1", 0));
    EXPECT_FALSE(vnsocket_connect_addr(v4, "no.such", 80));
}
