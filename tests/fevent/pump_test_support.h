// Test support for the event pump tests: descriptor pairs, a callback recorder and a
// bounded "pump until" loop. Single-threaded, like the pump.
#pragma once

#include <gtest/gtest.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <vector>

#include "fevent/vnfevent.h"

namespace pumptest {

inline long long now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A pump freed at scope end.
struct Pump {
    void* p = vnfe_alloc();
    Pump() = default;
    Pump(const Pump&) = delete;
    Pump& operator=(const Pump&) = delete;
    ~Pump() { vnfe_free(p); }
    operator void*() const { return p; }
};

// A connected, non-blocking local stream pair, both ends closed at scope end.
struct Pair {
    int a = -1;
    int b = -1;
    Pair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0) {
            a = fds[0];
            b = fds[1];
        }
    }
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;
    ~Pair() {
        CloseA();
        CloseB();
    }
    void CloseA() {
        if (a >= 0) close(a);
        a = -1;
    }
    void CloseB() {
        if (b >= 0) close(b);
        b = -1;
    }
    // Makes end a readable by writing to end b.
    void Poke() { ASSERT_EQ(1, write(b, "x", 1)); }
};

// A connected TCP pair over 127.0.0.1 on a port the kernel chose. client is the
// connecting end, server the accepted one; both non-blocking.
struct TcpPair {
    int client = -1;
    int server = -1;
    TcpPair() {
        int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in sa;
        memset(&sa, 0, sizeof(sa));
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(sa);
        if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
            listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
            if (listener >= 0) close(listener);
            return;
        }
        client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // A blocking connect to a listening loopback port completes from the backlog.
        if (connect(client, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0) {
            server = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        }
        close(listener);
        if (client >= 0) fcntl(client, F_SETFL, fcntl(client, F_GETFL) | O_NONBLOCK);
    }
    TcpPair(const TcpPair&) = delete;
    TcpPair& operator=(const TcpPair&) = delete;
    ~TcpPair() {
        if (client >= 0) close(client);
        if (server >= 0) close(server);
    }
    bool ok() const { return client >= 0 && server >= 0; }
    // Closes the client with a reset instead of an orderly end.
    void ResetClient() {
        struct linger lg;
        lg.l_onoff = 1;
        lg.l_linger = 0;
        setsockopt(client, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
        close(client);
        client = -1;
    }
    void CloseClient() {
        close(client);
        client = -1;
    }
};

// Records what the pump reports for one registration (or several sharing it).
struct Recorder {
    struct Event {
        int fd;
        int events;
    };
    std::vector<Event> events;
    std::vector<int> removed;
    // Runs inside the event callback, after the event was recorded.
    std::function<void(void* pump, int fd, int events)> onEvent;
    // Runs inside the removal callback, after the removal was recorded.
    std::function<void(void* pump, int fd)> onRemoved;

    int EventsFor(int fd) const {
        int n = 0;
        for (const Event& e : events)
            n += (e.fd == fd) ? 1 : 0;
        return n;
    }
    int RemovalsFor(int fd) const {
        int n = 0;
        for (int r : removed)
            n += (r == fd) ? 1 : 0;
        return n;
    }
};

inline void OnEvent(void* pump, int fd, int events, void* user) {
    Recorder* r = static_cast<Recorder*>(user);
    r->events.push_back(Recorder::Event{fd, events});
    if (r->onEvent) r->onEvent(pump, fd, events);
}

inline void OnRemoved(void* pump, int fd, void* user) {
    Recorder* r = static_cast<Recorder*>(user);
    r->removed.push_back(fd);
    if (r->onRemoved) r->onRemoved(pump, fd);
}

// A callback that must never run.
inline void NeverCalled(void*, int fd, int events, void*) {
    ADD_FAILURE() << "event callback must not run (fd " << fd << ", events " << events << ")";
}
inline void NeverRemoved(void*, int fd, void*) {
    ADD_FAILURE() << "removal callback must not run (fd " << fd << ")";
}

// Runs passes until done() holds or timeout_ms have passed; the result of done().
inline bool PumpUntil(void* pump, const std::function<bool()>& done, int timeout_ms) {
    long long end = now_ms() + timeout_ms;
    while (!done()) {
        if (now_ms() > end) return false;
        vnfe_loop(pump);
    }
    return true;
}

}  // namespace pumptest
