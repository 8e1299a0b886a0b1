// Shared by the HTTP client benchmarks: a sink that counts completions (and can start the
// next GET from inside OnDownloadComplete), a client with its own notification thread, and
// libcurl write callbacks. Header only; every wait is bounded by kWaitSeconds.
#pragma once

#include <stdio.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "http/client/vnhttpclient.h"
#include "task/vntask.h"

namespace benchhttp {

constexpr int kWaitSeconds = 120;

// Counts completions; optionally starts the next GET from inside the sink.
class Sink : public IHttpClientSink {
public:
    void OnConnecting(IHttpClient*, const vn::strutf16&) override {}
    void OnConnected(IHttpClient*) override {}
    void OnDownloadStart(IHttpClient*, unsigned int, unsigned int) override {}
    void OnProgress(IHttpClient*, unsigned long long, unsigned long long, unsigned int) override {}
    void OnRedirected(IHttpClient*, vn::strutf16&) override {}
    void OnDownloadComplete(IHttpClient* c, unsigned int code) override {
        bool again = false;
        {
            std::lock_guard<std::mutex> g(m_mu);
            if (code != 0) {
                ++m_failed;
                m_lastCode = code;
            }
            ++m_done;
            again = m_done < m_target && m_next != nullptr && code == 0;
            if (!again) m_done = m_target;
            if (!again) m_cv.notify_all();
        }
        if (again) c->Download(*m_next, nullptr);
    }
    void Expect(int target, const vn::strutf16* next) {
        std::lock_guard<std::mutex> g(m_mu);
        m_done = 0;
        m_failed = 0;
        m_target = target;
        m_next = next;
    }
    bool Wait() {
        std::unique_lock<std::mutex> l(m_mu);
        return m_cv.wait_for(l, std::chrono::seconds(kWaitSeconds), [&] {
            return m_done >= m_target;
        }) && m_failed == 0;
    }
    unsigned int lastCode() {
        std::lock_guard<std::mutex> g(m_mu);
        return m_lastCode;
    }

private:
    std::mutex m_mu;
    std::condition_variable m_cv;
    int m_done = 0, m_failed = 0, m_target = 0;
    unsigned int m_lastCode = 0;
    const vn::strutf16* m_next = nullptr;
};

struct ClientBox {
    CVNTaskBase* notify = new CVNTaskBase("BenchNotify", 50, 1);
    Sink sink;
    IHttpClient* client;
    ClientBox() {
        notify->Start();
        client = vn_create_httpclient(notify);
        client->SetSink(&sink);
    }
    ~ClientBox() {
        delete client;  // after the last completion: nothing runs on the notification thread
        notify->Stop();
        notify->Release();
    }
    // Why the last request failed, for the benchmark's error line.
    std::string Failure() {
        vn::strutf8 text;
        int tls = client->GetTlsError(text);
        return "result " + std::to_string(sink.lastCode()) + ", tls " + std::to_string(tls) + " " +
               text.c_str();
    }
};

vn::strutf16 U(const std::string& s) {
    return vn::strutf16(vn::strutf8(s.c_str(), static_cast<unsigned>(s.size())));
}

size_t WriteFile(char* p, size_t size, size_t n, void* f) {
    return fwrite(p, size, n, static_cast<FILE*>(f));
}
size_t Discard(char*, size_t size, size_t n, void*) {
    return size * n;
}

}  // namespace benchhttp
