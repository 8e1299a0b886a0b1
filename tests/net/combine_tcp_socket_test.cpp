// The framed stream socket: whole packets however the bytes arrive, the head checks and
// the size limit, buffer growth, the one-packet send queue with OnSend after it drained,
// and Send from another thread on the locked variant. The peer is a
// plain blocking loopback socket.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <thread>

#include "fevent/pump_test_support.h"
#include "net/socket_test_util.h"
#include "net/vncombinetcpsocket_internal.h"
#include "support/proxy_peers.h"

using namespace socktest;
using vntest::ReadExact;
using vntest::SendAll;

namespace {

// The packet layout of these tests: a 4-byte big-endian total length, head included. A
// head whose first byte is 0xEE is refused (a "bad magic" head).
bool GetLen(const char* buf, unsigned int len, unsigned int* total) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(buf);
    if (len < 4 || p[0] == 0xEE) return false;
    *total = (static_cast<unsigned int>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
    return true;
}

std::string Head(unsigned int t) {
    return {static_cast<char>(t >> 24), static_cast<char>(t >> 16), static_cast<char>(t >> 8),
            static_cast<char>(t)};
}

// A packet of `total` bytes (head included) whose body is a pattern seeded by seed.
std::string Packet(unsigned int total, unsigned int seed = 0) {
    std::string p = Head(total);
    for (unsigned int i = 4; i < total; ++i)
        p += static_cast<char>(i * 131 + seed);
    return p;
}

// A framed socket s on its own I/O thread, attached to the server end of a loopback pair
// (maxLen 0: no packet info; the server end made blocking first when asked), with this
// object as its sink. The client end is blocking, each call bounded by 10 s.
struct Framed : public CVNICombineTCPSocketSink {
    // The socket with a window on its receive side: after each read report of the
    // transport it publishes the bytes of the packet in progress, so a test can wait until
    // a piece it wrote has been taken in before it writes the next one.
    struct Probe : public CVNCombineTCPSocket {
        Probe(bool locked, Framed* f) : CVNCombineTCPSocket(locked), f(f) { SetSink(f); }
        void OnRecv(CVNITCPSocket* s) override {
            Framed* framed = f;  // this may be deleted by the sink in the call below
            CVNCombineTCPSocket::OnRecv(s);
            if (framed->s != this) return;
            framed->w.Update([&] { framed->recvLen = GetRecvLen(); });
        }
        Framed* f;  // alive longer than the probe
    };
    IOThread io{"Framed"};
    pumptest::TcpPair pair;
    Probe* s = nullptr;
    int server = pair.server;  // the descriptor the socket was given
    Waiter w;
    std::vector<std::string> packets;  // guarded by w
    int sends = 0, closes = 0;
    int sendsWhileQueued = 0;      // OnSend heard while a packet was still queued: a fault
    unsigned int recvLen = 0;      // bytes of the packet in progress after each read report
    std::function<void()> onRecv;  // on the socket's thread, after recording

    explicit Framed(bool locked = false, unsigned int maxLen = 4096, int sndbuf = 0,
                    bool blockingServer = false) {
        if (sndbuf != 0) setsockopt(server, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
        fcntl(pair.client, F_SETFL, 0);
        if (blockingServer) fcntl(server, F_SETFL, 0);
        struct timeval tv = {10, 0};
        setsockopt(pair.client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        setsockopt(pair.client, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
        EXPECT_TRUE(io.Run([&] {
            s = new Probe(locked, this);
            EXPECT_TRUE(maxLen == 0 || s->SetPacketInfo(4, GetLen, maxLen));
            s->Attach(server);
        }));
        pair.server = -1;  // the socket owns it now
    }
    ~Framed() override {
        io.Run([&] { delete s; });
    }
    void OnRecv(const char* buf, unsigned int len, CVNICombineTCPSocket*) override {
        w.Update([&] { packets.emplace_back(buf, len); });
        if (onRecv) onRecv();
    }
    void OnSend(CVNICombineTCPSocket*) override {
        bool queued = s->IsSendQueued();
        w.Update([&] { ++sends, sendsWhileQueued += queued; });
    }
    void OnClose(CVNICombineTCPSocket*) override {
        w.Update([&] { ++closes; });
    }
    template <class T>
    T Read(const T& field) {
        return w.Read([&] { return field; });
    }
};

}  // namespace

// A packet written in two pieces, split at every byte boundary, each first piece taken in
// before the second is written; then several packets in one write (one a bare head) come
// out one per report, in order, and the largest packet grows the buffer.
TEST(FramedStream, PacketSplitInTwoAtEveryBoundaryArrivesWhole) {
    Framed f;
    std::vector<std::string> sent;
    for (size_t k = 1; k < 15; ++k) {
        SCOPED_TRACE(k);
        sent.push_back(Packet(15, k));
        ASSERT_TRUE(SendAll(f.pair.client, sent.back().substr(0, k)));
        ASSERT_TRUE(f.w.WaitFor([&] { return f.recvLen == k; }));
        ASSERT_TRUE(SendAll(f.pair.client, sent.back().substr(k)));
        ASSERT_TRUE(f.w.WaitFor([&] { return f.packets.size() == k; }));
    }
    sent.insert(sent.end(), {Packet(100, 1), Packet(4), Packet(4096, 3), Packet(1048575, 7)});
    ASSERT_TRUE(SendAll(f.pair.client, sent[14] + sent[15] + sent[16] + sent[17]));
    ASSERT_TRUE(f.w.WaitFor([&] { return f.packets.size() == sent.size(); }));
    EXPECT_TRUE(f.Read(f.packets) == sent);
}

// A head at or above the limit, shorter than itself, or refused by the callback closes
// the connection and reports OnClose once, and nothing else.
TEST(FramedStream, BadHeadClosesAndReportsCloseOnce) {
    for (std::string head : {Head(1048576), Head(0xFFFFFFFFu), Head(2), "\xEE" + Head(10)}) {
        SCOPED_TRACE(testing::PrintToString(head));
        Framed f;
        f.onRecv = [] { ADD_FAILURE() << "OnRecv for a bad head"; };
        ASSERT_TRUE(SendAll(f.pair.client, head + std::string(16, 'x')));
        ASSERT_TRUE(f.w.WaitFor([&] { return f.closes == 1; }));
        EXPECT_TRUE(vntest::WaitPeerClose(f.pair.client));
        ASSERT_TRUE(f.io.Run([&] {
            EXPECT_EQ(-1, f.s->Detach());
            EXPECT_EQ(0, PumpSize());
            EXPECT_EQ(4096u, f.s->GetMaxRecvPacketSize());  // nothing was allocated for it
        }));
        EXPECT_EQ(1, f.Read(f.closes));
    }
}

// The sink may delete the socket while packets are still waiting behind the one it hears.
TEST(FramedStream, SinkMayDeleteTheSocketInsideOnRecv) {
    Framed f(true, 64);
    f.onRecv = [&] {
        delete f.s;
        f.s = nullptr;
    };
    ASSERT_TRUE(SendAll(f.pair.client, Packet(8) + Packet(9) + Packet(10)));
    EXPECT_TRUE(vntest::WaitPeerClose(f.pair.client));
    ASSERT_TRUE(f.io.Run([&] { EXPECT_EQ(0, PumpSize()); }));
    EXPECT_EQ(1u, f.Read(f.packets).size());
}

TEST(FramedStream, SendRefusesWrongLengthAndTooLargeAndBadPacketInfo) {
    Framed f;
    const std::string good = Packet(10), big = Packet(1048576), longer = good + "xx";
    ASSERT_TRUE(f.io.Run([&] {
        for (unsigned int len : {7u, 12u, 2u})  // the head says 10
            EXPECT_EQ(0u, f.s->Send(longer.data(), len)) << len;
        EXPECT_EQ(0u, f.s->Send(nullptr, 10) + f.s->Send(("\xEE" + good).data(), 10) +
                          f.s->Send(big.data(), static_cast<unsigned int>(big.size())));
        EXPECT_EQ(10u, f.s->Send(good.data(), 10));
        // The factories' sockets: packet info is checked, and with no descriptor attached
        // every forwarded query fails.
        CVNICombineTCPSocket* plain = VNCreateCombineTCPSocket();
        CVNICombineTCPSocket* locked = VNCreateCombineTCPSocket_MutilThread();
        EXPECT_EQ(0u, plain->Send(Packet(10).data(), 10));  // no packet info yet
        EXPECT_FALSE(plain->SetPacketInfo(0, GetLen, 100) ||
                     plain->SetPacketInfo(4, nullptr, 100) || plain->SetPacketInfo(4, GetLen, 3));
        EXPECT_TRUE(plain->SetPacketInfo(4, GetLen, 4) && locked->SetPacketInfo(4, GetLen, 1000));
        EXPECT_EQ(0, plain->GetUnreadDataLen());
        EXPECT_EQ(-1, plain->Detach());
        EXPECT_FALSE(plain->SetNoDelay(true) || plain->SetSendBufSize(1) ||
                     plain->SetRecvBufSize(1) || plain->GetSockName(nullptr, nullptr) ||
                     plain->GetPeerName(nullptr, nullptr) || plain->SetEvent(VN_EV_READ, false));
        plain->Close();
        delete plain;
        delete locked;
    }));
    EXPECT_EQ(good, ReadExact(f.pair.client, 10));
}

// A peer that does not read fills the buffers: the rest of the packet is queued, a second
// packet is refused, the sink hears OnSend only once the queue drained, and a peer's close
// is reported once. The locked variant sends from another thread on a descriptor that was
// blocking when attached: Attach makes it non-blocking, or Send would block under the lock
// the owner's drain needs.
TEST(FramedStream, PartialSendQueuesTheRestAndReportsOnSendAfterItDrained) {
    for (bool locked : {false, true}) {
        SCOPED_TRACE(locked ? "locked, foreign thread" : "plain");
        Framed f(locked, 64, 4096, locked);
        ASSERT_NE(0, fcntl(f.server, F_GETFL) & O_NONBLOCK) << "Send would block";
        const std::string big = Packet(300000, 11), next = Packet(50, 12);
        int packets = 0;
        auto send = [&] {
            // The first partial send raises the platform send buffer to twice the packet
            // size, so the rest of one packet still fits; a few more fill it for good.
            while (packets < 40 && f.s->Send(big.data(), 300000) == 300000)
                ++packets;
            EXPECT_EQ(0u, f.s->Send(next.data(), 50));
        };
        ASSERT_TRUE(locked ? (std::thread(send).join(), true) : f.io.Run(send));
        ASSERT_TRUE(packets >= 1 && packets < 40) << packets;
        int sendsBefore = f.Read(f.sends);
        for (int i = 0; i < packets; ++i)
            EXPECT_TRUE(ReadExact(f.pair.client, big.size()) == big) << i;
        ASSERT_TRUE(f.w.WaitFor([&] { return f.sends > sendsBefore; }));
        ASSERT_TRUE(f.io.Run([&] {
            EXPECT_EQ(300128u, f.s->GetMaxSendPacketSize());  // grown, with some slack
            EXPECT_EQ(50u, f.s->Send(next.data(), 50));
        }));
        EXPECT_EQ(next, ReadExact(f.pair.client, next.size()));
        // (From another thread a packet may be queued between the drain's look at the queue
        // and the sink's: the check holds for the owner's sends only.)
        EXPECT_TRUE(locked || f.Read(f.sendsWhileQueued) == 0);
        f.pair.CloseClient();  // reported once, with nothing left registered
        ASSERT_TRUE(f.w.WaitFor([&] { return f.closes == 1; }));
        ASSERT_TRUE(f.io.Run([&] { EXPECT_EQ(0, PumpSize()); }));
        EXPECT_EQ(1, f.Read(f.closes));
    }
}
