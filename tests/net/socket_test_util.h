// Helpers of the socket tests: recording sinks whose reports can be waited for from the
// test thread, and loopback addresses and ports chosen by the kernel.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "fevent/vnfevent.h"
#include "fevent/vntaskio.h"
#include "net/vnsocketi.h"
#include "support/external_peer.h"
#include "support/io_thread.h"

namespace socktest {

using iotest::IOThread;
using iotest::kWaitMs;
using iotest::Waiter;

// 127.0.0.1 in network byte order.
inline unsigned int Loopback() {
    return htonl(INADDR_LOOPBACK);
}

using vntest::LoopbackAddr;

// A TCP socket bound to a loopback port but not listening: connects to it are refused, and
// the port stays reserved for as long as the object lives.
struct RefusingPort {
    unsigned short port = 0;
    int fd = vntest::BindLoopback(SOCK_STREAM, &port);
    ~RefusingPort() {
        if (fd >= 0) close(fd);
    }
};

// Records the reports of connecting, listening and stream sockets, one letter each: c
// connected, f connect failed, l listening, a accept, x close, r readable, s writable.
// `then` runs on the socket's thread after the letter was recorded (it may delete the socket).
struct Sink : public CVNITCPCnnSocketSink,
              public CVNITCPListenSocketSink,
              public CVNITCPSocketSink {
    Waiter w;
    std::string seen;     // guarded by w
    int reason = -1;      // of the last OnConnect
    unsigned int ip = 0;  // of OnListen
    unsigned short port = 0;
    std::function<void(char)> then;

    void Note(char c) {
        w.Update([&] { seen += c; });
        if (then) then(c);
    }
    void OnConnect(bool ok, CVNITCPCnnSocket*, int r) override {
        w.Update([&] { reason = r; });
        Note(ok ? 'c' : 'f');
    }
    void OnListen(unsigned int i, unsigned short p, CVNITCPListenSocket*) override {
        w.Update([&] { ip = i, port = p; });
        Note('l');
    }
    void OnAccept(CVNITCPListenSocket*) override { Note('a'); }
    void OnClose(CVNITCPListenSocket*) override { Note('x'); }
    void OnRecv(CVNITCPSocket*) override { Note('r'); }
    void OnSend(CVNITCPSocket*) override { Note('s'); }
    void OnClose(CVNITCPSocket*) override { Note('x'); }
    std::string Seen() {
        return w.Read([&] { return seen; });
    }
    bool WaitCount(char c, size_t n) {
        return w.WaitFor(
            [&] { return static_cast<size_t>(std::count(seen.begin(), seen.end(), c)) >= n; });
    }
};

// Records datagram reports.
struct UdpSink : public CVNIUDPSocketSink {
    struct Datagram {
        std::string data;
        unsigned int ip;
        unsigned short port;
        bool operator==(const Datagram& o) const {
            return data == o.data && ip == o.ip && port == o.port;
        }
    };
    Waiter w;
    int creates = 0;  // guarded by w
    bool createOk = false;
    unsigned int ip = 0;
    unsigned short port = 0;
    std::vector<Datagram> datagrams;

    void OnCreate(bool ok, unsigned int i, unsigned short p, CVNIUDPSocket*) override {
        w.Update([&] { ++creates, createOk = ok, ip = i, port = p; });
    }
    void OnRecv(const char* buf, int len, unsigned int i, unsigned short p,
                CVNIUDPSocket*) override {
        std::string data(buf, static_cast<size_t>(len));
        w.Update([&] { datagrams.push_back(Datagram{data, i, p}); });
    }
    size_t Count() {
        return w.Read([&] { return datagrams.size(); });
    }
    Datagram At(size_t i) {
        return w.Read([&] { return datagrams.at(i); });
    }
};

// One CONNECT through a proxy of the given type on its own I/O thread. On success the report
// detaches the tunnel, as callers do; with deleteInside it deletes the socket there too.
struct ProxyAttempt : public CVNITCPCnnSocketSink {
    IOThread io{"ProxyAttempt"};
    Waiter w;
    int reports = 0;  // guarded by w
    bool ok = false;
    int fd = -1;
    bool deleteInside;
    CVNITCPCnnSocket* socket = nullptr;

    ProxyAttempt(VNProxyType type, unsigned short proxyPort, const char* user, const char* password,
                 const char* host, unsigned short port, unsigned int timeoutMs = 5000,
                 bool deleteInside = false)
        : deleteInside(deleteInside) {
        EXPECT_TRUE(io.Run([&] {
            socket = VNCreateProxyCnnTCPSocket(type, "127.0.0.1", proxyPort, user, password);
            if (socket == nullptr) return;
            socket->SetSink(this);
            socket->Connect(host, port, timeoutMs);
        }));
    }
    ~ProxyAttempt() override {
        if (Fd() >= 0) close(Fd());
        if (!deleteInside) io.Run([&] { delete socket; });
    }
    void OnConnect(bool bOk, CVNITCPCnnSocket* s, int reason) override {
        EXPECT_EQ(0, reason);
        int d = bOk ? s->Detach() : -1;
        if (deleteInside) delete s;
        w.Update([&] { ++reports, ok = bOk, fd = d; });
    }
    // Waits for the report and checks that only one came: a second one would follow the
    // first within the same pump passes, so two round trips of the I/O thread suffice.
    bool Outcome() {
        EXPECT_TRUE(w.WaitFor([&] { return reports >= 1; }));
        io.Run([] {});
        io.Run([] {});
        EXPECT_EQ(1, w.Read([&] { return reports; }));
        return w.Read([&] { return ok; });
    }
    int Fd() {
        return w.Read([&] { return fd; });
    }
};

// A blocking loopback TCP connect; -1 on failure.
inline int ConnectBlocking(unsigned int ip, unsigned short port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa = {AF_INET, htons(port), {ip}, {}};
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0) return fd;
    close(fd);
    return -1;
}

// The number of registrations of the calling I/O thread's pump.
inline int PumpSize() {
    return vnfe_fdsize(CVNTaskIO::GetFevent());
}

}  // namespace socktest
