// Test support for the HTTP client tests: a notification task thread, a sink that records
// every notification under a lock, and a client owned by the test and deleted on its
// notification thread.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "http/client/vnhttpclient.h"
#include "support/io_thread.h"
#include "task/vntask.h"

namespace httptest {

using iotest::kWaitMs;

inline vn::strutf16 U(const std::string& s) {
    return vn::strutf16(vn::strutf8(s.c_str(), static_cast<unsigned>(s.size())));
}

// Records the notifications of one client (they arrive on the notification thread).
class Recorder : public IHttpClientSink {
public:
    void OnConnecting(IHttpClient*, const vn::strutf16&) override { Add("connecting"); }
    void OnConnected(IHttpClient*) override { Add("connected"); }
    void OnDownloadStart(IHttpClient*, unsigned int have, unsigned int len) override {
        Add("start " + std::to_string(have) + "/" + std::to_string(len));
    }
    void OnProgress(IHttpClient*, unsigned long long done, unsigned long long total,
                    unsigned int) override {
        w.Update([&] {
            ++progress;
            lastDone = done;
            lastTotal = total;
        });
    }
    void OnRedirected(IHttpClient* c, vn::strutf16& url) override {
        Add("redirect " + std::string(vn::strutf8(url).c_str()));
        if (onRedirect) onRedirect(c, url);
    }
    void OnDownloadComplete(IHttpClient* c, unsigned int code) override {
        w.Update([&] {
            events.push_back("complete " + std::to_string(code));
            codes.push_back(code);
        });
        if (onComplete) onComplete(c, code);
    }

    // Waits until n completions arrived; the first code (or ~0u on time-out).
    unsigned int WaitCode(size_t n = 1, int ms = kWaitMs) {
        if (!w.WaitFor([&] { return codes.size() >= n; }, ms)) return ~0u;
        return w.Read([&] { return codes[n - 1]; });
    }
    size_t Completions() {
        return w.Read([&] { return codes.size(); });
    }
    std::vector<std::string> Events() {
        return w.Read([&] { return events; });
    }
    int Progress() {
        return w.Read([&] { return progress; });
    }
    bool Has(const std::string& e) {
        for (const std::string& s : Events())
            if (s == e) return true;
        return false;
    }

    std::function<void(IHttpClient*, unsigned int)> onComplete;
    std::function<void(IHttpClient*, vn::strutf16&)> onRedirect;
    iotest::Waiter w;

    // Guarded by w.
    unsigned long long lastDone = 0, lastTotal = 0;

private:
    void Add(const std::string& e) {
        w.Update([&] { events.push_back(e); });
    }
    std::vector<std::string> events;
    std::vector<unsigned int> codes;
    int progress = 0;
};

// A started notification task.
class NotifyThread {
public:
    explicit NotifyThread(const char* name = "Notify") : m_task(new CVNTaskBase(name, 50, 1)) {
        EXPECT_EQ(1, m_task->Start());
    }
    ~NotifyThread() {
        m_task->Stop();
        m_task->Release();
    }
    CVNTaskBase* task() const { return m_task; }
    bool Run(std::function<void()> fn) { return iotest::RunOn(m_task, std::move(fn)); }

private:
    CVNTaskBase* m_task;
};

// A client notifying on its own task thread, deleted there.
struct Client {
    NotifyThread notify;
    Recorder sink;
    IHttpClient* c;
    Client() : c(vn_create_httpclient(notify.task())) { c->SetSink(&sink); }
    ~Client() { Delete(); }
    void Delete() {
        if (c == nullptr) return;
        IHttpClient* p = c;
        c = nullptr;
        EXPECT_TRUE(notify.Run([p] { delete p; }));
    }
    IHttpClient* operator->() { return c; }
    // The memory body after completion (read on the notification thread).
    std::string Buffer() {
        std::string out;
        notify.Run([&] {
            const void* p = nullptr;
            unsigned int n = 0;
            if (c->GetDownloadedBuffer(p, n)) out.assign(static_cast<const char*>(p), n);
        });
        return out;
    }
    std::string Head() {
        std::string out;
        notify.Run([&] {
            vn::strutf16 h;
            c->GetResponseHead(h);
            out = vn::strutf8(h).c_str();
        });
        return out;
    }
};

}  // namespace httptest
