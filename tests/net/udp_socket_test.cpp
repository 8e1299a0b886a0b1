// The datagram socket: creation reports the bound address, datagrams both ways carry
// their sender, an empty datagram is dropped without closing the socket.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "net/socket_test_util.h"
#include "net/vnnet.h"
#include "net/vnudpsocket_internal.h"
#include "support/log_capture.h"

using namespace socktest;

namespace {

// A datagram socket that also tells when its descriptor was closed under it.
class ObservedUdp : public CVNUDPSocket {
public:
    Waiter w;
    int closes = 0;  // guarded by w
    void OnClose() override {
        CVNUDPSocket::OnClose();
        w.Update([&] { ++closes; });
    }
};

// Sends one datagram (possibly empty) from a plain socket; the sender's port.
unsigned short SendRaw(const std::string& data, unsigned short port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = Loopback();
    sa.sin_port = htons(port);
    EXPECT_EQ(
        static_cast<ssize_t>(data.size()),
        sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
    unsigned short from = 0;
    vnsocket_getsockname(fd, nullptr, &from);
    close(fd);
    return from;
}

}  // namespace

TEST(UdpSocket, DatagramsBothWaysCarryTheirSender) {
    IOThread ioA("UdpA");
    IOThread ioB("UdpB");
    UdpSink sinkA;
    UdpSink sinkB;
    CVNIUDPSocket* a = nullptr;
    CVNIUDPSocket* b = nullptr;
    ASSERT_TRUE(ioA.Run([&] {
        a = VNCreateNoneProxyUDPSocket();
        a->SetSink(&sinkA);
        ASSERT_TRUE(a->Create(0, Loopback(), 0));
    }));
    ASSERT_TRUE(ioB.Run([&] {
        b = VNCreateNoneProxyUDPSocket();
        b->SetSink(&sinkB);
        ASSERT_TRUE(b->Create(0, Loopback(), 0));
    }));
    ASSERT_EQ(1, sinkA.creates);
    ASSERT_TRUE(sinkA.createOk);
    EXPECT_EQ(Loopback(), sinkA.ip);
    ASSERT_NE(0, sinkA.port);
    ASSERT_NE(0, sinkB.port);

    ASSERT_TRUE(ioA.Run([&] { EXPECT_EQ(5, a->SendTo("127.0.0.1", sinkB.port, "ping!", 5)); }));
    ASSERT_TRUE(sinkB.w.WaitFor([&] { return sinkB.datagrams.size() == 1; }));
    ASSERT_TRUE(ioB.Run([&] { EXPECT_EQ(4, b->SendTo("127.0.0.1", sinkA.port, "pong", 4)); }));
    ASSERT_TRUE(sinkA.w.WaitFor([&] { return sinkA.datagrams.size() == 1; }));

    sinkB.w.Read([&] {
        EXPECT_EQ("ping!", sinkB.datagrams[0].data);
        EXPECT_EQ(Loopback(), sinkB.datagrams[0].ip);
        EXPECT_EQ(sinkA.port, sinkB.datagrams[0].port);
        return 0;
    });
    sinkA.w.Read([&] {
        EXPECT_EQ("pong", sinkA.datagrams[0].data);
        EXPECT_EQ(Loopback(), sinkA.datagrams[0].ip);
        EXPECT_EQ(sinkB.port, sinkA.datagrams[0].port);
        return 0;
    });

    ASSERT_TRUE(ioA.Run([&] {
        unsigned int ip = 0;
        unsigned short port = 0;
        EXPECT_TRUE(a->GetSockName(&ip, &port));
        EXPECT_EQ(sinkA.port, port);
        EXPECT_TRUE(a->SetSendBufSize(65536));
        EXPECT_TRUE(a->SetRecvBufSize(65536));
        delete a;
        EXPECT_EQ(0, PumpSize());
    }));
    ASSERT_TRUE(ioB.Run([&] { delete b; }));
}

// An empty datagram reads as "readable with nothing waiting". It is dropped, not taken as
// the end of a stream: one empty packet from anybody must not silence the socket. A long
// datagram is cut to the receive buffer.
TEST(UdpSocket, EmptyDatagramIsDroppedAndLongOneIsCut) {
    IOThread io("UdpEmpty");
    UdpSink sink;
    ObservedUdp* u = nullptr;
    ASSERT_TRUE(io.Run([&] {
        u = new ObservedUdp;
        u->SetSink(&sink);
        ASSERT_TRUE(u->Create(0, Loopback(), 0));
    }));
    unsigned short port = sink.port;
    std::string big(12000, 'q');
    big[0] = 'a';
    SendRaw("", port);
    SendRaw("after", port);
    SendRaw(big, port);
    ASSERT_TRUE(sink.w.WaitFor([&] { return sink.datagrams.size() == 2; }));
    sink.w.Read([&] {
        EXPECT_EQ("after", sink.datagrams[0].data);
        EXPECT_EQ(big.substr(0, CVNUDPSocket::kRecvBufSize), sink.datagrams[1].data);
        return 0;
    });
    ASSERT_TRUE(io.Run([&] {
        u->w.Read([&] {
            EXPECT_EQ(0, u->closes);
            return 0;
        });
        EXPECT_NE(-1, u->GetSocket());
        EXPECT_EQ(1, PumpSize());
        delete u;
    }));
}

TEST(UdpSocket, BoundToAnyReportsThisHostsAddress) {
    IOThread io("UdpAny");
    UdpSink sink;
    ASSERT_TRUE(io.Run([&] {
        CVNIUDPSocket* u = VNCreateNoneProxyUDPSocket();
        u->SetSink(&sink);
        ASSERT_TRUE(u->Create(0, 0, 0));
        EXPECT_EQ(vnnet_getlocalip(false), sink.ip);
        delete u;
    }));
}

TEST(UdpSocket, AttachDetachAndGuards) {
    IOThread io("UdpAttach");
    UdpSink sink;
    ASSERT_TRUE(io.Run([&] {
        CVNIUDPSocket* u = VNCreateNoneProxyUDPSocket();
        u->SetSink(&sink);
        char buf[8];
        EXPECT_EQ(-1, u->GetSocket());
        EXPECT_EQ(0, u->SendTo("127.0.0.1", 9, "x", 1));
        EXPECT_EQ(0, u->RecvFrom(buf, sizeof(buf), nullptr, nullptr));
        EXPECT_FALSE(u->SetSendBufSize(4096));
        EXPECT_FALSE(u->SetRecvBufSize(4096));
        EXPECT_FALSE(u->GetSockName(nullptr, nullptr));
        EXPECT_FALSE(u->SetEvent(VN_EV_READ, false));
        EXPECT_EQ(-1, u->Detach());

        int fd = vnsocket_create(false, 0);
        ASSERT_TRUE(vnsocket_bind(fd, Loopback(), 0));
        EXPECT_TRUE(u->Attach(fd));
        EXPECT_EQ(fd, u->GetSocket());
        EXPECT_EQ(1, PumpSize());
        EXPECT_EQ(0, sink.creates);  // only Create reports OnCreate
        EXPECT_EQ(fd, u->Detach());
        EXPECT_EQ(0, PumpSize());
        EXPECT_TRUE(u->Attach(fd));
        u->Close();
        EXPECT_EQ(-1, u->GetSocket());
        EXPECT_EQ(0, PumpSize());
        delete u;
    }));
}

TEST(UdpSocket, BindFailureReturnsFalseAndReportsNothing) {
    IOThread io("UdpFail");
    UdpSink sink;
    unsigned short taken = 0;
    int holder = vnsocket_create(false, 0);
    ASSERT_TRUE(vnsocket_bind(holder, Loopback(), 0));
    ASSERT_TRUE(vnsocket_getsockname(holder, nullptr, &taken));
    ASSERT_TRUE(io.Run([&] {
        CVNIUDPSocket* u = VNCreateNoneProxyUDPSocket();
        u->SetSink(&sink);
        EXPECT_FALSE(u->Create(0, Loopback(), taken));
        EXPECT_EQ(-1, u->GetSocket());
        EXPECT_EQ(0, PumpSize());
        delete u;
    }));
    EXPECT_EQ(0, sink.creates);
    vnsocket_close(holder);
}
