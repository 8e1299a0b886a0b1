// Helpers of the socket tests: recording sinks whose reports can be waited for from the
// test thread, and loopback addresses and ports chosen by the kernel.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "fevent/vnfevent.h"
#include "fevent/vntaskio.h"
#include "net/vnsocketi.h"
#include "support/io_thread.h"

namespace socktest {

using iotest::IOThread;
using iotest::kWaitMs;
using iotest::Waiter;

// 127.0.0.1 in network byte order.
inline unsigned int Loopback() {
    return htonl(INADDR_LOOPBACK);
}

// A TCP socket bound to a loopback port but not listening: connects to it are refused, and
// the port stays reserved for as long as the object lives.
struct RefusingPort {
    int fd = -1;
    unsigned short port = 0;
    RefusingPort() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in sa;
        memset(&sa, 0, sizeof(sa));
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = Loopback();
        socklen_t len = sizeof(sa);
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
            port = ntohs(sa.sin_port);
        }
    }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    ~RefusingPort() {
        if (fd >= 0) close(fd);
    }
};

// Records OnConnect reports.
struct ConnSink : public CVNITCPCnnSocketSink {
    struct Report {
        bool ok;
        CVNITCPCnnSocket* socket;
        int reason;
        unsigned tid;
    };
    Waiter w;
    std::vector<Report> reports;  // guarded by w
    // Runs on the socket's thread after the report was recorded.
    std::function<void(bool, CVNITCPCnnSocket*, int)> then;

    void OnConnect(bool ok, CVNITCPCnnSocket* s, int reason) override {
        unsigned tid = vnthread_selfid();
        w.Update([&] { reports.push_back(Report{ok, s, reason, tid}); });
        if (then) then(ok, s, reason);
    }
    size_t Count() {
        return w.Read([&] { return reports.size(); });
    }
    bool WaitCount(size_t n, int ms = kWaitMs) {
        return w.WaitFor([&] { return reports.size() >= n; }, ms);
    }
    Report Get(size_t i) {
        return w.Read([&] { return reports.at(i); });
    }
};

// Records listening-socket reports.
struct ListenSink : public CVNITCPListenSocketSink {
    Waiter w;
    int listens = 0;  // guarded by w
    int accepts = 0;
    int closes = 0;
    unsigned int ip = 0;
    unsigned short port = 0;
    std::function<void(CVNITCPListenSocket*)> onAccept;  // on the socket's thread
    std::function<void(CVNITCPListenSocket*)> onClose;

    void OnListen(unsigned int i, unsigned short p, CVNITCPListenSocket*) override {
        w.Update([&] {
            ++listens;
            ip = i;
            port = p;
        });
    }
    void OnAccept(CVNITCPListenSocket* s) override {
        w.Update([&] { ++accepts; });
        if (onAccept) onAccept(s);
    }
    void OnClose(CVNITCPListenSocket* s) override {
        w.Update([&] { ++closes; });
        if (onClose) onClose(s);
    }
};

// Counts stream reports and runs optional hooks (on the socket's thread) after counting.
struct StreamSink : public CVNITCPSocketSink {
    Waiter w;
    int recvs = 0;  // guarded by w
    int sends = 0;
    int closes = 0;
    int fdAtClose = 0;  // GetSocket() inside OnClose
    std::function<void(CVNITCPSocket*)> onRecv;
    std::function<void(CVNITCPSocket*)> onSend;
    std::function<void(CVNITCPSocket*)> onClose;

    void OnRecv(CVNITCPSocket* s) override {
        w.Update([&] { ++recvs; });
        if (onRecv) onRecv(s);
    }
    void OnSend(CVNITCPSocket* s) override {
        w.Update([&] { ++sends; });
        if (onSend) onSend(s);
    }
    void OnClose(CVNITCPSocket* s) override {
        int fd = s->GetSocket();
        w.Update([&] {
            ++closes;
            fdAtClose = fd;
        });
        if (onClose) onClose(s);
    }
    int Recvs() {
        return w.Read([&] { return recvs; });
    }
    int Sends() {
        return w.Read([&] { return sends; });
    }
    int Closes() {
        return w.Read([&] { return closes; });
    }
};

// Records datagram reports.
struct UdpSink : public CVNIUDPSocketSink {
    struct Datagram {
        std::string data;
        unsigned int ip;
        unsigned short port;
    };
    Waiter w;
    int creates = 0;  // guarded by w
    bool createOk = false;
    unsigned int ip = 0;
    unsigned short port = 0;
    std::vector<Datagram> datagrams;

    void OnCreate(bool ok, unsigned int i, unsigned short p, CVNIUDPSocket*) override {
        w.Update([&] {
            ++creates;
            createOk = ok;
            ip = i;
            port = p;
        });
    }
    void OnRecv(const char* buf, int len, unsigned int i, unsigned short p,
                CVNIUDPSocket*) override {
        std::string data(buf, static_cast<size_t>(len));
        w.Update([&] { datagrams.push_back(Datagram{data, i, p}); });
    }
    size_t Count() {
        return w.Read([&] { return datagrams.size(); });
    }
};

// The number of registrations of the calling I/O thread's pump.
inline int PumpSize() {
    return vnfe_fdsize(CVNTaskIO::GetFevent());
}

}  // namespace socktest
