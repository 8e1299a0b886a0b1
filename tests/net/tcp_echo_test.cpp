// End to end: a listening socket on one I/O thread, a connecting socket on another, and
// 1 MiB sent each way through an echo, every byte checked on both sides.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "net/socket_test_util.h"
#include "net/vnnet.h"
#include "net/vnsocketi.h"

using namespace socktest;

namespace {

constexpr size_t kTotal = 1 << 20;
constexpr size_t kChunk = 64 * 1024;
// The echo keeps at most this much unsent; beyond it, it stops reading for a while.
constexpr size_t kEchoCap = 256 * 1024;

// The byte at stream offset i: not periodic at any power of two, so a lost, doubled or
// reordered chunk cannot line up with the pattern again.
unsigned char PatternAt(size_t i) {
    return static_cast<unsigned char>((i * 131u) ^ (i >> 9) ^ (i >> 17));
}

// The bytes of buf[0..n) that differ from the pattern at stream offset base.
size_t CountBad(const char* buf, int n, size_t base) {
    size_t bad = 0;
    for (int i = 0; i < n; ++i)
        bad += static_cast<unsigned char>(buf[i]) != PatternAt(base + i) ? 1 : 0;
    return bad;
}

// The server side: reads, checks and sends back everything, with back-pressure.
struct EchoServer : public CVNITCPListenSocketSink, public CVNITCPSocketSink {
    CVNITCPListenSocket* listener = nullptr;
    CVNITCPSocket* conn = nullptr;
    std::vector<char> pending;  // received, not yet echoed
    size_t pendingOff = 0;
    bool readPaused = false;
    Waiter w;
    unsigned short port = 0;  // guarded by w
    size_t received = 0;
    size_t echoed = 0;
    size_t badBytes = 0;
    int closes = 0;

    void OnListen(unsigned int, unsigned short p, CVNITCPListenSocket*) override {
        w.Update([&] { port = p; });
    }
    void OnAccept(CVNITCPListenSocket* l) override {
        int fd = l->Accept();
        ASSERT_NE(-1, fd);
        ASSERT_EQ(nullptr, conn) << "one connection expected";
        conn = VNCreateTCPSocket();
        conn->SetSink(this);
        ASSERT_TRUE(conn->Attach(fd));
    }
    void OnClose(CVNITCPListenSocket*) override { ADD_FAILURE() << "listener closed"; }

    void OnRecv(CVNITCPSocket* s) override {
        char buf[kChunk];
        while (pending.size() - pendingOff < kEchoCap) {
            int n = s->Recv(buf, sizeof(buf));
            if (n <= 0) break;
            size_t bad = CountBad(buf, n, w.Read([&] { return received; }));
            w.Update([&] {
                received += static_cast<size_t>(n);
                badBytes += bad;
            });
            pending.insert(pending.end(), buf, buf + n);
        }
        Flush(s);
        if (pending.size() - pendingOff >= kEchoCap && !readPaused) {
            readPaused = true;  // the peer waits until the echo drains
            EXPECT_TRUE(s->SetEvent(VN_EV_READ, true));
        }
    }
    void OnSend(CVNITCPSocket* s) override {
        Flush(s);
        if (readPaused && pending.size() - pendingOff < kEchoCap) {
            readPaused = false;
            EXPECT_TRUE(s->SetEvent(VN_EV_READ, false));
        }
    }
    void OnClose(CVNITCPSocket*) override {
        w.Update([&] { ++closes; });
    }
    void Flush(CVNITCPSocket* s) {
        while (pendingOff < pending.size()) {
            int n = s->Send(pending.data() + pendingOff,
                            static_cast<int>(std::min(kChunk, pending.size() - pendingOff)));
            if (n <= 0) break;  // full: the Send asked for the OnSend that resumes us
            pendingOff += static_cast<size_t>(n);
            w.Update([&] { echoed += static_cast<size_t>(n); });
        }
        if (pendingOff == pending.size()) {
            pending.clear();
            pendingOff = 0;
        }
    }
};

// The client side: connects, sends the pattern and checks the echo.
struct EchoClient : public CVNITCPCnnSocketSink, public CVNITCPSocketSink {
    CVNITCPCnnSocket* cnn = nullptr;
    CVNITCPSocket* stream = nullptr;
    size_t sent = 0;
    Waiter w;
    int connects = 0;  // guarded by w
    bool connectOk = false;
    size_t received = 0;
    size_t badBytes = 0;
    int closes = 0;

    void OnConnect(bool ok, CVNITCPCnnSocket* s, int) override {
        EXPECT_EQ(cnn, s);
        int fd = ok ? s->Detach() : -1;
        // Deleting the connecting socket inside its own report is allowed.
        delete cnn;
        cnn = nullptr;
        w.Update([&] {
            ++connects;
            connectOk = ok;
        });
        if (!ok) return;
        ASSERT_NE(-1, fd);
        stream = VNCreateTCPSocket();
        stream->SetSink(this);
        ASSERT_TRUE(stream->Attach(fd));  // the first OnSend starts the transfer
    }
    void OnSend(CVNITCPSocket* s) override {
        char buf[kChunk];
        while (sent < kTotal) {
            size_t n = std::min(kChunk, kTotal - sent);
            for (size_t i = 0; i < n; ++i)
                buf[i] = static_cast<char>(PatternAt(sent + i));
            int k = s->Send(buf, static_cast<int>(n));
            if (k <= 0) break;
            sent += static_cast<size_t>(k);
        }
    }
    void OnRecv(CVNITCPSocket* s) override {
        char buf[kChunk];
        for (;;) {
            int n = s->Recv(buf, sizeof(buf));
            if (n <= 0) break;
            size_t bad = CountBad(buf, n, w.Read([&] { return received; }));
            w.Update([&] {
                received += static_cast<size_t>(n);
                badBytes += bad;
            });
        }
    }
    void OnClose(CVNITCPSocket*) override {
        w.Update([&] { ++closes; });
    }
};

}  // namespace

TEST(TcpEcho, OneMebibyteEachWayBetweenTwoIOThreads) {
    IOThread serverThread("EchoServer");
    IOThread clientThread("EchoClient");
    EchoServer server;
    EchoClient client;

    bool listened = false;
    ASSERT_TRUE(serverThread.Run([&] {
        server.listener = VNCreateNoneProxyTCPListenSocket();
        server.listener->SetSink(&server);
        listened = server.listener->Listen(Loopback(), 0, VN_TIMEOUT_INFINITE, 8);
    }));
    ASSERT_TRUE(listened);
    unsigned short port = server.w.Read([&] { return server.port; });
    ASSERT_NE(0, port);

    bool started = false;
    ASSERT_TRUE(clientThread.Run([&] {
        client.cnn = VNCreateNoneProxyCnnTCPSocket();
        client.cnn->SetSink(&client);
        started = client.cnn->Connect("127.0.0.1", port, 5000);
    }));
    ASSERT_TRUE(started);

    ASSERT_TRUE(
        client.w.WaitFor([&] { return client.received == kTotal || client.closes > 0; }, 60000));
    client.w.Read([&] {
        EXPECT_EQ(1, client.connects);
        EXPECT_TRUE(client.connectOk);
        EXPECT_EQ(kTotal, client.received);
        EXPECT_EQ(0u, client.badBytes);
        EXPECT_EQ(0, client.closes);
        return 0;
    });
    // The server counts an echoed piece after its send returned, which may be after the
    // client has read it: wait for the count rather than read it at once.
    EXPECT_TRUE(server.w.WaitFor([&] { return server.echoed == kTotal; }));
    server.w.Read([&] {
        EXPECT_EQ(kTotal, server.received);
        EXPECT_EQ(kTotal, server.echoed);
        EXPECT_EQ(0u, server.badBytes);
        return 0;
    });

    // The client hangs up; the server hears the end of the stream.
    ASSERT_TRUE(clientThread.Run([&] {
        delete client.stream;
        client.stream = nullptr;
        EXPECT_EQ(0, PumpSize());
    }));
    ASSERT_TRUE(server.w.WaitFor([&] { return server.closes == 1; }));
    ASSERT_TRUE(serverThread.Run([&] {
        EXPECT_EQ(-1, server.conn->GetSocket());
        delete server.conn;
        delete server.listener;
        EXPECT_EQ(0, PumpSize());
    }));
}
