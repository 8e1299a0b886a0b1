// The TLS socket on both ends of a socket pair, on I/O threads: which names a certificate
// answers for (DNS names with and without wildcards, IP entries), bytes OpenSSL holds that
// no readiness report announces (a reader taking a little at a time), and how a stream
// ends (close_notify or not).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <memory>
#include <string>

#include "net/vntlscontext_internal.h"
#include "net/vntlssocket_internal.h"
#include "support/http_peers.h"
#include "support/io_thread.h"
#include "support/tls_pki.h"

namespace {

using iotest::kWaitMs;

// One end's sink: what it read, whether it opened (first OnSend) and how it ended.
struct End : public CVNITCPSocketSink {
    iotest::Waiter w;
    CVNTLSSocket* socket = nullptr;  // owned; made and deleted on the I/O thread
    size_t readSize = 65536;         // bytes per Recv
    std::string toSend;              // sent once the handshake is over
    size_t sent = 0;
    bool closeAfterSend = false;   // Close (close_notify) once everything went
    bool pauseAfterFirst = false;  // read interest off after the first read
    bool paused = false;
    bool open = false, closed = false, clean = false;
    int error = VNTLS_NONE;
    std::string got, errorText;

    void OnRecv(CVNITCPSocket* s) override {
        std::string buf(readSize, '\0');
        int n = s->Recv(&buf[0], static_cast<int>(readSize));
        if (n > 0) w.Update([&] { got.append(buf, 0, static_cast<size_t>(n)); });
        if (pauseAfterFirst && !paused) {
            s->SetEvent(VN_EV_READ, true);
            w.Update([&] { paused = true; });
        }
    }
    void OnSend(CVNITCPSocket* s) override {
        w.Update([&] { open = true; });
        while (sent < toSend.size()) {
            int n = s->Send(toSend.data() + sent, static_cast<int>(toSend.size() - sent));
            if (n <= 0) return;
            sent += static_cast<size_t>(n);
        }
        if (closeAfterSend && !toSend.empty()) {
            closeAfterSend = false;
            s->Close();
        }
    }
    void OnClose(CVNITCPSocket*) override {
        std::string text;
        int e = socket->GetError(&text);
        w.Update([&] {
            closed = true;
            clean = socket->IsCleanClose();
            error = e;
            errorText = text;
        });
    }
    bool WaitOpenOrClosed() {
        return w.WaitFor([&] { return open || closed; });
    }
};

class TlsSocketTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_pki = vntest::TestPki::Make(&s_why); }
    static void TearDownTestSuite() { s_pki.reset(); }
    void SetUp() override { ASSERT_NE(nullptr, s_pki) << s_why; }
    void TearDown() override {
        io.Run([&] {
            delete client->socket;
            delete server->socket;
            client->socket = server->socket = nullptr;
        });
        if (m_serverCtx != nullptr) m_serverCtx->Release();
        if (m_clientCtx != nullptr) m_clientCtx->Release();
        m_serverCtx = m_clientCtx = nullptr;
    }
    // Both ends over a socket pair: the server presents id, the client trusts the test
    // authority and asks for host.
    void Connect(const vntest::TlsIdentity& id, const std::string& host) {
        std::string error;
        m_serverCtx = vn::detail::CTlsContext::NewServer(id.chain.c_str(), id.key.c_str(), &error);
        vn::detail::TlsClientOptions o;
        o.strCaFile = s_pki->caFile;
        m_clientCtx = vn::detail::CTlsContext::NewClient(o, &error);
        ASSERT_TRUE(m_serverCtx != nullptr && m_clientCtx != nullptr) << error;
        int fds[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
        ASSERT_TRUE(io.Run([&] {
            server->socket = new CVNTLSSocket(m_serverCtx, "", 0);
            server->socket->SetSink(server.get());
            client->socket = new CVNTLSSocket(m_clientCtx, host.c_str(), 443);
            client->socket->SetSink(client.get());
            EXPECT_TRUE(server->socket->Attach(fds[0]));
            EXPECT_TRUE(client->socket->Attach(fds[1]));
        }));
    }

    static inline std::unique_ptr<vntest::TestPki> s_pki;
    static inline std::string s_why;
    iotest::IOThread io{"tls"};
    std::unique_ptr<End> client = std::make_unique<End>(), server = std::make_unique<End>();
    vn::detail::CTlsContext* m_serverCtx = nullptr;
    vn::detail::CTlsContext* m_clientCtx = nullptr;
};

}  // namespace

TEST_F(TlsSocketTest, NamesTheCertificateAnswersFor) {
    struct Row {
        const vntest::TlsIdentity vntest::TestPki::*id;
        const char* host;
        bool ok;
    } rows[] = {
        {&vntest::TestPki::good, "localhost", true},
        {&vntest::TestPki::good, "LOCALHOST", true},
        {&vntest::TestPki::good, "127.0.0.1", true},
        {&vntest::TestPki::good, "127.0.0.2", false},
        {&vntest::TestPki::good, "localhost.localdomain", false},
        {&vntest::TestPki::wildcard, "a.vnbase.test", true},
        {&vntest::TestPki::wildcard, "A.Vnbase.Test", true},
        {&vntest::TestPki::wildcard, "a.b.vnbase.test", false},
        {&vntest::TestPki::wildcard, "vnbase.test", false},
        {&vntest::TestPki::wrongIp, "127.0.0.1", false},
        {&vntest::TestPki::wrongIp, "127.0.0.2", true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.host);
        TearDown();
        client = std::make_unique<End>();
        server = std::make_unique<End>();
        Connect((*s_pki).*(r.id), r.host);
        ASSERT_TRUE(client->WaitOpenOrClosed());
        client->w.Read([&] {
            EXPECT_EQ(r.ok, client->open) << client->errorText;
            EXPECT_EQ(r.ok ? VNTLS_NONE : VNTLS_NAME_MISMATCH, client->error);
        });
    }
}

TEST_F(TlsSocketTest, SmallReadsGetEveryByteAndACleanEnd) {
    std::string data = vntest::PatternBytes(300000, 9);
    server->toSend = data;
    server->closeAfterSend = true;
    client->readSize = 100;  // far less than a record: OpenSSL keeps the rest
    Connect(s_pki->good, "localhost");
    ASSERT_TRUE(client->w.WaitFor([&] { return client->closed; }));
    client->w.Read([&] {
        EXPECT_TRUE(data == client->got) << client->got.size();
        EXPECT_TRUE(client->clean);
    });
}

TEST_F(TlsSocketTest, AStreamCutWithoutCloseNotifyIsNotClean) {
    server->toSend = "partial";
    Connect(s_pki->good, "localhost");
    ASSERT_TRUE(client->w.WaitFor([&] { return client->got == "partial"; }));
    // The server's descriptor closes under its TLS session: no close_notify.
    ASSERT_TRUE(io.Run([&] {
        delete server->socket;
        server->socket = nullptr;
    }));
    ASSERT_TRUE(client->w.WaitFor([&] { return client->closed; }));
    client->w.Read([&] { EXPECT_FALSE(client->clean); });
}

TEST_F(TlsSocketTest, BytesHeldWhileNotReadingComeBeforeTheEnd) {
    std::string data = vntest::PatternBytes(3000, 4);
    server->toSend = data;
    client->readSize = 100;
    client->pauseAfterFirst = true;
    Connect(s_pki->good, "localhost");
    // The client took 100 bytes of the record and stopped reading; OpenSSL holds the rest.
    ASSERT_TRUE(client->w.WaitFor([&] { return client->paused; }));
    ASSERT_TRUE(io.Run([&] {
        delete server->socket;
        server->socket = nullptr;
    }));
    // The end has reached the client's descriptor before it reads again.
    int fd = -1;
    ASSERT_TRUE(io.Run([&] { fd = client->socket->GetSocket(); }));
    pollfd p = {fd, POLLRDHUP, 0};
    ASSERT_EQ(1, poll(&p, 1, kWaitMs));
    ASSERT_TRUE(io.Run([&] { client->socket->SetEvent(VN_EV_READ, false); }));
    ASSERT_TRUE(client->w.WaitFor([&] { return client->closed; }));
    client->w.Read([&] {
        EXPECT_TRUE(data == client->got) << client->got.size();
        EXPECT_FALSE(client->clean);
    });
}
