// Test support for the proxy clients: the real proxies (tinyproxy for HTTP CONNECT, danted
// and microsocks for SOCKS5) on free loopback ports, and a scripted TCP peer with bounded
// blocking I/O helpers for what a real proxy will not do on demand. A scripted peer serves
// on its own std::thread; its destructor joins it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "support/external_peer.h"

namespace vntest {

// A running proxy program with its private directory (config, log, pid file).
struct ProxyPeer {
    std::unique_ptr<ExternalPeer> peer;
    std::string dir;
    unsigned short port = 0;
    ~ProxyPeer();
};

// tinyproxy on 127.0.0.1; with user non-null it demands Basic credentials. Null when it
// did not come up (a few ports are tried); *why says why.
std::unique_ptr<ProxyPeer> StartTinyproxy(const char* user, const char* password, std::string* why);

// A SOCKS5 proxy on 127.0.0.1: danted without authentication (CONNECT, BIND and UDP
// ASSOCIATE allowed from loopback), or with bUsername microsocks demanding kSocksUser /
// kSocksPassword (CONNECT only; it keeps its own credentials, no system account).
std::unique_ptr<ProxyPeer> StartSocks5(bool bUsername, std::string* why);
inline const char kSocksUser[] = "vnbaseproxy", kSocksPassword[] = "vnbase-secret";

// A scripted TCP peer on a loopback port (127.0.0.1, or ::1 with bIPv6): serves up to
// `connections` accepted connections one after the other with script(fd, index) on its own
// thread (blocking descriptor, no Nagle delay, so each write of the script leaves as its own
// segment), then stops. The destructor waits for it (each helper below is bounded).
class ScriptedPeer {
public:
    using Script = std::function<void(int fd, int index)>;
    ScriptedPeer(int connections, Script script, bool bIPv6 = false);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;
    unsigned short port() const { return m_port; }
    // Connections accepted so far.
    int accepted() const { return m_accepted; }

private:
    int m_fd = -1;
    unsigned short m_port = 0;
    std::atomic<int> m_accepted{0};
    std::thread m_thread;
};

// Bounded blocking I/O for scripts and detached tunnels (each wait at most timeout_ms).
// Reads exactly n bytes (fewer when the peer closes or the time runs out).
std::string ReadExact(int fd, size_t n, int timeout_ms = 5000);
// Reads until the text ends with terminator (or close, time-out, 64 KiB).
std::string ReadUntil(int fd, const std::string& terminator, int timeout_ms = 5000);
bool SendAll(int fd, const std::string& data);
// Waits until the peer closes (true) or timeout_ms passes (false); discards what arrives.
bool WaitPeerClose(int fd, int timeout_ms = 5000);
// A script that sends back every byte until the client closes.
void EchoUntilClose(int fd, int index);
// Sends data and reads as many bytes back: the text read (shorter on close or time-out).
std::string EchoRoundTrip(int fd, const std::string& data);

}  // namespace vntest
