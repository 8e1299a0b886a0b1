// Test support for the embedded HTTP server: a fixture that listens on a kernel-chosen
// port with one recording notify object, a child-process runner for curl and wrk with
// bounded waits, and a blocking loopback client with time-outs. Header only.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "http/server/vnhttpserver.h"
#include "http/server/vnhttpserver_internal.h"
#include "support/external_peer.h"
#include "support/io_thread.h"

namespace srvtest {

using iotest::kWaitMs;

inline CHttpServer* Server() {
    return static_cast<CHttpServer*>(GetHttpServerInstance());
}

// Runs fn on "HttpSvr" and waits for it: also a barrier behind every call posted there.
inline bool OnServer(std::function<void()> fn) {
    return iotest::RunOn(Server()->GetTask(), std::move(fn));
}

// Runs argv (a program from PATH or a path) with stdout collected; stderr is dropped.
// Kills it after timeout_ms. The exit status (-1: killed or did not start).
inline int RunProgram(const std::vector<std::string>& argv, int timeout_ms, std::string* out) {
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 1);
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, 2);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(pipefd[1]);
    if (pid < 0) {
        close(pipefd[0]);
        return -1;
    }
    long long deadline = iotest::NowUs() + static_cast<long long>(timeout_ms) * 1000;
    bool killed = false;
    char buf[65536];
    for (;;) {
        long long left = (deadline - iotest::NowUs()) / 1000;
        if (left <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        struct pollfd p = {pipefd[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        ssize_t n = read(pipefd[0], buf, sizeof(buf));
        if (n <= 0) break;
        if (out != nullptr) out->append(buf, static_cast<size_t>(n));
    }
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (killed || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// A blocking loopback connection with receive and send time-outs.
class Client {
public:
    explicit Client(unsigned short port, int timeout_ms = kWaitMs) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
        struct sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    }
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Send(const std::string& s) {
        return ::send(m_fd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
    }
    // Reads until the stream ends, n bytes arrived or the time-out; what arrived.
    std::string Read(size_t n = static_cast<size_t>(-1)) {
        std::string got;
        char buf[16384];
        while (got.size() < n) {
            size_t want = n - got.size() < sizeof(buf) ? n - got.size() : sizeof(buf);
            ssize_t r = recv(m_fd, buf, want, 0);
            if (r <= 0) {
                // A close with unread bytes in the server's socket arrives as a reset.
                m_eof = r == 0 || errno == ECONNRESET;
                break;
            }
            got.append(buf, static_cast<size_t>(r));
        }
        return got;
    }
    // Reads one answer: its head and the Content-Length bytes behind it.
    std::string ReadAnswer() {
        std::string got;
        while (got.find("\r\n\r\n") == std::string::npos) {
            std::string more = Read(1);
            if (more.empty()) return got;
            got += more;
        }
        size_t at = got.find("Content-Length: ");
        size_t len = at == std::string::npos ? 0 : std::stoul(got.substr(at + 16));
        return got + Read(len);
    }
    bool eof() const { return m_eof; }
    // Whether the peer has closed (or reset) the connection; does not wait.
    bool PeerClosed() {
        char c;
        ssize_t r = recv(m_fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
        return r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }
    void Close() {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
    bool m_eof = false;
};

struct Request {
    unsigned long long id;
    std::string type, head, local, peer;
    unsigned short peerPort;
};
struct Completion {
    unsigned long long id;
    std::string head, data;
    int code;
};

// One object for both notify interfaces. onRequest runs on "HttpSvr" (outside the lock)
// and answers with the server's operations; every answer that names this object as its
// CHttpNotify must be counted with Accepted() so that the fixture waits for it.
class Recorder : public CHttpRequestNotify, public CHttpNotify {
public:
    // The handlers are swapped by the test thread while "HttpSvr" may call them: both
    // sides go through the lock.
    void SetOnRequest(std::function<void(const Request&)> fn) {
        m_w.Update([&] { m_onRequest = std::move(fn); });
    }
    void SetOnComplete(std::function<void(const Completion&)> fn) {
        m_w.Update([&] { m_onComplete = std::move(fn); });
    }

    void OnRequest(unsigned long long uId, const vn::strutf8& strType, const vn::strutf8& strHead,
                   vn::strutf8 strLocalIP, vn::strutf8 strPeerIP,
                   unsigned short uPeerPort) override {
        Request r{uId,
                  std::string(strType.c_str(), strType.length()),
                  std::string(strHead.c_str(), strHead.length()),
                  strLocalIP.c_str(),
                  strPeerIP.c_str(),
                  uPeerPort};
        auto fn = m_w.Read([&] { return m_onRequest; });
        if (fn) fn(r);
        m_w.Update([&] { m_requests.push_back(r); });
    }
    void OnProgress(unsigned long long, unsigned long long, unsigned long long,
                    unsigned int) override {
        m_w.Update([&] { ++m_progress; });
    }
    void OnComplete(unsigned long long uId, const vn::strutf8& strHead, const vn::strutf8& strData,
                    int nCode) override {
        Completion c{uId, std::string(strHead.c_str(), strHead.length()),
                     std::string(strData.c_str(), strData.length()), nCode};
        auto fn = m_w.Read([&] { return m_onComplete; });
        if (fn) fn(c);
        m_w.Update([&] { m_completions.push_back(c); });
    }

    void Accepted() {
        m_w.Update([&] { ++m_accepted; });
    }
    bool WaitRequests(size_t n, int ms = kWaitMs) {
        return m_w.WaitFor([&] { return m_requests.size() >= n; }, ms);
    }
    bool WaitCompletions(size_t n, int ms = kWaitMs) {
        return m_w.WaitFor([&] { return m_completions.size() >= n; }, ms);
    }
    // Every counted answer has completed.
    bool WaitSettled(int ms = kWaitMs) {
        return m_w.WaitFor([&] { return m_completions.size() >= m_accepted; }, ms);
    }
    std::vector<Request> Requests() {
        return m_w.Read([&] { return m_requests; });
    }
    std::vector<Completion> Completions() {
        return m_w.Read([&] { return m_completions; });
    }
    int Progress() {
        return m_w.Read([&] { return m_progress; });
    }

private:
    iotest::Waiter m_w;
    std::function<void(const Request&)> m_onRequest;
    std::function<void(const Completion&)> m_onComplete;
    std::vector<Request> m_requests;
    std::vector<Completion> m_completions;
    size_t m_accepted = 0;
    int m_progress = 0;
};

// Listens on a kernel-chosen port with rec registered for "*.*" (unless a test registers
// its own types); tear-down closes the port and waits until every counted answer has
// completed and "HttpSvr" has run everything queued, so rec is not called afterwards.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        srv = Server();
        ASSERT_TRUE(srv->Listen(0, 0, &port));
        ASSERT_TRUE(WaitListening(true));
        dir = vntest::MakeTempDir("httpsvr");
    }
    void TearDown() override {
        srv->StopListen(port);
        EXPECT_TRUE(WaitListening(false));
        EXPECT_TRUE(rec.WaitSettled());
        EXPECT_TRUE(OnServer([] {}));
        vntest::RemoveTree(dir);
    }
    bool WaitListening(bool on) {
        iotest::Waiter w;
        for (long long end = iotest::NowUs() + kWaitMs * 1000LL; iotest::NowUs() < end;) {
            if (srv->IsListening(port) == on) return true;
            // No event tells when the listen thread took the port: check every 10 ms.
            w.WaitFor([] { return false; }, 10);
        }
        return false;
    }
    // Ends the handlers that capture a test's locals: after it "HttpSvr" has finished
    // every call that could read them.
    void Quiesce() {
        rec.SetOnRequest(nullptr);
        rec.SetOnComplete(nullptr);
        EXPECT_TRUE(OnServer([] {}));
    }
    void RegisterAll() { srv->RegisterRequest("*.*", port, &rec); }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }

    CHttpServer* srv = nullptr;
    unsigned short port = 0;
    std::string dir;
    Recorder rec;
};

}  // namespace srvtest
