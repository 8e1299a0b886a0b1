// The stream, connecting and listening sockets, and the pump reports under them (they stop
// once the socket is gone or holds another descriptor): reports passed to the sink, the end of a
// stream closing the descriptor first, one-shot write interest re-armed by every Send,
// exactly one OnConnect per started connect (success, refusal with reason 1, time-out
// with reason 0), and listening with and without a time-out.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <vector>

#include "fevent/pump_test_support.h"
#include "net/socket_test_util.h"
#include "net/vnfesocket_internal.h"
#include "net/vnnet.h"
#include "net/vntcpcnnsocket_internal.h"
#include "net/vntcplistensocket_internal.h"
#include "net/vntcpsocket_internal.h"
#include "support/proxy_peers.h"

using namespace socktest;

namespace {

// Records the readiness reports as letters (r, s, c, t); may close or delete its socket
// from inside OnRecv.
struct Recorder : public CVNFESocketSink {
    CVNFESocket* socket = nullptr;
    char onRecv = 0;  // c: close the descriptor, d: delete the socket
    Waiter w;
    std::string seen;  // guarded by w

    void Note(char c) {
        w.Update([&] { seen += c; });
    }
    void OnRecv() override {
        Note('r');
        if (onRecv == 'c') socket->Close();
        if (onRecv == 'd') delete socket;
    }
    void OnSend() override { Note('s'); }
    void OnClose() override { Note('c'); }
    void OnTimeout() override { Note('t'); }
    std::string Seen() {
        return w.Read([&] { return seen; });
    }
};

// The report the pump would give for fd (by default the socket's own descriptor).
void Report(CVNFESocket& fe, int events, int fd = -2) {
    fd = fd == -2 ? fe.GetSocket() : fd;
    CVNFESocket::OnPumpEvent(fe.GetFevent(), fd, events, fe.GetProxy());
}

}  // namespace

// Data both ways; every Send, even one that sends nothing, asks for one more write report,
// and only one (write interest is one-shot); the peer's end of stream closes the
// descriptor, then is reported once. A socket with nothing attached fails every call.
TEST(TcpSocket, PassesDataBothWaysReArmsOnEverySendAndReportsTheEndOnce) {
    IOThread io("TcpData");
    pumptest::TcpPair pair;
    Sink sink;
    CVNITCPSocket* s = nullptr;
    std::string got;  // on io
    sink.then = [&](char e) {
        char buf[64];
        int n = e == 'r' ? s->Recv(buf, sizeof(buf)) : 0;
        if (n > 0) got.append(buf, static_cast<size_t>(n));
        EXPECT_TRUE(e != 'x' || s->GetSocket() == -1);  // closed before the sink heard it
    };
    ASSERT_EQ(5, write(pair.client, "hello", 5));
    ASSERT_TRUE(io.Run([&] {
        s = VNCreateTCPSocket();
        s->SetSink(&sink);
        EXPECT_TRUE(s->Attach(pair.server));
        CVNITCPSocket* none = VNCreateTCPSocket();  // nothing attached: nothing breaks
        char buf[4];
        int size = 0;
        EXPECT_EQ((std::vector<int>{-1, -1, -1, -1, -1, -1, 0, -1}),
                  (std::vector<int>{none->GetSocket(), none->Send("abc", 3), none->Send("x", 0),
                                    none->Recv(buf, sizeof(buf)), none->Recv(nullptr, 4),
                                    none->Recv(buf, 0), none->GetUnreadDataLen(), none->Detach()}));
        EXPECT_FALSE(none->SetSendBufSize(4096) || none->GetSendBufSize(&size) ||
                     none->SetRecvBufSize(4096) || none->GetRecvBufSize(&size) ||
                     none->SetNoDelay(true) || none->GetSockName(nullptr, nullptr) ||
                     none->GetPeerName(nullptr, nullptr) || none->SetEvent(VN_EV_READ, false));
        none->Close();  // harmless
        delete none;
    }));
    ASSERT_TRUE(sink.w.WaitFor([&] { return sink.seen == "rs" || sink.seen == "sr"; }));
    ASSERT_TRUE(io.Run([&] {
        EXPECT_EQ("hello", got);
        EXPECT_EQ(5, s->Send("world", 5));
        unsigned int ip = 0;
        EXPECT_TRUE(s->GetPeerName(&ip, nullptr) && s->GetSockName(nullptr, nullptr));
        EXPECT_EQ(Loopback(), ip);
        char buf[4];
        EXPECT_EQ(-1, s->Recv(buf, 4));  // nothing waits (it would block)
    }));
    ASSERT_TRUE(sink.WaitCount('s', 2));
    ASSERT_TRUE(io.Run([&] { EXPECT_EQ(-1, s->Send(nullptr, 4)); }));
    ASSERT_TRUE(sink.WaitCount('s', 3));
    EXPECT_EQ("world", vntest::ReadExact(pair.client, 5));
    pair.CloseClient();
    ASSERT_TRUE(sink.WaitCount('x', 1));
    ASSERT_TRUE(io.Run([&] {
        EXPECT_EQ(0, PumpSize());
        delete s;
    }));
    EXPECT_EQ("ssx", sink.Seen().substr(2));
    pair.server = -1;
}

// Bytes that arrive together with the end of the stream are read first (OnRecv), and
// the end is reported after them, once: readable with a hang-up is not taken for bytes
// waiting, nor for the end while bytes wait.
TEST(TcpSocket, BytesFollowedByTheEndAreReadThenTheEndIsReported) {
    IOThread io("TcpLast");
    pumptest::TcpPair pair;
    Sink sink;
    CVNITCPSocket* s = nullptr;
    std::string got;  // on io
    sink.then = [&](char e) {
        char buf[64];
        int n = e == 'r' ? s->Recv(buf, sizeof(buf)) : 0;
        if (n > 0) got.append(buf, static_cast<size_t>(n));
    };
    ASSERT_EQ(3, write(pair.client, "bye", 3));
    pair.CloseClient();
    ASSERT_TRUE(io.Run([&] {
        s = VNCreateTCPSocket();
        s->SetSink(&sink);
        EXPECT_TRUE(s->Attach(pair.server));
    }));
    ASSERT_TRUE(sink.WaitCount('x', 1));
    ASSERT_TRUE(io.Run([&] {
        EXPECT_EQ("bye", got);
        EXPECT_EQ(-1, s->GetSocket());
        delete s;
    }));
    // Attach also asked for one (one-shot) write report, which may come before or with the
    // bytes.
    std::string seen = sink.Seen();
    EXPECT_EQ(1, std::count(seen.begin(), seen.end(), 's')) << seen;
    seen.erase(std::remove(seen.begin(), seen.end(), 's'), seen.end());
    EXPECT_EQ("rx", seen);
    pair.server = -1;
}

// A listener on any address with a timed wait reports this host's address before Listen
// returns, then each connection once; the wait is renewed (one registration, not a pile of
// them). Each of three connects of one socket succeeds once, on the socket's thread; the
// sink takes the first two streams there, and the third's later reports change nothing.
TEST(TcpConnect, SuccessIsReportedOnceOnTheSocketsThreadAndTheListenerRenewsItsWait) {
    IOThread io("CnnOk");
    Sink ls, cs;
    std::vector<int> accepted, detached;  // touched on io only
    CVNTCPListenSocket* l = nullptr;
    CVNTCPCnnSocket* c = nullptr;
    ls.then = [&](char e) {
        if (e == 'a') accepted.push_back(l->Accept());
    };
    cs.then = [&](char) {
        EXPECT_EQ(io.task()->getthreadid(), vnthread_selfid());
        if (detached.size() < 2) detached.push_back(c->Detach());
    };
    ASSERT_TRUE(io.Run([&] {
        l = new CVNTCPListenSocket;
        l->SetSink(&ls);
        c = new CVNTCPCnnSocket;
        c->SetSink(&cs);
        ASSERT_TRUE(l->Listen(0, 0, 30000, 4));
        EXPECT_EQ("l", ls.Seen());  // reported before Listen returned
        unsigned int ip = 1;
        EXPECT_TRUE(l->GetLocalAddr(&ip, nullptr));
        EXPECT_EQ(vnnet_getlocalip(false), ip);
        EXPECT_EQ(ip, ls.ip);
    }));
    for (size_t i = 1; i <= 3; ++i) {
        ASSERT_TRUE(io.Run([&] { EXPECT_TRUE(c->Connect("127.0.0.1", ls.port, 5000)); }));
        ASSERT_TRUE(cs.WaitCount('c', i));
        ASSERT_TRUE(ls.WaitCount('a', i));
    }
    ASSERT_TRUE(io.Run([&] {
        Report(c->FESocket(), VN_EV_WRITE | VN_EV_TIMEOUT);
        Report(c->FESocket(), VN_EV_ERROR);
        EXPECT_EQ(1, PumpSize());  // only the listener, with one registration
        EXPECT_EQ(2, l->FESocket().GetProxy()->RefCount());
        unsigned short peerPort = 0;
        EXPECT_TRUE(vnsocket_getpeername(detached[1], nullptr, &peerPort));
        EXPECT_EQ(ls.port, peerPort);
        accepted.insert(accepted.end(), detached.begin(), detached.end());
        for (int fd : accepted)
            EXPECT_TRUE(vnsocket_close(fd));
        EXPECT_EQ(-1, l->Accept());  // nothing waits
        l->Close();
        EXPECT_FALSE(l->GetLocalAddr(nullptr, nullptr));
        delete c;
        delete l;
    }));
    EXPECT_EQ("ccc", cs.Seen());
    EXPECT_EQ("laaa", ls.Seen());
}

// A refusal is reported once with reason 1 and the descriptor closed, also where it shows
// up as writable with a pending error; a time-out once with reason 0; attempts that cannot
// start report nothing, and a listener on a taken port fails with no report.
TEST(TcpConnect, RefusedConnectIsReportedOnceWithReasonOne) {
    IOThread io("CnnRefused");
    RefusingPort refusing;
    Sink cs, direct, timedOut, none;
    ASSERT_TRUE(io.Run([&] {
        CVNITCPCnnSocket* c = VNCreateNoneProxyCnnTCPSocket();
        c->SetSink(&none);
        EXPECT_FALSE(c->Connect(nullptr, 80, 1000));  // nothing to resolve
        c->SetSink(&cs);
        EXPECT_TRUE(c->Connect("127.0.0.1", refusing.port, 5000));
        cs.then = [c](char) { delete c; };
        CVNTCPCnnSocket d;
        d.SetSink(&direct);
        ASSERT_TRUE(d.Connect("127.0.0.1", refusing.port, 5000));
        struct pollfd p = {d.FESocket().GetSocket(), POLLOUT, 0};
        ASSERT_EQ(1, poll(&p, 1, kWaitMs));
        ASSERT_TRUE(p.revents & POLLERR);
        Report(d.FESocket(), VN_EV_WRITE);  // as on a platform that signals it so
        EXPECT_EQ(-1, d.FESocket().GetSocket());
        // A time-out ends the attempt: reason 0, the descriptor closed.
        CVNTCPCnnSocket e;
        e.SetSink(&timedOut);
        ASSERT_TRUE(e.Connect("127.0.0.1", refusing.port, 5000));
        Report(e.FESocket(), VN_EV_TIMEOUT);
        EXPECT_EQ(-1, e.FESocket().GetSocket());
        CVNITCPListenSocket* l = VNCreateNoneProxyTCPListenSocket();
        l->SetSink(&none);
        EXPECT_FALSE(l->Listen(Loopback(), refusing.port, VN_TIMEOUT_INFINITE, 4));
        delete l;
    }));
    ASSERT_TRUE(cs.WaitCount('f', 1));
    ASSERT_TRUE(io.Run([&] { EXPECT_EQ(0, PumpSize()); }));  // nothing can report again
    for (Sink* s : {&cs, &direct, &timedOut})
        EXPECT_EQ(s == &timedOut ? "f0" : "f1", s->Seen() + std::to_string(s->reason));
    // Off an I/O thread there is no pump: a connect cannot be watched, so it does not start.
    CVNITCPCnnSocket* c = VNCreateNoneProxyCnnTCPSocket();
    c->SetSink(&none);
    EXPECT_FALSE(c->Connect("127.0.0.1", refusing.port, 1000));
    delete c;
    EXPECT_EQ("", none.Seen());
}

// An adopted listening descriptor (no OnListen) whose timed wait nobody answers is closed,
// and the sink hears OnClose; a listener without a time-out accepts for as long as it lives.
TEST(TcpListen, WaitThatOutlastsTheTimeOutIsReportedAsClose) {
    IOThread io("ListenTimeout");
    Sink ls, ls2;
    CVNITCPListenSocket *l = nullptr, *l2 = nullptr;
    unsigned short port = 0;
    ls2.then = [&](char e) {
        if (e == 'a') vnsocket_close(l2->Accept());
    };
    long long started = iotest::NowUs();
    ASSERT_TRUE(io.Run([&] {
        int fd = vnsocket_create(true, 0);
        ASSERT_TRUE(vnsocket_bind(fd, Loopback(), 0) && vnsocket_listen(fd, 4));
        l = VNCreateNoneProxyTCPListenSocket();
        l->SetSink(&ls);
        EXPECT_FALSE(l->Attach(-1, 500));
        EXPECT_TRUE(l->Attach(fd, 500));
        l2 = VNCreateNoneProxyTCPListenSocket();
        l2->SetSink(&ls2);
        EXPECT_TRUE(l2->Listen(Loopback(), 0, VN_TIMEOUT_INFINITE, 4));
        EXPECT_TRUE(l2->GetLocalAddr(nullptr, &port));
    }));
    for (int i = 1; i <= 2; ++i) {
        close(ConnectBlocking(Loopback(), port));
        ASSERT_TRUE(ls2.WaitCount('a', i));
    }
    ASSERT_TRUE(ls.WaitCount('x', 1));
    EXPECT_LT(iotest::NowUs() - started, 2500000);
    ASSERT_TRUE(io.Run([&] {
        EXPECT_EQ(1, PumpSize());
        EXPECT_FALSE(l->GetLocalAddr(nullptr, nullptr));  // no longer listening
        delete l;
        delete l2;
    }));
    EXPECT_EQ("x", ls.Seen());
    EXPECT_EQ("laa", ls2.Seen());
}

// An error goes alone; a socket deleted inside OnRecv hears nothing more of the report; one
// that closed its descriptor there hears nothing more either, and a report for an old
// descriptor never reaches a new one.
TEST(FESocket, ReportsStopWhenTheSocketIsDeletedOrItsDescriptorChanges) {
    IOThread io("FeGone");
    pumptest::Pair pair, other;
    ASSERT_TRUE(io.Run([&] {
        Recorder rec, rec2;
        CVNFESocket* fe = new CVNFESocket(&rec);
        rec.socket = fe;
        rec.onRecv = 'd';
        pair.Poke();
        fe->Attach(pair.a);
        EXPECT_TRUE(fe->SetEvent(VN_EV_READ | VN_EV_WRITE, false));
        CFEventProxy* proxy = fe->GetProxy();
        proxy->AddRef();  // kept to feed a report after the socket died
        Report(*fe, VN_EV_READ | VN_EV_WRITE | VN_EV_TIMEOUT);
        EXPECT_EQ(nullptr, proxy->m_pSocket);
        CVNFESocket::OnPumpEvent(nullptr, pair.a, VN_EV_ERROR, proxy);  // late: does nothing
        EXPECT_EQ("r", rec.Seen());
        EXPECT_EQ(1, proxy->RefCount());  // ours only: the socket and registration let go
        proxy->Release();
        EXPECT_EQ(0, PumpSize());
        CVNFESocket fe2(&rec2);
        rec2.socket = &fe2;
        rec2.onRecv = 'c';
        other.Poke();
        fe2.Attach(other.a);
        EXPECT_TRUE(fe2.SetEvent(VN_EV_READ | VN_EV_WRITE, false));
        Report(fe2, VN_EV_READ | VN_EV_WRITE);
        fe2.Attach(pair.b);
        Report(fe2, VN_EV_WRITE, pair.b + 1000);
        EXPECT_TRUE(fe2.SetEvent(VN_EV_READ, false));
        Report(fe2, VN_EV_READ | VN_EV_WRITE | VN_EV_ERROR);
        EXPECT_EQ("rc", rec2.Seen());
        EXPECT_EQ(-1, fe2.GetSocket());
    }));
    pair.a = pair.b = other.a = -1;  // closed by the sockets
}
