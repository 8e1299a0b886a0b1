// Test support for the embedded HTTP server: a fixture that listens on a kernel-chosen
// port with one recording notify object, a runner for curl and wrk with a time limit, and a
// blocking loopback client whose every wait is bounded. Header only.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "http/server/vnhttpserver_internal.h"
#include "support/external_peer.h"
#include "support/io_thread.h"
#include "support/proxy_peers.h"

namespace srvtest {

using iotest::kWaitMs;

inline CHttpServer* Server() {
    return static_cast<CHttpServer*>(GetHttpServerInstance());
}

// Runs fn on "HttpSvr" and waits for it: also a barrier behind every call posted there.
inline bool OnServer(std::function<void()> fn) {
    return iotest::RunOn(Server()->GetTask(), std::move(fn));
}

// Runs a program (killed after `seconds`) and collects its standard output; its exit status,
// or -1 when it was killed.
inline int RunProgram(const std::vector<std::string>& argv, int seconds, std::string* out) {
    std::string cmd = "timeout -s KILL " + std::to_string(seconds);
    for (const std::string& a : argv)
        cmd += " '" + a + "'";
    FILE* p = popen((cmd + " 2>/dev/null").c_str(), "r");
    if (p == nullptr) return -1;
    char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof(buf), p)) > 0;)
        out->append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) && WEXITSTATUS(status) != 137 ? WEXITSTATUS(status) : -1;
}

// A blocking loopback connection; each read waits at most 5 s for its next bytes.
class Client {
public:
    explicit Client(unsigned short port) : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    }
    ~Client() { close(m_fd); }
    bool Send(const std::string& s) { return vntest::SendAll(m_fd, s); }
    // Ends the sending side: the server reads the end of the stream after what was sent.
    void EndSending() { shutdown(m_fd, SHUT_WR); }
    // What arrives until the server closes.
    std::string ReadAll() { return vntest::ReadExact(m_fd, std::string::npos); }
    // One answer head alone (the answer to a HEAD request).
    std::string ReadHead() { return vntest::ReadUntil(m_fd, "\r\n\r\n"); }
    // One answer: its head and the Content-Length bytes behind it.
    std::string ReadAnswer() {
        std::string head = ReadHead();
        size_t at = head.find("Content-Length: ");
        if (at == std::string::npos) return head;
        return head + vntest::ReadExact(m_fd, std::stoul(head.substr(at + 16)));
    }
    // Whether the server has closed (or reset) the connection; does not wait.
    bool Closed() {
        char c;
        ssize_t r = recv(m_fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
        return r == 0 || (r < 0 && errno != EAGAIN);
    }

private:
    int m_fd;
};

// A request (data: the peer's address) or a completion as the caller heard of it.
struct Event {
    unsigned long long id;
    std::string head, data;
    int code;
};

// One object for both notify interfaces. onRequest runs on "HttpSvr" and answers with the
// server's operations; every answer that names this object as its CHttpNotify must be
// counted with Accepted() so that the fixture waits for its completion.
class Recorder : public CHttpRequestNotify, public CHttpNotify {
public:
    // The test thread swaps the handlers while "HttpSvr" may call them: both use the lock.
    void SetOnRequest(std::function<void(const Event&)> fn) {
        m_w.Update([&] { m_onRequest = std::move(fn); });
    }
    void SetOnComplete(std::function<void(const Event&)> fn) {
        m_w.Update([&] { m_onComplete = std::move(fn); });
    }
    void OnRequest(unsigned long long uId, const vn::strutf8&, const vn::strutf8& strHead,
                   vn::strutf8, vn::strutf8 strPeerIP, unsigned short) override {
        Event r{uId, std::string(strHead.c_str(), strHead.length()), strPeerIP.c_str(), 0};
        auto fn = m_w.Read([&] { return m_onRequest; });
        if (fn) fn(r);
        m_w.Update([&] { m_requests.push_back(r); });
    }
    void OnProgress(unsigned long long, unsigned long long, unsigned long long,
                    unsigned int) override {}
    void OnComplete(unsigned long long uId, const vn::strutf8& strHead, const vn::strutf8& strData,
                    int nCode) override {
        Event c{uId, std::string(strHead.c_str(), strHead.length()),
                std::string(strData.c_str(), strData.length()), nCode};
        auto fn = m_w.Read([&] { return m_onComplete; });
        if (fn) fn(c);
        m_w.Update([&] { m_completions.push_back(c); });
    }
    void Accepted() {
        m_w.Update([&] { ++m_accepted; });
    }
    bool WaitRequests(size_t n) {
        return m_w.WaitFor([&] { return m_requests.size() >= n; });
    }
    bool WaitCompletions(size_t n) {
        return m_w.WaitFor([&] { return m_completions.size() >= n; });
    }
    // Every counted answer has completed.
    bool WaitSettled() {
        return m_w.WaitFor([&] { return m_completions.size() >= m_accepted; });
    }
    std::vector<Event> Requests() {
        return m_w.Read([&] { return m_requests; });
    }
    std::vector<Event> Completions() {
        return m_w.Read([&] { return m_completions; });
    }

private:
    iotest::Waiter m_w;
    std::function<void(const Event&)> m_onRequest;
    std::function<void(const Event&)> m_onComplete;
    std::vector<Event> m_requests;
    std::vector<Event> m_completions;
    size_t m_accepted = 0;
};

// Listens on a kernel-chosen port; tear-down closes the port and waits until every counted
// answer has completed and "HttpSvr" has run everything queued, so rec is not called
// afterwards.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(srv->Listen(0, 0, &port));
        ASSERT_TRUE(WaitListening(true));
    }
    void TearDown() override {
        srv->StopListen(port);
        EXPECT_TRUE(WaitListening(false));
        EXPECT_TRUE(rec.WaitSettled());
        Quiesce();
        vntest::RemoveTree(dir);
    }
    // No event tells when the listen thread took or dropped the port.
    bool WaitListening(bool on) {
        return vntest::PollFor([&] { return srv->IsListening(port) == on; }, kWaitMs);
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

    CHttpServer* srv = Server();
    unsigned short port = 0;
    std::string dir = vntest::MakeTempDir("httpsvr");
    Recorder rec;
};

}  // namespace srvtest
