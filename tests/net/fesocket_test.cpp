// CVNFESocket: one proxy reference per registration, one-shot registrations, accept mode,
// and reports that find the socket gone or changed.
#include <gtest/gtest.h>

#include <vector>

#include "fevent/pump_test_support.h"
#include "net/socket_test_util.h"
#include "net/vnfesocket_internal.h"
#include "net/vnnet.h"

using namespace socktest;
using pumptest::Pair;

namespace {

// Records the readiness reports as letters (r, s, c, t); may close or delete its socket
// from inside OnRecv.
struct Recorder : public CVNFESocketSink {
    CVNFESocket* socket = nullptr;
    bool closeOnRecv = false, deleteOnRecv = false;
    Waiter w;
    std::string seen;  // guarded by w

    void Note(char c) {
        w.Update([&] { seen += c; });
    }
    void OnRecv() override {
        Note('r');
        if (closeOnRecv) socket->Close();
        if (deleteOnRecv) delete socket;
    }
    void OnSend() override { Note('s'); }
    void OnClose() override { Note('c'); }
    void OnTimeout() override { Note('t'); }
    std::string Seen() {
        return w.Read([&] { return seen; });
    }
};

// The report the pump would give for fd.
void Report(CVNFESocket& fe, int fd, int events) {
    CVNFESocket::OnPumpEvent(fe.GetFevent(), fd, events, fe.GetProxy());
}

}  // namespace

// Each registration holds one proxy reference, released when it ends; a lasting registration
// replaces the one-shot one and back. Without a descriptor nothing registers; without a
// sink an end-of-stream or error report leaves the descriptor alone.
TEST(FESocket, EachRegistrationHoldsOneProxyReference) {
    IOThread io("FeRefs");
    Pair pair;
    ASSERT_TRUE(io.Run([&] {
        CVNFESocket fe(nullptr);
        EXPECT_FALSE(fe.SetEvent(VN_EV_READ, false) || fe.SetEventOnce(VN_EV_READ, 0) ||
                     fe.Close() || fe.Detach() != -1);
        fe.Attach(pair.a);
        auto state = [&](bool ok) {  // the result, proxy references, registrations, accept mode
            return std::to_string(ok) + std::to_string(fe.GetProxy()->RefCount()) +
                   std::to_string(PumpSize()) + std::to_string(fe.IsAcceptMode());
        };
        EXPECT_EQ("1211", state(fe.SetEvent(VN_EV_ACCEPT, false)));
        EXPECT_EQ("1100", state(fe.SetEvent(VN_EV_ACCEPT, true)));  // nothing left: ended
        EXPECT_EQ("1210", state(fe.SetEvent(VN_EV_READ | VN_EV_WRITE, false)));
        EXPECT_EQ("1211", state(fe.SetEventOnce(VN_EV_ACCEPT, 0)));  // replaces the lasting one
        EXPECT_EQ("1210", state(fe.SetEventOnce(VN_EV_READ, 5000)));
        Report(fe, pair.a, VN_EV_READ);
        Report(fe, pair.a, VN_EV_ERROR);
        EXPECT_EQ(pair.a, fe.GetSocket());
        EXPECT_EQ("1100", state(fe.Detach() == pair.a));
    }));
}

// An error goes alone; a socket deleted inside OnRecv hears nothing more of the report; one
// that closed its descriptor there hears nothing more either, and a report for an old
// descriptor never reaches a new one.
TEST(FESocket, ReportsStopWhenTheSocketIsDeletedOrItsDescriptorChanges) {
    IOThread io("FeGone");
    Pair pair, other;
    ASSERT_TRUE(io.Run([&] {
        Recorder rec, rec2;
        CVNFESocket* fe = new CVNFESocket(&rec);
        rec.socket = fe;
        rec.deleteOnRecv = true;
        pair.Poke();
        fe->Attach(pair.a);
        EXPECT_TRUE(fe->SetEvent(VN_EV_READ | VN_EV_WRITE, false));
        CFEventProxy* proxy = fe->GetProxy();
        proxy->AddRef();  // kept to feed a report after the socket died
        Report(*fe, pair.a, VN_EV_READ | VN_EV_WRITE | VN_EV_TIMEOUT);
        EXPECT_EQ(nullptr, proxy->m_pSocket);
        CVNFESocket::OnPumpEvent(nullptr, pair.a, VN_EV_ERROR, proxy);  // late: does nothing
        EXPECT_EQ("r", rec.Seen());
        EXPECT_EQ(1, proxy->RefCount());  // ours only: the socket and registration let go
        proxy->Release();
        EXPECT_EQ(0, PumpSize());
        CVNFESocket fe2(&rec2);
        rec2.socket = &fe2;
        rec2.closeOnRecv = true;
        other.Poke();
        fe2.Attach(other.a);
        EXPECT_TRUE(fe2.SetEvent(VN_EV_READ | VN_EV_WRITE, false));
        Report(fe2, other.a, VN_EV_READ | VN_EV_WRITE);
        fe2.Attach(pair.b);
        Report(fe2, pair.b + 1000, VN_EV_WRITE);
        EXPECT_TRUE(fe2.SetEvent(VN_EV_READ, false));
        Report(fe2, pair.b, VN_EV_READ | VN_EV_WRITE | VN_EV_ERROR);
        EXPECT_EQ("rc", rec2.Seen());
        EXPECT_EQ(-1, fe2.GetSocket());
    }));
    pair.a = pair.b = other.a = -1;  // closed by the sockets
}
