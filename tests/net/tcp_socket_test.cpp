// The connected stream socket: reports passed to the sink, end of stream and errors close
// the descriptor first, one-shot write interest re-armed by every Send, deletion from
// inside a callback, and the pump registration's reference accounting.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "fevent/pump_test_support.h"
#include "net/socket_test_util.h"
#include "net/vnfesocket_internal.h"
#include "net/vnnet.h"
#include "net/vntcpsocket_internal.h"

using namespace socktest;
using pumptest::TcpPair;

namespace {

// Attaches a new stream socket to fd on io's worker; the socket, or null.
CVNITCPSocket* AttachOn(IOThread& io, int fd, CVNITCPSocketSink* sink) {
    CVNITCPSocket* s = nullptr;
    bool ok = io.Run([&] {
        s = VNCreateTCPSocket();
        s->SetSink(sink);
        EXPECT_TRUE(s->Attach(fd));
    });
    return ok ? s : nullptr;
}

void DeleteOn(IOThread& io, CVNITCPSocket* s) {
    ASSERT_TRUE(io.Run([&] { delete s; }));
}

}  // namespace

TEST(TcpSocket, PassesDataBothWays) {
    IOThread io("TcpData");
    TcpPair pair;
    ASSERT_TRUE(pair.ok());
    StreamSink sink;
    std::string got;
    int waiting = -1;
    sink.onRecv = [&](CVNITCPSocket* s) {
        waiting = s->GetUnreadDataLen();
        char buf[64];
        int n = s->Recv(buf, sizeof(buf));
        if (n > 0) got.append(buf, static_cast<size_t>(n));
    };
    ASSERT_EQ(5, write(pair.client, "hello", 5));
    CVNITCPSocket* s = AttachOn(io, pair.server, &sink);
    pair.server = -1;  // the socket owns it now
    ASSERT_NE(nullptr, s);
    ASSERT_TRUE(sink.w.WaitFor([&] { return sink.recvs >= 1 && sink.sends >= 1; }));
    ASSERT_TRUE(io.Run([&] {
        EXPECT_EQ("hello", got);
        EXPECT_EQ(5, waiting);
        EXPECT_EQ(5, s->Send("world", 5));
        unsigned int ip = 0;
        unsigned short port = 0;
        EXPECT_TRUE(s->GetPeerName(&ip, &port));
        EXPECT_EQ(Loopback(), ip);
        unsigned short clientPort = 0;
        EXPECT_TRUE(vnsocket_getsockname(pair.client, nullptr, &clientPort));
        EXPECT_EQ(clientPort, port);
        EXPECT_TRUE(s->GetSockName(&ip, &port));
        EXPECT_EQ(Loopback(), ip);
        EXPECT_TRUE(s->SetNoDelay(true));
        EXPECT_TRUE(s->SetSendBufSize(65536));
        EXPECT_TRUE(s->SetRecvBufSize(65536));
        int size = 0;
        EXPECT_TRUE(s->GetSendBufSize(&size));
        EXPECT_GE(size, 65536);
        EXPECT_TRUE(s->GetRecvBufSize(&size));
        EXPECT_GE(size, 65536);
    }));
    char buf[8] = {0};
    int fl = fcntl(pair.client, F_GETFL);
    fcntl(pair.client, F_SETFL, fl & ~O_NONBLOCK);
    ASSERT_EQ(5, read(pair.client, buf, 5));
    EXPECT_EQ("world", std::string(buf));
    DeleteOn(io, s);
    EXPECT_EQ(0, sink.Closes());  // deleting reports nothing
}

// The peer's end of stream (a zero-byte readable) or reset closes the descriptor, then
// reports OnClose once and nothing else.
TEST(TcpSocket, EndOfStreamOrResetClosesTheDescriptorThenReportsCloseOnce) {
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "end of stream");
        IOThread io("TcpEof");
        TcpPair pair;
        ASSERT_TRUE(pair.ok());
        StreamSink sink;
        sink.onRecv = [](CVNITCPSocket*) { ADD_FAILURE() << "OnRecv for an end of stream"; };
        CVNITCPSocket* s = AttachOn(io, pair.server, &sink);
        pair.server = -1;
        ASSERT_TRUE(sink.w.WaitFor([&] { return sink.sends == 1; }));
        if (reset) {
            pair.ResetClient();
        } else {
            pair.CloseClient();
        }
        ASSERT_TRUE(sink.w.WaitFor([&] { return sink.closes == 1; }));
        ASSERT_TRUE(io.Run([&] {
            EXPECT_EQ(-1, sink.fdAtClose);  // already closed when the sink heard it
            EXPECT_EQ(-1, s->GetSocket());
            EXPECT_EQ(0, PumpSize());
            EXPECT_EQ(0, sink.recvs);
            EXPECT_EQ(1, sink.sends);
            EXPECT_EQ(1, sink.closes);
            delete s;
        }));
    }
}

// Read, write and error in one report: the error goes alone, and nothing reaches the
// socket after its descriptor is closed.
TEST(TcpSocket, ErrorReportIsDispatchedAlone) {
    IOThread io("TcpErrAlone");
    TcpPair pair;
    ASSERT_TRUE(pair.ok());
    ASSERT_EQ(3, write(pair.client, "abc", 3));
    StreamSink sink;
    ASSERT_TRUE(io.Run([&] {
        CVNTCPSocket* s = new CVNTCPSocket;
        s->SetSink(&sink);
        ASSERT_TRUE(s->Attach(pair.server));
        CVNFESocket& fe = s->FESocket();
        // Within this task no pump pass runs: the report below is the first one.
        CVNFESocket::OnPumpEvent(fe.GetFevent(), pair.server,
                                 VN_EV_READ | VN_EV_WRITE | VN_EV_ERROR, fe.GetProxy());
        EXPECT_EQ(0, sink.recvs);
        EXPECT_EQ(0, sink.sends);
        EXPECT_EQ(1, sink.closes);
        EXPECT_EQ(-1, s->GetSocket());
        EXPECT_EQ(0, PumpSize());
        EXPECT_EQ(1, fe.GetProxy()->RefCount());  // the registration's reference is back
        delete s;
    }));
    pair.server = -1;  // closed by the socket
}

// A socket deleted inside OnRecv gets no OnSend from the same report (the sanitizers
// catch any touch of the deleted socket).
TEST(TcpSocket, DeletedInsideOnRecvGetsNoOnSend) {
    IOThread io("TcpDelete");
    TcpPair pair;
    ASSERT_TRUE(pair.ok());
    // Data waits and the socket is writable: the first pass reports both at once.
    ASSERT_EQ(3, write(pair.client, "abc", 3));
    StreamSink sink;
    sink.onRecv = [&](CVNITCPSocket* s) { delete s; };
    sink.onSend = [](CVNITCPSocket*) { ADD_FAILURE() << "OnSend after the socket was deleted"; };
    CVNITCPSocket* s = AttachOn(io, pair.server, &sink);
    pair.server = -1;
    ASSERT_NE(nullptr, s);
    ASSERT_TRUE(sink.w.WaitFor([&] { return sink.recvs == 1; }));
    ASSERT_TRUE(io.Run([&] { EXPECT_EQ(0, PumpSize()); }));
    EXPECT_EQ(0, sink.Sends());
    EXPECT_EQ(0, sink.Closes());
    // The descriptor was closed with the socket, with the data unread: the peer is reset.
    int fl = fcntl(pair.client, F_GETFL);
    fcntl(pair.client, F_SETFL, fl & ~O_NONBLOCK);
    char c;
    EXPECT_EQ(-1, read(pair.client, &c, 1));
    EXPECT_EQ(ECONNRESET, errno);
}

TEST(TcpSocket, EverySendReArmsOneWriteReport) {
    IOThread io("TcpRearm");
    TcpPair pair;
    ASSERT_TRUE(pair.ok());
    StreamSink sink;
    CVNITCPSocket* s = AttachOn(io, pair.server, &sink);
    pair.server = -1;
    ASSERT_TRUE(sink.w.WaitFor([&] { return sink.sends == 1; }));

    int result = 0;
    ASSERT_TRUE(io.Run([&] { result = s->Send("x", 0); }));
    EXPECT_EQ(-1, result);  // nothing sent, but one more OnSend asked for
    ASSERT_TRUE(sink.w.WaitFor([&] { return sink.sends == 2; }));

    ASSERT_TRUE(io.Run([&] { result = s->Send(nullptr, 4); }));
    EXPECT_EQ(-1, result);
    ASSERT_TRUE(sink.w.WaitFor([&] { return sink.sends == 3; }));

    ASSERT_TRUE(io.Run([&] { EXPECT_TRUE(s->SetEvent(VN_EV_WRITE, false)); }));
    ASSERT_TRUE(sink.w.WaitFor([&] { return sink.sends == 4; }));

    // Write interest is one-shot: with nothing asked for, the next report in line is the
    // data the peer sends, and no OnSend comes before it.
    int sendsBefore = sink.Sends();
    ASSERT_EQ(1, write(pair.client, "y", 1));
    sink.onRecv = nullptr;
    ASSERT_TRUE(sink.w.WaitFor([&] { return sink.recvs >= 1; }));
    EXPECT_EQ(sendsBefore, sink.Sends());
    DeleteOn(io, s);
}

TEST(TcpSocket, RemovingAllInterestEndsTheRegistration) {
    IOThread io("TcpUnset");
    TcpPair pair;
    ASSERT_TRUE(pair.ok());
    StreamSink sink;
    CVNTCPSocket* s = nullptr;
    ASSERT_TRUE(io.Run([&] {
        s = new CVNTCPSocket;
        s->SetSink(&sink);
        ASSERT_TRUE(s->Attach(pair.server));
        EXPECT_EQ(2, s->FESocket().GetProxy()->RefCount());
        EXPECT_TRUE(s->SetEvent(VN_EV_READ | VN_EV_WRITE, true));
        EXPECT_EQ(0, PumpSize());
        EXPECT_EQ(1, s->FESocket().GetProxy()->RefCount());
        EXPECT_FALSE(s->SetEvent(VN_EV_READ, true));  // nothing registered any more
        EXPECT_TRUE(s->SetEvent(VN_EV_READ, false));  // a new registration
        EXPECT_EQ(2, s->FESocket().GetProxy()->RefCount());
        EXPECT_TRUE(s->SetEvent(VN_EV_WRITE, false));  // added to it
        EXPECT_EQ(1, PumpSize());
        EXPECT_EQ(2, s->FESocket().GetProxy()->RefCount());
    }));
    pair.server = -1;
    ASSERT_TRUE(sink.w.WaitFor([&] { return sink.sends == 1; }));
    ASSERT_TRUE(io.Run([&] {
        int fd = s->Detach();  // unregistered, still open
        EXPECT_NE(-1, fd);
        EXPECT_EQ(-1, s->GetSocket());
        EXPECT_EQ(0, PumpSize());
        EXPECT_EQ(1, s->FESocket().GetProxy()->RefCount());
        EXPECT_TRUE(s->Attach(fd));  // and back
        EXPECT_EQ(fd, s->GetSocket());
        delete s;
        EXPECT_EQ(0, PumpSize());
    }));
}

TEST(TcpSocket, OperationsWithoutADescriptorFail) {
    IOThread io("TcpNoFd");
    ASSERT_TRUE(io.Run([&] {
        CVNITCPSocket* s = VNCreateTCPSocket();
        char buf[4];
        int size = 0;
        unsigned int ip = 0;
        unsigned short port = 0;
        EXPECT_EQ(-1, s->GetSocket());
        EXPECT_EQ(-1, s->Send("abc", 3));
        EXPECT_EQ(-1, s->Recv(buf, sizeof(buf)));
        EXPECT_EQ(0, s->GetUnreadDataLen());
        EXPECT_FALSE(s->SetSendBufSize(4096));
        EXPECT_FALSE(s->GetSendBufSize(&size));
        EXPECT_FALSE(s->SetRecvBufSize(4096));
        EXPECT_FALSE(s->GetRecvBufSize(&size));
        EXPECT_FALSE(s->SetNoDelay(true));
        EXPECT_FALSE(s->GetSockName(&ip, &port));
        EXPECT_FALSE(s->GetPeerName(&ip, &port));
        EXPECT_FALSE(s->SetEvent(VN_EV_READ, false));
        EXPECT_EQ(-1, s->Detach());
        s->Close();  // harmless
        EXPECT_EQ(0, PumpSize());
        delete s;
    }));
}

TEST(TcpSocket, RecvGuardsAndEndOfStream) {
    IOThread io("TcpRecv");
    TcpPair pair;
    ASSERT_TRUE(pair.ok());
    StreamSink sink;
    CVNITCPSocket* s = AttachOn(io, pair.server, &sink);
    pair.server = -1;
    ASSERT_TRUE(io.Run([&] {
        char buf[4];
        EXPECT_EQ(-1, s->Recv(nullptr, 4));
        EXPECT_EQ(-1, s->Recv(buf, 0));
        EXPECT_EQ(-1, s->Recv(buf, sizeof(buf)));    // nothing waits (would block)
        EXPECT_TRUE(s->SetEvent(VN_EV_READ, true));  // keep the pump out of the way
    }));
    pair.CloseClient();
    ASSERT_TRUE(io.Run([&] {
        char buf[4];
        // The end of the stream reads as 0 (no report comes: read interest was removed).
        int n = -1;
        for (int i = 0; i < 1000 && n != 0; ++i)
            n = s->Recv(buf, sizeof(buf));
        EXPECT_EQ(0, n);
        delete s;
    }));
}

// Off an I/O thread there is no pump: registration fails, nothing else breaks.
TEST(TcpSocket, MadeOffAnIOThreadCannotRegister) {
    TcpPair pair;
    ASSERT_TRUE(pair.ok());
    CVNITCPSocket* s = VNCreateTCPSocket();
    EXPECT_FALSE(s->Attach(pair.server));
    EXPECT_EQ(pair.server, s->GetSocket());
    EXPECT_EQ(3, s->Send("abc", 3));  // still usable as a plain socket
    pair.server = -1;
    delete s;
}
