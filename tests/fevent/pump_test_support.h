// Test support for the event pump tests: descriptor pairs, a callback recorder and a
// bounded "pump until" loop. Single-threaded, like the pump.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "fevent/vnfevent.h"
#include "support/io_thread.h"

namespace pumptest {

// A pump freed at scope end (not copied).
struct Pump {
    void* p = vnfe_alloc();
    ~Pump() { vnfe_free(p); }
    operator void*() const { return p; }
};

// A connected, non-blocking local stream pair, both ends closed at scope end (not copied).
struct Pair {
    int a = -1;
    int b = -1;
    Pair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) return;
        a = fds[0];
        b = fds[1];
    }
    ~Pair() { CloseA(), CloseB(); }
    void CloseA() { a = (a >= 0 ? close(a) : 0, -1); }
    void CloseB() { b = (b >= 0 ? close(b) : 0, -1); }
    // Makes end a readable by writing to end b.
    void Poke() { ASSERT_EQ(1, write(b, "x", 1)); }
};

// A connected TCP pair over 127.0.0.1 on a port the kernel chose. client is the
// connecting end, server the accepted one; both non-blocking.
struct TcpPair {
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int server = -1;
    TcpPair() {
        int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(sa);
        sockaddr* addr = reinterpret_cast<sockaddr*>(&sa);
        // A blocking connect to a listening loopback port completes from the backlog.
        if (bind(listener, addr, len) == 0 && listen(listener, 1) == 0 &&
            getsockname(listener, addr, &len) == 0 && connect(client, addr, len) == 0) {
            server = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        }
        close(listener);
        fcntl(client, F_SETFL, fcntl(client, F_GETFL) | O_NONBLOCK);
    }
    ~TcpPair() {
        if (client >= 0) CloseClient();
        if (server >= 0) close(server);
    }
    void CloseClient() { client = (close(client), -1); }
};

// Records what the pump reports for the registrations that share it: (fd, events) pairs
// and removed descriptors; the hook runs inside the event callback, after the recording.
struct Recorder {
    std::vector<std::pair<int, int>> events;
    std::vector<int> removed;
    std::function<void(void* pump, int fd)> onEvent;
    long RemovalsFor(int fd) const { return std::count(removed.begin(), removed.end(), fd); }
};

inline void OnEvent(void* pump, int fd, int events, void* user) {
    Recorder* r = static_cast<Recorder*>(user);
    r->events.emplace_back(fd, events);
    if (r->onEvent) r->onEvent(pump, fd);
}
inline void OnRemoved(void*, int fd, void* user) {
    Recorder* r = static_cast<Recorder*>(user);
    r->removed.push_back(fd);
}
// A callback that must never run.
inline void NeverCalled(void*, int fd, int, void*) {
    ADD_FAILURE() << "callback ran for " << fd;
}

// Runs passes until done() holds or timeout_ms have passed; the result of done().
inline bool PumpUntil(void* pump, const std::function<bool()>& done, int timeout_ms = 2000) {
    long long end = iotest::NowUs() + timeout_ms * 1000LL;
    while (!done() && iotest::NowUs() < end)
        vnfe_loop(pump);
    return done();
}

}  // namespace pumptest
