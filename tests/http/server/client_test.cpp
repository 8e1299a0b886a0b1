// The library's own HTTP client against the server: a download resumed after a cut, a
// form upload, and a redirect answered by Post.
#include <gtest/gtest.h>

#include "http/client/vnhttpclient.h"
#include "server_test_util.h"

namespace srvtest {
namespace {

class Sink : public IHttpClientSink {
public:
    void OnConnecting(IHttpClient*, const vn::strutf16&) override {}
    void OnConnected(IHttpClient*) override {}
    void OnDownloadStart(IHttpClient*, unsigned int, unsigned int) override {}
    void OnProgress(IHttpClient*, unsigned long long, unsigned long long, unsigned int) override {}
    void OnRedirected(IHttpClient*, vn::strutf16&) override {}
    void OnDownloadComplete(IHttpClient*, unsigned int uCode) override {
        m_w.Update([&] { m_codes.push_back(static_cast<int>(uCode)); });
    }
    // The code of the n-th completion, or -1 when it did not come in time.
    int Wait(size_t n) {
        if (!m_w.WaitFor([&] { return m_codes.size() >= n; })) return -1;
        return m_w.Read([&] { return m_codes[n - 1]; });
    }

private:
    iotest::Waiter m_w;
    std::vector<int> m_codes;
};

class HttpServerClient : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        RegisterAll();
        m_task = new CVNTaskBase("ClientNotify", 50, 1);
        m_task->Start();
        m_client = vn_create_httpclient(m_task);
        m_client->SetSink(&m_sink);
        m_client->SetTimeout(3000, 3000, 0);
    }
    void TearDown() override {
        // Deleted on its notification thread, where its sink calls run.
        IHttpClient* c = m_client;
        iotest::RunOn(m_task, [c] { delete c; });
        m_task->Stop();
        m_task->Release();
        Quiesce();
        ServerTest::TearDown();
    }
    vn::strutf16 U(const std::string& s) { return vn::strutf16(s.c_str()); }

    CVNTaskBase* m_task = nullptr;
    IHttpClient* m_client = nullptr;
    Sink m_sink;
};

TEST_F(HttpServerClient, RefusedUploadStillGetsItsAnswer) {
    // The refusal (which says close) goes out while the client still sends 4 MiB (ten times).
    // Closing at once would reset the connection, and the client would take the reset for a close
    // before any answer (3) instead of reading the answer (413: 2).
    std::string body(4 << 20, 'u');
    rec.SetOnRequest([&](const Request& q) { srv->Refuse(q.id, "too big", 413); });
    for (size_t i = 1; i <= 10; ++i) {
        ASSERT_EQ(1, m_client->Upload(U(Url("/up")), body.data(), body.size()));
        EXPECT_EQ(2, m_sink.Wait(i)) << "upload " << i;
        vn::strutf16 head;
        m_client->GetResponseHead(head);
        EXPECT_EQ(0, vn::strutf8(head).find("HTTP/1.1 413 Error"));
    }
}

TEST_F(HttpServerClient, DownloadResumesAfterACut) {
    std::string content(5000, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7);
    std::string src = dir + "/src.bin", dst = dir + "/dst.bin";
    ASSERT_TRUE(vntest::WriteTextFile(src, content));
    rec.SetOnRequest([=](const Request& q) {
        rec.Accepted();
        if (q.head.find("Range:") == std::string::npos) {
            // The whole length announced, half of it sent, then the connection closes.
            vn::strutf8 head(
                "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\nConnection: close\r\n\r\n");
            srv->Post(q.id, head, vn::strutf8(content.data(), 2500), &rec, false);
        } else {
            srv->Accept_SendFile(q.id, src.c_str(), &rec, false);
        }
    });
    // The client reconnects by itself after the cut and asks for the rest.
    m_client->SetTimeout(3000, 3000, 1);
    ASSERT_EQ(1, m_client->Download(U(Url("/dl")), U(dst), nullptr, 1));
    EXPECT_EQ(0, m_sink.Wait(1));
    EXPECT_TRUE(content == vntest::ReadTextFile(dst));
    bool ranged = false;
    for (const Request& r : rec.Requests()) {
        ranged |= r.head.find("Range: bytes=2500-") != std::string::npos;
    }
    EXPECT_TRUE(ranged);
}

TEST_F(HttpServerClient, FormUploadAndRedirectByPost) {
    std::string content(20000, 'f');
    for (size_t i = 0; i < content.size(); i += 3)
        content[i] = static_cast<char>(i);
    std::string src = dir + "/form.bin", dst = dir + "/got.bin";
    ASSERT_TRUE(vntest::WriteTextFile(src, content));
    const std::string moved =
        "HTTP/1.1 302 Found\r\nLocation: " + Url("/new") + "\r\nContent-Length: 0\r\n\r\n";
    rec.SetOnRequest([=](const Request& q) {
        rec.Accepted();
        if (q.head.find("POST") == 0) {
            srv->Accept_RecvFile(q.id, "stored", dst.c_str(), &rec, false);
        } else if (q.head.find("GET /old") == 0) {
            srv->Post(q.id, moved.c_str(), "", &rec, false);
        } else {
            srv->Accept_SendBuf(q.id, "new place", &rec, false);
        }
    });
    ASSERT_EQ(1, m_client->UploadFormData(U(Url("/up")), u"file", U(src)));
    EXPECT_EQ(0, m_sink.Wait(1));
    ASSERT_TRUE(rec.WaitSettled());
    EXPECT_TRUE(content == vntest::ReadTextFile(dst))
        << vntest::ReadTextFile(dst).size() << " bytes stored";

    ASSERT_EQ(1, m_client->Download(U(Url("/old")), nullptr));
    EXPECT_EQ(0, m_sink.Wait(2));
    const void* p = nullptr;
    unsigned int n = 0;
    ASSERT_TRUE(iotest::RunOn(m_task, [&] { m_client->GetDownloadedBuffer(p, n); }));
    EXPECT_EQ("new place", std::string(static_cast<const char*>(p), n));
}

}  // namespace
}  // namespace srvtest
