// Benchmark support: a connected, blocking TCP pair over 127.0.0.1 on a port the kernel
// chose, with Nagle off. Used by the socket benchmarks for their anchors and peers.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

// Connects *a (the connecting end) to *b (the accepted end); aborts when the machine
// cannot give a loopback connection, since no figure would mean anything then.
inline void ConnectLoopbackPair(int* a, int* b) {
    int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    if (l < 0 || bind(l, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || listen(l, 1) != 0 ||
        getsockname(l, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        abort();
    }
    *a = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(*a, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) abort();
    *b = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
    if (*b < 0) abort();
    close(l);
    int one = 1;
    for (int fd : {*a, *b})
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}
