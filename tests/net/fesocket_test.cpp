// CVNFESocket: registration bookkeeping (one proxy reference per registration), one-shot
// registrations, accept mode, and reports that find the socket gone or changed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "fevent/pump_test_support.h"
#include "net/socket_test_util.h"
#include "net/vnfesocket_internal.h"
#include "net/vnnet.h"

using namespace socktest;
using pumptest::Pair;

namespace {

// Records the readiness reports; may delete or close its socket from inside one.
struct Recorder : public CVNFESocketSink {
    CVNFESocket* socket = nullptr;
    std::vector<char> seen;  // 'r', 's', 'c', 't' in order
    bool deleteOnRecv = false;
    bool closeOnRecv = false;
    void OnRecv() override {
        seen.push_back('r');
        if (closeOnRecv) socket->Close();
        if (deleteOnRecv) {
            delete socket;
            socket = nullptr;
        }
    }
    void OnSend() override { seen.push_back('s'); }
    void OnClose() override { seen.push_back('c'); }
    void OnTimeout() override { seen.push_back('t'); }
};

}  // namespace

TEST(FESocket, OneShotTimeOutIsReported) {
    IOThread io("FeTimeout");
    Pair pair;
    CVNFESocket* fe = nullptr;
    Waiter w;
    bool done = false;
    struct TimeoutSink : public Recorder {
        Waiter* w;
        bool* done;
        void OnTimeout() override {
            Recorder::OnTimeout();
            w->Update([&] { *done = true; });
        }
    } sink;
    sink.w = &w;
    sink.done = &done;
    ASSERT_TRUE(io.Run([&] {
        fe = new CVNFESocket(&sink);
        fe->Attach(pair.a);
        EXPECT_TRUE(fe->SetEventOnce(VN_EV_READ, 1));  // under a second: the next idle pass
    }));
    ASSERT_TRUE(w.WaitFor([&] { return done; }));
    ASSERT_TRUE(io.Run([&] {
        EXPECT_EQ(std::vector<char>{'t'}, sink.seen);
        EXPECT_EQ(0, PumpSize());  // the time-out ended the registration
        EXPECT_EQ(1, fe->GetProxy()->RefCount());
        EXPECT_EQ(pair.a, fe->GetSocket());  // still open: the owner decides
        delete fe;
    }));
    pair.a = -1;
}

TEST(FESocket, ReportsStopWhenTheSocketIsDeletedOrItsDescriptorChanges) {
    IOThread io("FeGone");
    Pair pair;
    Pair other;
    ASSERT_TRUE(io.Run([&] {
        // Deleted inside OnRecv: the write and time-out parts of the report are dropped.
        {
            Recorder rec;
            CVNFESocket* fe = new CVNFESocket(&rec);
            rec.socket = fe;
            rec.deleteOnRecv = true;
            pair.Poke();
            fe->Attach(pair.a);
            EXPECT_TRUE(fe->SetEvent(VN_EV_READ | VN_EV_WRITE, false));
            CFEventProxy* proxy = fe->GetProxy();
            void* pump = fe->GetFevent();
            proxy->AddRef();  // keep it to feed a report after the socket died
            CVNFESocket::OnPumpEvent(pump, pair.a, VN_EV_READ | VN_EV_WRITE | VN_EV_TIMEOUT, proxy);
            EXPECT_EQ(std::vector<char>{'r'}, rec.seen);
            EXPECT_EQ(nullptr, proxy->m_pSocket);
            // A late report for the dead socket does nothing.
            CVNFESocket::OnPumpEvent(pump, pair.a, VN_EV_ERROR, proxy);
            EXPECT_EQ(1u, rec.seen.size());
            EXPECT_EQ(1, proxy->RefCount());  // ours only: the socket and registration let go
            proxy->Release();
            pair.a = -1;
            EXPECT_EQ(0, PumpSize());
        }
        // Closed inside OnRecv: the rest of the report is for a descriptor it no longer
        // holds, and a report for an old descriptor never reaches a new one.
        {
            Recorder rec;
            CVNFESocket fe(&rec);
            rec.socket = &fe;
            rec.closeOnRecv = true;
            other.Poke();
            fe.Attach(other.a);
            EXPECT_TRUE(fe.SetEvent(VN_EV_READ | VN_EV_WRITE, false));
            int oldFd = other.a;
            CVNFESocket::OnPumpEvent(fe.GetFevent(), oldFd, VN_EV_READ | VN_EV_WRITE,
                                     fe.GetProxy());
            EXPECT_EQ(std::vector<char>{'r'}, rec.seen);
            other.a = -1;
            int fresh = vnsocket_create(true, 0);
            fe.Attach(fresh);
            CVNFESocket::OnPumpEvent(fe.GetFevent(), fresh + 1000, VN_EV_WRITE, fe.GetProxy());
            EXPECT_EQ(1u, rec.seen.size());
        }
    }));
}

TEST(FESocket, EachRegistrationHoldsOneProxyReference) {
    IOThread io("FeRefs");
    Pair pair;
    ASSERT_TRUE(io.Run([&] {
        Recorder rec;
        CVNFESocket fe(&rec);
        CFEventProxy* proxy = fe.GetProxy();
        EXPECT_EQ(CVNTaskIO::GetFevent(), fe.GetFevent());
        EXPECT_EQ(1, proxy->RefCount());
        EXPECT_FALSE(fe.SetEvent(VN_EV_READ, false));  // no descriptor
        EXPECT_FALSE(fe.SetEventOnce(VN_EV_READ, 0));
        EXPECT_FALSE(fe.Close());
        EXPECT_EQ(-1, fe.Detach());

        fe.Attach(pair.a);
        EXPECT_EQ(0, PumpSize());  // Attach registers nothing
        EXPECT_TRUE(fe.SetEvent(VN_EV_READ, false));
        EXPECT_EQ(2, proxy->RefCount());
        EXPECT_TRUE(fe.SetEvent(VN_EV_WRITE, false));  // same registration
        EXPECT_EQ(2, proxy->RefCount());
        // A one-shot registration replaces the lasting one.
        EXPECT_TRUE(fe.SetEventOnce(VN_EV_READ, 5000));
        EXPECT_EQ(2, proxy->RefCount());
        EXPECT_EQ(1, PumpSize());
        EXPECT_TRUE(fe.SetEventOnce(VN_EV_READ | VN_EV_WRITE, 0));
        EXPECT_EQ(2, proxy->RefCount());
        EXPECT_EQ(pair.a, fe.Detach());
        EXPECT_EQ(1, proxy->RefCount());
        EXPECT_EQ(0, PumpSize());
        fe.Attach(pair.a);
        EXPECT_TRUE(fe.SetEvent(VN_EV_READ, false));
        EXPECT_TRUE(fe.Close());
        EXPECT_EQ(1, proxy->RefCount());
        EXPECT_EQ(-1, fe.GetSocket());
    }));
    pair.a = -1;  // closed by the socket
}

TEST(FESocket, HoldsItsTaskForItsWholeLife) {
    CVNTaskIO* task = new CVNTaskIO("FeTask", 50, 1);
    ASSERT_EQ(1, task->Start());
    CVNFESocket* fe = nullptr;
    ASSERT_TRUE(iotest::RunOn(task, [&] { fe = new CVNFESocket(nullptr); }));
    int withSocket = task->RefCount();
    ASSERT_TRUE(iotest::RunOn(task, [&] { delete fe; }));
    EXPECT_EQ(withSocket - 1, task->RefCount());
    task->Stop();
    task->Release();
}

TEST(FESocket, AcceptModeFollowsTheLastRegistration) {
    IOThread io("FeAccept");
    Pair pair;
    ASSERT_TRUE(io.Run([&] {
        Recorder rec;
        CVNFESocket fe(&rec);
        fe.Attach(pair.a);
        EXPECT_TRUE(fe.SetEvent(VN_EV_ACCEPT, false));
        EXPECT_TRUE(fe.IsAcceptMode());
        EXPECT_TRUE(fe.SetEvent(VN_EV_ACCEPT, true));
        EXPECT_FALSE(fe.IsAcceptMode());
        EXPECT_EQ(0, PumpSize());
        EXPECT_TRUE(fe.SetEventOnce(VN_EV_ACCEPT, 0));
        EXPECT_TRUE(fe.IsAcceptMode());
        EXPECT_TRUE(fe.SetEventOnce(VN_EV_READ, 0));
        EXPECT_FALSE(fe.IsAcceptMode());
        // In accept mode a readable report is a waiting connection, even with no bytes.
        EXPECT_TRUE(fe.SetEventOnce(VN_EV_ACCEPT, 0));
        CVNFESocket::OnPumpEvent(fe.GetFevent(), pair.a, VN_EV_READ, fe.GetProxy());
        EXPECT_EQ(std::vector<char>{'r'}, rec.seen);
        EXPECT_EQ(pair.a, fe.GetSocket());
    }));
    pair.a = -1;
}

TEST(FESocket, NoSinkNoDispatch) {
    IOThread io("FeNoSink");
    Pair pair;
    ASSERT_TRUE(io.Run([&] {
        CVNFESocket fe(nullptr);
        fe.Attach(pair.a);
        EXPECT_TRUE(fe.SetEvent(VN_EV_READ, false));
        // An end-of-stream or error report without a sink leaves the descriptor alone.
        CVNFESocket::OnPumpEvent(fe.GetFevent(), pair.a, VN_EV_READ, fe.GetProxy());
        CVNFESocket::OnPumpEvent(fe.GetFevent(), pair.a, VN_EV_ERROR, fe.GetProxy());
        EXPECT_EQ(pair.a, fe.GetSocket());
    }));
    pair.a = -1;
}

// A registration the pump refuses (it is full) takes no reference and reports false; a
// connect that cannot be registered does not start.
TEST(FESocket, FullPumpRefusesAndGivesTheReferenceBack) {
    IOThread io("FeFull");
    std::vector<int> fds;
    Pair pair;
    RefusingPort refusing;
    ConnSink cs;
    ASSERT_TRUE(io.Run([&] {
        void* pump = CVNTaskIO::GetFevent();
        while (vnfe_fdsize(pump) < VN_FE_CAPACITY) {
            int fd = vnsocket_create(false, 0);
            ASSERT_NE(-1, fd);
            fds.push_back(fd);
            ASSERT_EQ(0, vnfe_add(pump, fd, VN_EV_READ, VN_EV_READ, pumptest::NeverCalled, nullptr,
                                  nullptr));
        }
        Recorder rec;
        CVNFESocket fe(&rec);
        fe.Attach(pair.a);
        EXPECT_FALSE(fe.SetEvent(VN_EV_READ, false));
        EXPECT_EQ(1, fe.GetProxy()->RefCount());
        EXPECT_FALSE(fe.SetEventOnce(VN_EV_READ, 0));
        EXPECT_EQ(1, fe.GetProxy()->RefCount());
        fe.Detach();

        CVNITCPCnnSocket* c = VNCreateNoneProxyCnnTCPSocket();
        c->SetSink(&cs);
        EXPECT_FALSE(c->Connect("127.0.0.1", refusing.port, 1000));
        EXPECT_EQ(-1, c->Detach());
        delete c;
        for (int fd : fds) {
            vnfe_unset(pump, fd, 0xFF);
            vnsocket_close(fd);
        }
    }));
    EXPECT_EQ(0u, cs.Count());
}
