// Test support: real peer programs from Debian (tinyproxy, danted, nginx, ...) started by a
// test on a free loopback port and stopped, with every child they made, when the object goes
// away; and the small loopback, file and descriptor helpers the peer tests share.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vntest {

// 127.0.0.1:port.
inline sockaddr_in LoopbackAddr(unsigned short port) {
    return sockaddr_in{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
}
// A socket of type (SOCK_STREAM, SOCK_DGRAM) bound to 127.0.0.1 (or [::1]) on a port the
// kernel chose (stored in *port); -1 on failure (for [::1]: a host without IPv6 loopback).
int BindLoopback(int type, unsigned short* port, bool bIPv6 = false);
// A loopback port that was free a moment ago (bound by the kernel, then released).
unsigned short FreeLoopbackPort();
// A fresh private directory under $TMPDIR (or /tmp); removed by RemoveTree.
std::string MakeTempDir(const char* tag);
void RemoveTree(const std::string& dir);
bool WriteTextFile(const std::string& path, const std::string& text);
std::string ReadTextFile(const std::string& path);
// The names in a directory (without "." and ".."), sorted.
std::vector<std::string> ListDir(const std::string& dir);
// Open descriptors of this process (-1 when /proc cannot be read).
int CountOpenDescriptors();
// Checks done() every 2 ms until it holds (true) or ms pass (false), for states that no
// event announces (a peer program listening or ended, a count reaching zero).
bool PollFor(const std::function<bool()>& done, int ms);
// True when path names an executable file.
bool HaveProgram(const std::string& path);

class ExternalPeer {
public:
    // Runs argv[0] with argv in its own process group and waits (at most timeout_ms) until
    // 127.0.0.1:port accepts TCP connections. Null when it did not come up; *why says what
    // happened then. The program is killed too if the calling thread ends first (a test
    // that dies leaves no peer behind), so start peers from the test's own thread.
    static std::unique_ptr<ExternalPeer> Start(const std::vector<std::string>& argv,
                                               unsigned short port, int timeout_ms,
                                               std::string* why);
    ~ExternalPeer();
    ExternalPeer(const ExternalPeer&) = delete;
    ExternalPeer& operator=(const ExternalPeer&) = delete;

    unsigned short port() const { return m_port; }

private:
    ExternalPeer(pid_t pid, unsigned short port) : m_pid(pid), m_port(port) {}
    pid_t m_pid;  // the process group's leader; -1 once it ended
    unsigned short m_port;
};

}  // namespace vntest
