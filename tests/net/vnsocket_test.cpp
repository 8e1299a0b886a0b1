// Descriptor operations: creation modes, options, TCP and UDP over 127.0.0.1 with ports
// the kernel chose, connect outcomes, and sends that must never raise SIGPIPE.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "fevent/vnfevent.h"
#include "base/vnlog.h"
#include "net/vnnet.h"
#include "net/vnnet_internal.h"
#include "support/log_capture.h"

namespace {

const unsigned int kLoopback = htonl(INADDR_LOOPBACK);

// A descriptor closed at scope end.
struct Fd {
    int fd;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Reset(); }
    void Reset(int f = -1) {
        if (fd >= 0) close(fd);
        fd = f;
    }
    operator int() const { return fd; }
};

// revents of fd within ms milliseconds (0 when nothing happened in time).
short WaitFor(int fd, short events, int ms) {
    struct pollfd p;
    p.fd = fd;
    p.events = events;
    p.revents = 0;
    return poll(&p, 1, ms) > 0 ? p.revents : 0;
}

int IntOption(int fd, int level, int name) {
    int v = -1;
    socklen_t len = sizeof(v);
    EXPECT_EQ(0, getsockopt(fd, level, name, &v, &len));
    return v;
}

bool NonBlocking(int fd) {
    return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

bool CloseOnExec(int fd) {
    return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

// A listening TCP socket on 127.0.0.1 and a kernel-chosen port.
struct Listener {
    Fd fd{vnsocket_create(true, 0)};
    unsigned short port = 0;
    Listener() {
        EXPECT_TRUE(vnsocket_bind(fd, kLoopback, 0));
        EXPECT_TRUE(vnsocket_listen(fd, 8));
        EXPECT_TRUE(vnsocket_getsockname(fd, nullptr, &port));
        EXPECT_NE(0, port);
    }
};

// A connected non-blocking TCP pair made with the library's own functions.
struct Connection {
    Listener listener;
    Fd client{vnsocket_create(true, 0)};
    Fd server;
    Connection() {
        EXPECT_TRUE(vnsocket_connect(client, "127.0.0.1", listener.port));
        EXPECT_NE(0, WaitFor(listener.fd, POLLIN, 5000) & POLLIN);
        server.Reset(vnsocket_accept(listener.fd));
        EXPECT_GE(server.fd, 0);
        EXPECT_NE(0, WaitFor(client, POLLOUT, 5000) & POLLOUT);
    }
};

}  // namespace

// ---- Creation and options ----

TEST(VnsocketCreate, NonBlockingTcpAndBroadcastingUdp) {
    Fd tcp(vnsocket_create(true, 0));
    ASSERT_GE(tcp.fd, 0);
    EXPECT_TRUE(NonBlocking(tcp));
    EXPECT_TRUE(CloseOnExec(tcp));
    EXPECT_EQ(SOCK_STREAM, IntOption(tcp, SOL_SOCKET, SO_TYPE));
    EXPECT_EQ(AF_INET, IntOption(tcp, SOL_SOCKET, SO_DOMAIN));
    EXPECT_EQ(IPPROTO_TCP, IntOption(tcp, SOL_SOCKET, SO_PROTOCOL));
    EXPECT_EQ(0, IntOption(tcp, SOL_SOCKET, SO_BROADCAST));

    Fd udp(vnsocket_create(false, 0));
    ASSERT_GE(udp.fd, 0);
    EXPECT_TRUE(NonBlocking(udp));
    EXPECT_TRUE(CloseOnExec(udp));
    EXPECT_EQ(SOCK_DGRAM, IntOption(udp, SOL_SOCKET, SO_TYPE));
    EXPECT_EQ(AF_INET, IntOption(udp, SOL_SOCKET, SO_DOMAIN));
    EXPECT_EQ(1, IntOption(udp, SOL_SOCKET, SO_BROADCAST));
}

// ---- TCP ----

TEST(VnsocketTcp, AcceptCarriesTheListenersMode) {
    Fd listener(vnsocket_create_block(true, 0, 0));
    ASSERT_TRUE(vnsocket_bind(listener, kLoopback, 0));
    ASSERT_TRUE(vnsocket_listen(listener, 4));
    unsigned short port = 0;
    ASSERT_TRUE(vnsocket_getsockname(listener, nullptr, &port));
    Fd client(vnsocket_create_block(true, 0, 0));
    EXPECT_TRUE(vnsocket_connect(client, "127.0.0.1", port));  // blocking: done at once
    Fd server(vnsocket_accept(listener));
    ASSERT_GE(server.fd, 0);
    EXPECT_FALSE(NonBlocking(server));
    EXPECT_TRUE(CloseOnExec(server));
}

TEST(VnsocketConnect, RefusedConnectIsAnErrorReportThenSoError) {
    // A bound socket that does not listen: the kernel answers a connect with a reset, and
    // keeping it bound stops anyone else from taking the port meanwhile.
    Fd closedPort(vnsocket_create(true, 0));
    ASSERT_TRUE(vnsocket_bind(closedPort, kLoopback, 0));
    unsigned short port = 0;
    ASSERT_TRUE(vnsocket_getsockname(closedPort, nullptr, &port));

    Fd client(vnsocket_create(true, 0));
    errno = 0;
    if (!vnsocket_connect(client, "127.0.0.1", port)) {
        // Refused before connect returned: a synchronous failure, equally a failure.
        EXPECT_EQ(ECONNREFUSED, errno);
        return;
    }
    // In progress: the pump reports the outcome as an error, alone, and ends the
    // registration; the reason is then read from SO_ERROR, once.
    void* pump = vnfe_alloc();
    ASSERT_NE(nullptr, pump);
    struct Seen {
        int events = 0;
        int calls = 0;
        int removals = 0;
    } seen;
    ASSERT_EQ(
        0, vnfe_addonce(
               pump, client, VN_EV_READ | VN_EV_WRITE,
               [](void*, int, int events, void* user) {
                   Seen* s = static_cast<Seen*>(user);
                   s->events = events;
                   ++s->calls;
               },
               &seen, 10000, [](void*, int, void* user) { ++static_cast<Seen*>(user)->removals; }));
    for (int i = 0; i < 5000 && seen.calls == 0; ++i)
        vnfe_loop(pump);
    vnfe_free(pump);
    EXPECT_EQ(1, seen.calls);
    EXPECT_EQ(VN_EV_ERROR, seen.events);
    EXPECT_EQ(1, seen.removals);
    EXPECT_EQ(ECONNREFUSED, vn::detail::socket_pending_error(client));
    EXPECT_EQ(0, vn::detail::socket_pending_error(client));  // reading cleared it
    EXPECT_EQ(EBADF, vn::detail::socket_pending_error(-1));
}

TEST(VnsocketSend, ClosedPeerGivesAnErrorNotSigpipe) {
    // With the default disposition SIGPIPE would end this test program.
    signal(SIGPIPE, SIG_DFL);
    Connection c;
    c.server.Reset();
    ASSERT_NE(0, WaitFor(c.client, POLLIN, 5000) & POLLIN);  // the peer's end of stream
    // The first send may still be accepted; the peer answers it with a reset, after which
    // sending fails with EPIPE or ECONNRESET.
    char data[256] = {0};
    int rc = vnsocket_send(c.client, data, sizeof(data));
    if (rc > 0) {
        ASSERT_NE(0, WaitFor(c.client, POLLERR | POLLHUP, 5000));
        errno = 0;
        rc = vnsocket_send(c.client, data, sizeof(data));
    }
    EXPECT_EQ(-1, rc);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;
    errno = 0;
    EXPECT_EQ(-1, vnsocket_send(c.client, data, sizeof(data)));
    EXPECT_EQ(EPIPE, errno);
}

// ---- UDP ----

TEST(VnsocketUdp, GuardsMakeNoCallAndTextIsNotLookedUp) {
    Fd a(vnsocket_create(false, 0));
    char buf[8] = {0};
    unsigned int ip = 9;
    unsigned short port = 9;
    errno = 4242;
    EXPECT_EQ(0, vnsocket_sendto(-1, buf, 4, "127.0.0.1", 9));
    EXPECT_EQ(0, vnsocket_sendto(a, buf, 0, "127.0.0.1", 9));
    EXPECT_EQ(0, vnsocket_sendto(a, buf, -3, "127.0.0.1", 9));
    EXPECT_EQ(0, vnsocket_sendto(a, nullptr, 4, "127.0.0.1", 9));
    EXPECT_EQ(0, vnsocket_sendto(a, buf, 4, nullptr, 9));
    EXPECT_EQ(0, vnsocket_sendto(a, buf, 4, "127.0.0.1", 0));
    EXPECT_EQ(0, vnsocket_recvfrom(-1, buf, 4, &ip, &port));
    EXPECT_EQ(0, vnsocket_recvfrom(a, nullptr, 4, &ip, &port));
    EXPECT_EQ(0, vnsocket_recvfrom(a, buf, 0, &ip, &port));
    EXPECT_EQ(4242, errno);
    EXPECT_EQ(9u, ip);
    EXPECT_EQ(9, port);

    // A name is not dotted-decimal text: refused, never broadcast as 255.255.255.255.
    EXPECT_EQ(-1, vnsocket_sendto(a, buf, 4, "localhost", 9));
    EXPECT_EQ(EINVAL, errno);
}

TEST(VnsocketCreate, BlockingWithReuseAndOnlyTheTimeoutsAsked) {
    Fd tcp(vnsocket_create_block(true, 0, 1500));
    ASSERT_GE(tcp.fd, 0);
    EXPECT_FALSE(NonBlocking(tcp));
    EXPECT_TRUE(CloseOnExec(tcp));
    EXPECT_EQ(1, IntOption(tcp, SOL_SOCKET, SO_REUSEADDR));
    EXPECT_EQ(0, IntOption(tcp, SOL_SOCKET, SO_BROADCAST));
    struct timeval tv;
    socklen_t len = sizeof(tv);
    ASSERT_EQ(0, getsockopt(tcp, SOL_SOCKET, SO_RCVTIMEO, &tv, &len));
    EXPECT_EQ(1, tv.tv_sec);
    EXPECT_GE(tv.tv_usec, 500000);
    EXPECT_LT(tv.tv_usec, 510000);
    len = sizeof(tv);
    ASSERT_EQ(0, getsockopt(tcp, SOL_SOCKET, SO_SNDTIMEO, &tv, &len));
    EXPECT_EQ(0, tv.tv_sec);
    EXPECT_EQ(0, tv.tv_usec);

    Fd udp(vnsocket_create_block(false, 250, 0));
    ASSERT_GE(udp.fd, 0);
    EXPECT_FALSE(NonBlocking(udp));
    EXPECT_EQ(SOCK_DGRAM, IntOption(udp, SOL_SOCKET, SO_TYPE));
    EXPECT_EQ(1, IntOption(udp, SOL_SOCKET, SO_BROADCAST));
    len = sizeof(tv);
    ASSERT_EQ(0, getsockopt(udp, SOL_SOCKET, SO_SNDTIMEO, &tv, &len));
    // The kernel keeps socket time-outs in clock ticks, so the figure read back is rounded
    // up to the tick (1 to 10 ms).
    EXPECT_EQ(0, tv.tv_sec);
    EXPECT_GE(tv.tv_usec, 250000);
    EXPECT_LT(tv.tv_usec, 260000);
}

TEST(VnsocketCreate, CloseAndValidity) {
    EXPECT_FALSE(vnsocket_isvalid(-1));
    EXPECT_TRUE(vnsocket_isvalid(0));
    errno = 4242;
    EXPECT_FALSE(vnsocket_close(-1));
    EXPECT_EQ(4242, errno);  // no call was made
    int fd = vnsocket_create(true, 0);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(vnsocket_close(fd));
    EXPECT_EQ(-1, fcntl(fd, F_GETFD));  // really closed
}

TEST(VnsocketOptions, BufferSizesAndNoDelay) {
    Fd fd(vnsocket_create(true, 0));
    ASSERT_GE(fd.fd, 0);
    EXPECT_TRUE(vnsocket_setsendbufsize(fd, 64 * 1024));
    EXPECT_TRUE(vnsocket_setrecvbufsize(fd, 96 * 1024));
    int snd = 0;
    int rcv = 0;
    EXPECT_TRUE(vnsocket_getsendbufsize(fd, &snd));
    EXPECT_TRUE(vnsocket_getrecvbufsize(fd, &rcv));
    // Linux reports twice what was set (room for its bookkeeping).
    EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_SNDBUF), snd);
    EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_RCVBUF), rcv);
    EXPECT_GE(snd, 64 * 1024);
    EXPECT_GE(rcv, 96 * 1024);

    EXPECT_TRUE(vnsocket_setnodelay(fd, true));
    EXPECT_NE(0, IntOption(fd, IPPROTO_TCP, TCP_NODELAY));
    EXPECT_TRUE(vnsocket_setnodelay(fd, false));
    EXPECT_EQ(0, IntOption(fd, IPPROTO_TCP, TCP_NODELAY));

    int untouched = 77;
    EXPECT_FALSE(vnsocket_setsendbufsize(-1, 1024));
    EXPECT_FALSE(vnsocket_setrecvbufsize(-1, 1024));
    EXPECT_FALSE(vnsocket_getsendbufsize(-1, &untouched));
    EXPECT_FALSE(vnsocket_getrecvbufsize(-1, &untouched));
    EXPECT_EQ(77, untouched);
    EXPECT_FALSE(vnsocket_setnodelay(-1, true));
    Fd udp(vnsocket_create(false, 0));
    EXPECT_FALSE(vnsocket_setnodelay(udp, true));  // not a TCP socket
}

TEST(VnsocketOptions, MulticastIsNotSupported) {
    Fd udp(vnsocket_create(false, 0));
    EXPECT_FALSE(vnsocket_setmulticastttl(udp, 4));
    EXPECT_TRUE(vnsocket_joingroup(udp, "239.1.2.3"));
}

TEST(VnsocketTcp, GuardsMakeNoCall) {
    Connection c;
    char buf[8] = {0};
    errno = 4242;
    EXPECT_EQ(0, vnsocket_send(c.client, buf, 0));
    EXPECT_EQ(0, vnsocket_send(c.client, nullptr, 5));
    EXPECT_EQ(0, vnsocket_send(-1, buf, 5));
    EXPECT_EQ(0, vnsocket_recv(c.server, buf, 0));
    EXPECT_EQ(0, vnsocket_recv(c.server, nullptr, 5));
    EXPECT_EQ(0, vnsocket_recv(-1, buf, 5));
    EXPECT_EQ(0, vnsocket_getunreaddatalen(-1));
    EXPECT_EQ(4242, errno);
    EXPECT_EQ(0, vnsocket_getunreaddatalen(c.listener.fd));  // the query fails: 0

    EXPECT_EQ(-1, vnsocket_accept(c.listener.fd));  // nothing waits
    EXPECT_EQ(-1, vnsocket_accept(-1));
    Fd fresh(vnsocket_create(true, 0));
    unsigned int ip = 7;
    unsigned short port = 7;
    EXPECT_FALSE(vnsocket_getpeername(fresh, &ip, &port));  // not connected
    EXPECT_FALSE(vnsocket_getsockname(-1, &ip, &port));
    EXPECT_EQ(7u, ip);
    EXPECT_EQ(7, port);

    EXPECT_FALSE(vnsocket_bind(fresh, kLoopback, c.listener.port));  // in use
    Fd udp(vnsocket_create(false, 0));
    EXPECT_FALSE(vnsocket_listen(udp, 1));  // datagram sockets cannot listen
    EXPECT_FALSE(vnsocket_bind(-1, 0, 0));
    EXPECT_FALSE(vnsocket_listen(-1, 1));
}

TEST(VnsocketConnect, NameIsResolvedAndTheMappingLogged) {
    Listener l;
    Fd client(vnsocket_create(true, 0));
    EXPECT_TRUE(vnsocket_connect(client, "localhost", l.port));
    EXPECT_NE(0, WaitFor(l.fd, POLLIN, 5000) & POLLIN);

    // A dotted address is used as it stands, with no notice.
    Fd second(vnsocket_create(true, 0));
    EXPECT_TRUE(vnsocket_connect(second, "127.0.0.1", l.port));
}

TEST(VnsocketConnect, UnresolvedHostFailsAndKeepsTheDescriptor) {
    Fd client(vnsocket_create(true, 0));
    EXPECT_FALSE(vnsocket_connect(client, nullptr, 80));
    EXPECT_NE(-1, fcntl(client, F_GETFD));  // still open: the caller closes it
    EXPECT_FALSE(vnsocket_connect(-1, "127.0.0.1", 80));
}

TEST(VnsocketSend, FullSendBufferWouldBlock) {
    Connection c;
    vnsocket_setsendbufsize(c.client, 4096);
    vnsocket_setrecvbufsize(c.server, 4096);
    static char chunk[65536];
    int rc = 0;
    long long total = 0;
    for (int i = 0; i < 10000; ++i) {
        rc = vnsocket_send(c.client, chunk, sizeof(chunk));
        if (rc < 0) break;
        total += rc;
    }
    EXPECT_EQ(-1, rc);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    EXPECT_GT(total, 0);
}

TEST(VnsocketTcp, ConnectAcceptSendAndReceive) {
    Connection c;
    ASSERT_GE(c.server.fd, 0);
    EXPECT_TRUE(NonBlocking(c.server));  // inherited from the non-blocking listener
    EXPECT_TRUE(CloseOnExec(c.server));
    EXPECT_EQ(0, vn::detail::socket_pending_error(c.client));

    unsigned int ip = 0;
    unsigned short port = 0;
    unsigned int peerIp = 0;
    unsigned short peerPort = 0;
    ASSERT_TRUE(vnsocket_getsockname(c.client, &ip, &port));
    ASSERT_TRUE(vnsocket_getpeername(c.server, &peerIp, &peerPort));
    EXPECT_EQ(kLoopback, ip);
    EXPECT_EQ(kLoopback, peerIp);
    EXPECT_EQ(port, peerPort);
    ASSERT_TRUE(vnsocket_getpeername(c.client, &peerIp, &peerPort));
    EXPECT_EQ(c.listener.port, peerPort);

    char buf[64];
    errno = 0;
    EXPECT_EQ(-1, vnsocket_recv(c.server, buf, sizeof(buf)));  // nothing yet, non-blocking
    EXPECT_EQ(EAGAIN, errno);
    EXPECT_EQ(0, vnsocket_getunreaddatalen(c.server));

    EXPECT_EQ(5, vnsocket_send(c.client, "hello", 5));
    ASSERT_NE(0, WaitFor(c.server, POLLIN, 5000) & POLLIN);
    EXPECT_EQ(5, vnsocket_getunreaddatalen(c.server));
    EXPECT_EQ(3, vnsocket_recv(c.server, buf, 3));
    EXPECT_EQ(0, memcmp(buf, "hel", 3));
    EXPECT_EQ(2, vnsocket_getunreaddatalen(c.server));
    EXPECT_EQ(2, vnsocket_recv(c.server, buf, sizeof(buf)));
    EXPECT_EQ(0, memcmp(buf, "lo", 2));

    // End of stream: recv gives 0.
    c.client.Reset();
    ASSERT_NE(0, WaitFor(c.server, POLLIN, 5000));
    EXPECT_EQ(0, vnsocket_getunreaddatalen(c.server));
    EXPECT_EQ(0, vnsocket_recv(c.server, buf, sizeof(buf)));
}

TEST(VnsocketUdp, DatagramRoundTripWithSenderAddress) {
    Fd a(vnsocket_create(false, 0));
    Fd b(vnsocket_create(false, 0));
    ASSERT_TRUE(vnsocket_bind(a, kLoopback, 0));
    ASSERT_TRUE(vnsocket_bind(b, 0, 0));
    unsigned short portA = 0;
    unsigned short portB = 0;
    ASSERT_TRUE(vnsocket_getsockname(a, nullptr, &portA));
    ASSERT_TRUE(vnsocket_getsockname(b, nullptr, &portB));

    char buf[32];
    unsigned int fromIp = 9;
    unsigned short fromPort = 9;
    EXPECT_EQ(-1, vnsocket_recvfrom(b, buf, sizeof(buf), &fromIp, &fromPort));  // nothing yet
    EXPECT_EQ(9u, fromIp);
    EXPECT_EQ(9, fromPort);

    EXPECT_EQ(4, vnsocket_sendto(a, "ping", 4, "127.0.0.1", portB));
    ASSERT_NE(0, WaitFor(b, POLLIN, 5000) & POLLIN);
    EXPECT_EQ(4, vnsocket_getunreaddatalen(b));
    EXPECT_EQ(4, vnsocket_recvfrom(b, buf, sizeof(buf), &fromIp, &fromPort));
    EXPECT_EQ(0, memcmp(buf, "ping", 4));
    EXPECT_EQ(kLoopback, fromIp);
    EXPECT_EQ(portA, fromPort);

    // Outputs may be null.
    EXPECT_EQ(2, vnsocket_sendto(b, "ok", 2, "127.0.0.1", portA));
    ASSERT_NE(0, WaitFor(a, POLLIN, 5000) & POLLIN);
    EXPECT_EQ(2, vnsocket_recvfrom(a, buf, sizeof(buf), nullptr, nullptr));

    // An empty datagram reads as 0 and leaves the sender unwritten.
    struct sockaddr_in to;
    memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_port = htons(portB);
    to.sin_addr.s_addr = kLoopback;
    ASSERT_EQ(0, sendto(a, "", 0, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)));
    ASSERT_NE(0, WaitFor(b, POLLIN, 5000) & POLLIN);
    fromIp = 9;
    fromPort = 9;
    EXPECT_EQ(0, vnsocket_recvfrom(b, buf, sizeof(buf), &fromIp, &fromPort));
    EXPECT_EQ(9u, fromIp);
    EXPECT_EQ(9, fromPort);
}
