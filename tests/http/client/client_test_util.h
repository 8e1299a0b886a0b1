// Test support for the HTTP client tests: a sink that records every notification under a
// lock, and a client owned by the test with its own notification thread, deleted there.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "http/client/vnhttpclient.h"
#include "support/io_thread.h"
#include "support/proxy_peers.h"

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
    void OnProgress(IHttpClient* c, unsigned long long done, unsigned long long total,
                    unsigned int) override {
        Add("progress " + std::to_string(done) + "/" + std::to_string(total));
        if (onProgress) onProgress(c);
    }
    void OnRedirected(IHttpClient* c, vn::strutf16& url) override {
        Add("redirect " + std::string(vn::strutf8(url).c_str()));
        if (onRedirect) onRedirect(c, url);
    }
    void OnDownloadComplete(IHttpClient* c, unsigned int code) override {
        w.Update([&] {
            codes.push_back(code);
            events.push_back("complete " + std::to_string(code));
        });
        if (onComplete) onComplete(c, code);
    }
    // The code of the n-th completion (~0u when it did not come in time).
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
    bool WaitEvent(const std::string& e) {
        return w.WaitFor(
            [&] { return std::find(events.begin(), events.end(), e) != events.end(); });
    }
    void Add(const std::string& e) {
        w.Update([&] { events.push_back(e); });
    }

    std::function<void(IHttpClient*, unsigned int)> onComplete;
    std::function<void(IHttpClient*, vn::strutf16&)> onRedirect;
    std::function<void(IHttpClient*)> onProgress;
    iotest::Waiter w;

private:
    std::vector<std::string> events;  // guarded by w
    std::vector<unsigned int> codes;  // guarded by w
};

// A client notifying on its own task thread, deleted there.
struct Client {
    iotest::IOThread notify{"Notify"};
    Recorder sink;
    IHttpClient* c = vn_create_httpclient(notify.task());
    Client() { c->SetSink(&sink); }
    ~Client() { Delete(); }
    void Delete() {
        IHttpClient* p = c;
        c = nullptr;
        if (p != nullptr) {
            EXPECT_TRUE(notify.Run([p] { delete p; }));
        }
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
};

// Request heads a scripted peer's thread records, one per connection, for the test to read.
struct Heads {
    std::string Read(int fd) {
        std::string h = vntest::ReadUntil(fd, "\r\n\r\n");
        w.Update([&] { v.push_back(h); });
        return h;
    }
    std::string Get(size_t i) {
        return w.Read([&] { return i < v.size() ? v[i] : std::string(); });
    }
    std::string Line(size_t i) { return Get(i).substr(0, Get(i).find("\r\n")); }
    iotest::Waiter w;
    std::vector<std::string> v;  // guarded by w
};

}  // namespace httptest
