// The datagram socket: creation reports the bound address, datagrams both ways carry
// their sender, an empty datagram is dropped without closing the socket.
#include <gtest/gtest.h>

#include "net/socket_test_util.h"
#include "net/vnnet.h"
#include "net/vnudpsocket_internal.h"

using namespace socktest;

namespace {

// A datagram socket that also counts the closes of its descriptor under it.
struct ObservedUdp : public CVNUDPSocket {
    int closes = 0;  // on the socket's thread
    void OnClose() override {
        CVNUDPSocket::OnClose();
        ++closes;
    }
};

}  // namespace

// Bound to 127.0.0.1 and to any address (this host's is reported); a taken port fails with
// no report. Datagrams both ways carry their sender; an empty one is dropped, not taken as
// the end of a stream (one empty packet from anybody must not silence the socket), and a
// long one is cut to the receive buffer.
TEST(UdpSocket, CreateReportsTheBoundAddressAndDatagramsCarryTheirSender) {
    IOThread io("Udp");
    UdpSink sa, sb, sc;
    ObservedUdp* u[3] = {};
    const std::string big = "a" + std::string(12000, 'q');
    ASSERT_TRUE(io.Run([&] {
        UdpSink* sinks[3] = {&sa, &sb, &sc};
        for (int i = 0; i < 3; ++i) {
            u[i] = new ObservedUdp;
            u[i]->SetSink(sinks[i]);
        }
        ASSERT_TRUE(u[0]->Create(0, Loopback(), 0) && u[1]->Create(0, 0, 0));
        EXPECT_FALSE(u[2]->Create(0, Loopback(), sa.port));
        // Without a descriptor nothing works; Attach and Detach register and unregister.
        char buf[8];
        EXPECT_EQ(0,
                  u[2]->SendTo("127.0.0.1", 9, "x", 1) + u[2]->RecvFrom(buf, 8, nullptr, nullptr));
        EXPECT_FALSE(u[2]->SetSendBufSize(4096) || u[2]->SetRecvBufSize(4096) ||
                     u[2]->GetSockName(nullptr, nullptr) || u[2]->SetEvent(VN_EV_READ, false) ||
                     u[2]->Detach() != -1 || u[2]->GetSocket() != -1);
        int fd = vnsocket_create(false, 0);
        EXPECT_TRUE(u[2]->Attach(fd));
        EXPECT_EQ(3, PumpSize());
        EXPECT_EQ(fd, u[2]->Detach());
        EXPECT_EQ(2, PumpSize());
        EXPECT_TRUE(u[2]->Attach(fd));
        u[2]->Close();
        EXPECT_EQ(-1, u[2]->GetSocket());
        struct sockaddr_in to = LoopbackAddr(sa.port);
        EXPECT_EQ(0, sendto(u[1]->GetSocket(), "", 0, 0, reinterpret_cast<sockaddr*>(&to), 16));
        EXPECT_EQ(4, u[1]->SendTo("127.0.0.1", sa.port, "pong", 4));
        EXPECT_EQ(12001, u[1]->SendTo("127.0.0.1", sa.port, big.data(), 12001));
        EXPECT_EQ(5, u[0]->SendTo("127.0.0.1", sb.port, "ping!", 5));
        unsigned short port = 0;
        EXPECT_TRUE(u[0]->GetSockName(nullptr, &port) && u[0]->SetSendBufSize(65536) &&
                    u[0]->SetRecvBufSize(65536));
        EXPECT_EQ(sa.port, port);
    }));
    EXPECT_EQ("1 1 1 0", std::to_string(sa.createOk) + " " + std::to_string(sa.creates) + " " +
                             std::to_string(sb.creates) + " " + std::to_string(sc.creates));
    EXPECT_EQ(Loopback(), sa.ip);
    EXPECT_EQ(vnnet_getlocalip(false), sb.ip);
    ASSERT_TRUE(sa.w.WaitFor([&] { return sa.datagrams.size() == 2; }));
    ASSERT_TRUE(sb.w.WaitFor([&] { return sb.datagrams.size() == 1; }));
    const struct {
        UdpSink* sink;
        size_t i;
        UdpSink* peer;
        std::string text;
    } got[] = {{&sa, 0, &sb, "pong"},
               {&sa, 1, &sb, big.substr(0, CVNUDPSocket::kRecvBufSize)},
               {&sb, 0, &sa, "ping!"}};
    for (const auto& g : got) {
        EXPECT_TRUE((UdpSink::Datagram{g.text, Loopback(), g.peer->port}) == g.sink->At(g.i))
            << g.i;
    }
    ASSERT_TRUE(io.Run([&] {
        EXPECT_EQ(0, u[0]->closes);
        for (ObservedUdp* s : u)
            delete s;
        EXPECT_EQ(0, PumpSize());
    }));
}
