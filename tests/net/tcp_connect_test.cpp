// Outgoing connections and listening sockets: exactly one OnConnect per started connect
// (success, refusal with reason 1, time-out with reason 0), listening with and without a
// time-out.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <memory>
#include <vector>

#include "fevent/pump_test_support.h"
#include "net/socket_test_util.h"
#include "net/vnfesocket_internal.h"
#include "net/vnnet.h"
#include "net/vntcpcnnsocket_internal.h"
#include "net/vntcplistensocket_internal.h"

using namespace socktest;

namespace {

// A loopback listener whose accept queue is full and never drained: further SYNs are
// dropped, so a connect to it neither succeeds nor fails until it times out.
struct FullBacklog {
    int listener = -1;
    unsigned short port = 0;
    std::vector<int> fillers;
    bool ok = false;

    FullBacklog() {
        listener = BoundLoopbackSocket(SOCK_STREAM, &port);
        if (listener < 0 || listen(listener, 0) != 0) return;
        struct sockaddr_in sa;
        memset(&sa, 0, sizeof(sa));
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = Loopback();
        sa.sin_port = htons(port);
        // Connect until one connect stays pending: the queue is full from then on. Linux
        // admits backlog + 1 connections; the bound covers other accounting too.
        for (int i = 0; i < 16 && !ok; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            fillers.push_back(fd);
            int rc = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
            if (rc == 0) continue;
            if (errno != EINPROGRESS) return;
            struct pollfd p = {fd, POLLOUT, 0};
            if (poll(&p, 1, 300) == 0) ok = true;  // still pending: dropped
        }
    }
    FullBacklog(const FullBacklog&) = delete;
    FullBacklog& operator=(const FullBacklog&) = delete;
    ~FullBacklog() {
        for (int fd : fillers)
            close(fd);
        if (listener >= 0) close(listener);
    }
};

// Waits (bounded) until fd has a pending error, as a refused connect leaves it.
bool WaitForSocketError(int fd) {
    struct pollfd p = {fd, POLLOUT, 0};
    long long end = pumptest::now_ms() + kWaitMs;
    while (pumptest::now_ms() < end) {
        p.revents = 0;
        if (poll(&p, 1, 100) > 0 && (p.revents & POLLERR)) return true;
    }
    return false;
}

// A connecting socket that also tells when its readiness sink hears a close.
class ObservedCnn : public CVNTCPCnnSocket {
public:
    Waiter* w = nullptr;
    int* closes = nullptr;
    void OnClose() override {
        CVNTCPCnnSocket::OnClose();
        w->Update([&] { ++*closes; });
    }
};

}  // namespace

TEST(TcpConnect, SuccessIsReportedOnceOnTheSocketsThread) {
    IOThread io("CnnOk");
    ListenSink ls;
    CVNITCPListenSocket* listener = nullptr;
    ASSERT_TRUE(io.Run([&] {
        listener = VNCreateNoneProxyTCPListenSocket();
        listener->SetSink(&ls);
        ASSERT_TRUE(listener->Listen(Loopback(), 0, VN_TIMEOUT_INFINITE, 4));
    }));
    ConnSink cs;
    std::vector<int> accepted;
    ls.onAccept = [&](CVNITCPListenSocket* l) { accepted.push_back(l->Accept()); };
    int detached = -1;
    cs.then = [&](bool ok, CVNITCPCnnSocket* s, int) {
        if (ok) detached = s->Detach();
    };
    CVNITCPCnnSocket* c = nullptr;
    ASSERT_TRUE(io.Run([&] {
        c = VNCreateNoneProxyCnnTCPSocket();
        c->SetSink(&cs);
        ASSERT_TRUE(c->Connect("127.0.0.1", ls.port, 5000));
    }));
    ASSERT_TRUE(cs.WaitCount(1));
    ConnSink::Report r = cs.Get(0);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(c, r.socket);
    EXPECT_EQ(0, r.reason);
    EXPECT_EQ(io.task()->getthreadid(), r.tid);
    ASSERT_TRUE(ls.w.WaitFor([&] { return ls.accepts >= 1; }));
    ASSERT_TRUE(io.Run([&] {
        EXPECT_NE(-1, detached);
        unsigned int peerIp = 0;
        unsigned short peerPort = 0;
        EXPECT_TRUE(vnsocket_getpeername(detached, &peerIp, &peerPort));
        EXPECT_EQ(ls.port, peerPort);
        EXPECT_EQ(-1, c->Detach());  // forgotten after the first Detach
        EXPECT_EQ(1, PumpSize());    // only the listener is registered
        EXPECT_EQ(1u, cs.Count());
        delete c;
        delete listener;
        vnsocket_close(detached);
        for (int fd : accepted)
            vnsocket_close(fd);
    }));
}

TEST(TcpConnect, RefusedConnectIsReportedOnceWithReasonOne) {
    IOThread io("CnnRefused");
    RefusingPort refusing;
    ASSERT_NE(0, refusing.port);
    ConnSink cs;
    CVNITCPCnnSocket* c = nullptr;
    ASSERT_TRUE(io.Run([&] {
        c = VNCreateNoneProxyCnnTCPSocket();
        c->SetSink(&cs);
        ASSERT_TRUE(c->Connect("127.0.0.1", refusing.port, 5000));
    }));
    ASSERT_TRUE(cs.WaitCount(1));
    ASSERT_TRUE(io.Run([&] {
        // Nothing is left registered, so nothing can report again.
        EXPECT_EQ(0, PumpSize());
        ASSERT_EQ(1u, cs.Count());
        EXPECT_FALSE(cs.Get(0).ok);
        EXPECT_EQ(1, cs.Get(0).reason);
        EXPECT_EQ(c, cs.Get(0).socket);
        EXPECT_EQ(-1, c->Detach());  // the descriptor was closed before the report
        delete c;
    }));
}

// Where a failed connect shows up as writable, the pending error decides: still one
// failure with reason 1, never a success.
TEST(TcpConnect, WritableWithPendingErrorIsAFailure) {
    IOThread io("CnnSoError");
    RefusingPort refusing;
    ConnSink cs;
    ASSERT_TRUE(io.Run([&] {
        CVNTCPCnnSocket* c = new CVNTCPCnnSocket;
        c->SetSink(&cs);
        ASSERT_TRUE(c->Connect("127.0.0.1", refusing.port, 5000));
        CVNFESocket& fe = c->FESocket();
        int fd = fe.GetSocket();
        ASSERT_TRUE(WaitForSocketError(fd));
        // The report the pump would give on a platform that signals failure as writable.
        CVNFESocket::OnPumpEvent(fe.GetFevent(), fd, VN_EV_WRITE, fe.GetProxy());
        ASSERT_EQ(1u, cs.Count());
        EXPECT_FALSE(cs.Get(0).ok);
        EXPECT_EQ(1, cs.Get(0).reason);
        EXPECT_EQ(-1, fe.GetSocket());
        EXPECT_EQ(0, PumpSize());
        // A second write report (stale) changes nothing.
        CVNFESocket::OnPumpEvent(fe.GetFevent(), fd, VN_EV_WRITE, fe.GetProxy());
        EXPECT_EQ(1u, cs.Count());
        delete c;
    }));
    EXPECT_EQ(1u, cs.Count());
}

TEST(TcpConnect, UnansweredConnectTimesOutOnceWithReasonZero) {
    FullBacklog full;
    if (!full.ok) GTEST_SKIP() << "could not fill the accept queue of a loopback listener";
    IOThread io("CnnTimeout");
    ConnSink cs;
    long long started = 0;
    ASSERT_TRUE(io.Run([&] {
        CVNITCPCnnSocket* c = VNCreateNoneProxyCnnTCPSocket();
        c->SetSink(&cs);
        cs.then = [](bool, CVNITCPCnnSocket* s, int) { delete s; };  // deleted in its report
        started = iotest::NowUs();
        ASSERT_TRUE(c->Connect("127.0.0.1", full.port, 1000));
    }));
    ASSERT_TRUE(cs.WaitCount(1));
    long long took = iotest::NowUs() - started;
    // A 1 s time-out falls due when the pump's clock reaches its whole second.
    EXPECT_LT(took, 2500000);
    ASSERT_TRUE(io.Run([&] { EXPECT_EQ(0, PumpSize()); }));
    ASSERT_EQ(1u, cs.Count());
    EXPECT_FALSE(cs.Get(0).ok);
    EXPECT_EQ(0, cs.Get(0).reason);
}

// A timed wait is renewed for every connection: one registration, not a pile of them.
TEST(TcpListen, ListensAcceptsAndReportsItsAddressFirst) {
    IOThread io("Listen");
    ListenSink ls;
    std::vector<int> accepted;
    ls.onAccept = [&](CVNITCPListenSocket* l) { accepted.push_back(l->Accept()); };
    CVNTCPListenSocket* listener = nullptr;
    ASSERT_TRUE(io.Run([&] {
        listener = new CVNTCPListenSocket;
        listener->SetSink(&ls);
        ASSERT_TRUE(listener->Listen(Loopback(), 0, 30000, 4));
        EXPECT_EQ(1, ls.listens);  // reported before Listen returned
        EXPECT_TRUE(listener->FESocket().IsAcceptMode());
        unsigned int ip = 0;
        unsigned short port = 0;
        EXPECT_TRUE(listener->GetLocalAddr(&ip, &port));
        EXPECT_EQ(Loopback(), ip);
        EXPECT_EQ(Loopback(), ls.ip);
        EXPECT_EQ(ls.port, port);
        EXPECT_NE(0, port);
    }));
    for (int i = 0; i < 3; ++i) {
        int fd = vnsocket_create_block(true, 0, 0);
        ASSERT_TRUE(vnsocket_connect(fd, "127.0.0.1", ls.port));
        ASSERT_TRUE(ls.w.WaitFor([&] { return ls.accepts == i + 1; }));
        vnsocket_close(fd);
    }
    ASSERT_TRUE(io.Run([&] {
        EXPECT_EQ(1, PumpSize());
        EXPECT_EQ(2, listener->FESocket().GetProxy()->RefCount());
        ASSERT_EQ(3u, accepted.size());
        for (int fd : accepted) {
            EXPECT_NE(-1, fd);
            vnsocket_close(fd);
        }
        EXPECT_EQ(-1, listener->Accept());  // nothing waits
        listener->Close();
        EXPECT_FALSE(listener->GetLocalAddr(nullptr, nullptr));
        EXPECT_EQ(0, PumpSize());
        delete listener;
    }));
    EXPECT_EQ(0, ls.w.Read([&] { return ls.closes; }));
}

TEST(TcpListen, WaitThatOutlastsTheTimeOutIsReportedAsClose) {
    IOThread io("ListenTimeout");
    ListenSink ls;
    CVNITCPListenSocket* l = nullptr;
    long long started = 0;
    ASSERT_TRUE(io.Run([&] {
        l = VNCreateNoneProxyTCPListenSocket();
        l->SetSink(&ls);
        started = iotest::NowUs();
        ASSERT_TRUE(l->Listen(Loopback(), 0, 500, 4));
    }));
    ASSERT_TRUE(ls.w.WaitFor([&] { return ls.closes == 1; }));
    EXPECT_LT(iotest::NowUs() - started, 2500000);
    ASSERT_TRUE(io.Run([&] {
        EXPECT_EQ(0, PumpSize());
        EXPECT_FALSE(l->GetLocalAddr(nullptr, nullptr));  // no longer listening
        delete l;
    }));
    EXPECT_EQ(0, ls.w.Read([&] { return ls.accepts; }));
}

TEST(TcpListen, AttachAdoptsAListeningDescriptor) {
    IOThread io("ListenAttach");
    ListenSink ls;
    std::vector<int> accepted;
    ls.onAccept = [&](CVNITCPListenSocket* l) { accepted.push_back(l->Accept()); };
    unsigned short port = 0;
    CVNITCPListenSocket* l = nullptr;
    ASSERT_TRUE(io.Run([&] {
        int fd = vnsocket_create(true, 0);
        ASSERT_TRUE(vnsocket_bind(fd, Loopback(), 0));
        ASSERT_TRUE(vnsocket_listen(fd, 4));
        ASSERT_TRUE(vnsocket_getsockname(fd, nullptr, &port));
        l = VNCreateNoneProxyTCPListenSocket();
        l->SetSink(&ls);
        EXPECT_FALSE(l->Attach(-1, VN_TIMEOUT_INFINITE));
        EXPECT_TRUE(l->Attach(fd, VN_TIMEOUT_INFINITE));
        EXPECT_EQ(0, ls.listens);  // Attach does not report OnListen
    }));
    int c = vnsocket_create_block(true, 0, 0);
    ASSERT_TRUE(vnsocket_connect(c, "127.0.0.1", port));
    ASSERT_TRUE(ls.w.WaitFor([&] { return ls.accepts == 1; }));
    vnsocket_close(c);
    ASSERT_TRUE(io.Run([&] {
        for (int fd : accepted)
            vnsocket_close(fd);
        delete l;
    }));
}

// Without a Detach the descriptor stays registered for reading; a later close by the peer
// must not produce a second report.
TEST(TcpConnect, LaterCloseAfterSuccessIsNotASecondReport) {
    IOThread io("CnnLate");
    ListenSink ls;
    CVNITCPListenSocket* listener = nullptr;
    ls.onAccept = [&](CVNITCPListenSocket* l) {
        int fd = l->Accept();
        EXPECT_NE(-1, fd);
        vnsocket_close(fd);  // accept and hang up at once
    };
    ASSERT_TRUE(io.Run([&] {
        listener = VNCreateNoneProxyTCPListenSocket();
        listener->SetSink(&ls);
        ASSERT_TRUE(listener->Listen(Loopback(), 0, VN_TIMEOUT_INFINITE, 4));
    }));
    ConnSink cs;
    Waiter w;
    int closes = 0;
    ObservedCnn* c = nullptr;
    ASSERT_TRUE(io.Run([&] {
        c = new ObservedCnn;
        c->w = &w;
        c->closes = &closes;
        c->SetSink(&cs);
        ASSERT_TRUE(c->Connect("127.0.0.1", ls.port, 5000));
    }));
    ASSERT_TRUE(w.WaitFor([&] { return closes == 1; }));
    ASSERT_TRUE(io.Run([&] {
        ASSERT_EQ(1u, cs.Count());
        // The success and the hang-up may reach the pump in one pass or two; either way
        // there is one report, and when the hang-up came first it is the failure.
        EXPECT_EQ(-1, c->Detach());  // closed by the hang-up
        delete c;
        delete listener;
        EXPECT_EQ(0, PumpSize());
    }));
}

TEST(TcpConnect, AttemptsThatDoNotStartReportNothing) {
    IOThread io("CnnNoStart");
    ConnSink cs;
    ASSERT_TRUE(io.Run([&] {
        CVNITCPCnnSocket* c = VNCreateNoneProxyCnnTCPSocket();
        c->SetSink(&cs);
        EXPECT_FALSE(c->Connect(nullptr, 80, 1000));  // nothing to resolve
        EXPECT_EQ(0, PumpSize());
        EXPECT_EQ(-1, c->Detach());
        delete c;
    }));
    // Off an I/O thread there is no pump: a connect cannot be watched, so it does not start.
    RefusingPort refusing;
    CVNITCPCnnSocket* c = VNCreateNoneProxyCnnTCPSocket();
    c->SetSink(&cs);
    EXPECT_FALSE(c->Connect("127.0.0.1", refusing.port, 1000));
    delete c;
    EXPECT_EQ(0u, cs.Count());
}

TEST(TcpListen, BoundToAnyReportsThisHostsAddress) {
    IOThread io("ListenAny");
    ListenSink ls;
    ASSERT_TRUE(io.Run([&] {
        CVNITCPListenSocket* l = VNCreateNoneProxyTCPListenSocket();
        l->SetSink(&ls);
        ASSERT_TRUE(l->Listen(0, 0, VN_TIMEOUT_INFINITE, 4));
        EXPECT_EQ(vnnet_getlocalip(false), ls.ip);
        unsigned int ip = 1;
        EXPECT_TRUE(l->GetLocalAddr(&ip, nullptr));
        EXPECT_EQ(vnnet_getlocalip(false), ip);
        delete l;
    }));
}

TEST(TcpListen, BindFailureReturnsFalseAndReportsNothing) {
    IOThread io("ListenFail");
    RefusingPort taken;  // bound (not listening) by someone else
    ListenSink ls;
    ASSERT_TRUE(io.Run([&] {
        CVNITCPListenSocket* l = VNCreateNoneProxyTCPListenSocket();
        l->SetSink(&ls);
        EXPECT_FALSE(l->Listen(Loopback(), taken.port, VN_TIMEOUT_INFINITE, 4));
        EXPECT_EQ(0, PumpSize());
        delete l;
    }));
    EXPECT_EQ(0, ls.w.Read([&] { return ls.listens + ls.accepts + ls.closes; }));
}
