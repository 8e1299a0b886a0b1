// The demonstration of vnbase: two named I/O task threads exchange messages over a
// loopback TCP connection, a timer ticks on a third task thread, and every line reaches
// the terminal through the application's output hook. Run it with scripts/demo.sh.
//
// Threads: "Server" owns the listening socket and the accepted stream; "Client" owns the
// connecting socket and its stream; "Ticker" owns the timer. main() only starts and stops
// them and waits for the exchange to finish.
//
// With arguments "http|socks5 HOST PORT [USER PASSWORD]" the client connects through that
// proxy (the process-wide proxy settings, which VNCreateCnnTCPSocket follows).
#include <stdio.h>
#include <string.h>

#include <mutex>

#include "vnbase.h"

namespace {

std::mutex g_print;

// The application's output hook: the library never writes anywhere itself.
void print_line(int, const char*, int, const char* text, int) {
    std::lock_guard<std::mutex> guard(g_print);
    printf("%s\n", text);
    fflush(stdout);
}

const int kRounds = 5;

// Server side, on "Server": accepts one connection and answers each "ping N" with "pong N".
class Server : public CVNITCPListenSocketSink, public CVNITCPSocketSink {
public:
    CVNEvent m_listening{1, 0};
    unsigned short m_port = 0;  // written on "Server" before m_listening is posted

    void Start() {
        m_pListen = VNCreateNoneProxyTCPListenSocket();
        m_pListen->SetSink(this);
        if (!m_pListen->Listen(vnnet_strtoip("127.0.0.1"), 0, 0xFFFFFFFF, 5)) {
            syslog(1, "demo", __LINE__, "listen failed");
        }
    }
    void Shutdown() {
        delete m_pStream;
        delete m_pListen;
        m_pStream = nullptr;
        m_pListen = nullptr;
    }

    void OnListen(unsigned int, unsigned short port, CVNITCPListenSocket*) override {
        m_port = port;
        syslog(3, "demo", __LINE__, "listening on 127.0.0.1:%u", port);
        m_listening.Post();
    }
    void OnAccept(CVNITCPListenSocket* listen) override {
        int fd = listen->Accept();
        if (fd < 0 || m_pStream != nullptr) {
            if (fd >= 0) vnsocket_close(fd);
            return;
        }
        m_pStream = VNCreateTCPSocket();
        m_pStream->SetSink(this);
        m_pStream->Attach(fd);
        syslog(3, "demo", __LINE__, "accepted a connection");
    }
    void OnClose(CVNITCPListenSocket*) override {}

    void OnRecv(CVNITCPSocket* s) override {
        char buf[64];
        int n = s->Recv(buf, sizeof(buf) - 1);
        if (n <= 0) return;
        buf[n] = '\0';
        syslog(3, "demo", __LINE__, "received \"%s\"", buf);
        if (strncmp(buf, "ping ", 5) == 0) {
            char reply[64];
            int len = snprintf(reply, sizeof(reply), "pong %s", buf + 5);
            s->Send(reply, len);
        }
    }
    void OnSend(CVNITCPSocket*) override {}
    void OnClose(CVNITCPSocket*) override { syslog(3, "demo", __LINE__, "client went away"); }

private:
    CVNITCPListenSocket* m_pListen = nullptr;  // owned, on "Server"
    CVNITCPSocket* m_pStream = nullptr;        // owned, on "Server"
};

// Client side, on "Client": connects, sends "ping 1".."ping 5", one per answer.
class Client : public CVNITCPCnnSocketSink, public CVNITCPSocketSink {
public:
    CVNEvent m_done{1, 0};

    void Connect(unsigned short port) {
        m_pCnn = VNCreateCnnTCPSocket();  // direct, or through the configured proxy
        if (m_pCnn == nullptr) {
            syslog(1, "demo", __LINE__, "no socket for the configured proxy");
            m_done.Post();
            return;
        }
        m_pCnn->SetSink(this);
        if (!m_pCnn->Connect("127.0.0.1", port, 3000)) {
            syslog(1, "demo", __LINE__, "connect did not start");
            m_done.Post();
        }
    }
    void Shutdown() {
        delete m_pStream;
        delete m_pCnn;
        m_pStream = nullptr;
        m_pCnn = nullptr;
    }

    void OnConnect(bool ok, CVNITCPCnnSocket* cnn, int reason) override {
        syslog(3, "demo", __LINE__, "connect %s (reason %d)", ok ? "succeeded" : "failed", reason);
        if (!ok) {
            m_done.Post();
            return;
        }
        m_pStream = VNCreateTCPSocket();
        m_pStream->SetSink(this);
        m_pStream->Attach(cnn->Detach());
        SendPing();
    }
    void OnRecv(CVNITCPSocket* s) override {
        char buf[64];
        int n = s->Recv(buf, sizeof(buf) - 1);
        if (n <= 0) return;
        buf[n] = '\0';
        syslog(3, "demo", __LINE__, "received \"%s\"", buf);
        if (m_nSent < kRounds) {
            SendPing();
        } else {
            m_done.Post();
        }
    }
    void OnSend(CVNITCPSocket*) override {}
    void OnClose(CVNITCPSocket*) override {
        syslog(2, "demo", __LINE__, "server closed the connection");
        m_done.Post();
    }

private:
    void SendPing() {
        char msg[32];
        int len = snprintf(msg, sizeof(msg), "ping %d", ++m_nSent);
        m_pStream->Send(msg, len);
    }

    CVNITCPCnnSocket* m_pCnn = nullptr;  // owned, on "Client"
    CVNITCPSocket* m_pStream = nullptr;  // owned, on "Client"
    int m_nSent = 0;
};

// A timer on "Ticker": logs every 20 ms until stopped; m_ticked is posted at the third.
class Ticker : public CVNTimer {
public:
    CVNEvent m_ticked{1, 0};
    void OnTimer(unsigned int id) override {
        syslog(3, "demo", __LINE__, "timer %u fired (%d)", id, ++m_nTicks);
        if (m_nTicks == 3) m_ticked.Post();
    }

private:
    int m_nTicks = 0;
};

// Runs fn on task's worker and waits for it (bounded).
template <class F>
struct RunBox : public CRefCountSafe {
    explicit RunBox(F f) : fn(f) {}
    F fn;
    CVNEvent done{1, 0};
    int Run(CRefCount*) {
        fn();
        done.Post();
        return 0;
    }
};

template <class F>
bool run_on(CVNTaskBase* task, F fn) {
    RunBox<F>* box = new RunBox<F>(fn);
    bool ok = CVNTaskBase::PushTask(task, CScopeCall(box, box, &RunBox<F>::Run)) != 0 &&
              box->done.Wait(5000) == 1;
    box->Release();
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    syslog_hook(print_line);
    vnthread_setname("main");
    syslog(3, "demo", __LINE__, "vnbase demonstration, UTC offset %lld minutes",
           vn_gettimeoffsetutc());
    if (argc >= 4) {
        VNProxyType type = strcmp(argv[1], "http") == 0     ? VNPROXY_HTTP
                           : strcmp(argv[1], "socks5") == 0 ? VNPROXY_SOCKS5
                                                            : VNPROXY_NONE;
        unsigned int port = 0;
        if (type == VNPROXY_NONE || !vn_str2uint32(argv[3], &port) || port == 0 || port > 65535) {
            fprintf(stderr, "usage: %s [http|socks5 HOST PORT [USER PASSWORD]]\n", argv[0]);
            return 2;
        }
        VNSetGlobalProxyInfo(type, argv[2], static_cast<unsigned short>(port),
                             argc >= 6 ? argv[4] : nullptr, argc >= 6 ? argv[5] : nullptr);
        syslog(3, "demo", __LINE__, "connecting through the %s proxy at %s:%u", argv[1], argv[2],
               port);
    }

    // Some value types and checksums on the way.
    vn::strutf16 wide;
    const char* greeting = "\xe4\xbd\xa0\xe5\xa5\xbd, vnbase";  // "你好, vnbase"
    vnutf82utf16(greeting, static_cast<unsigned>(strlen(greeting)), wide);
    unsigned char digest[16];
    Md5HashBuffer(digest, greeting, strlen(greeting));
    syslog(3, "demo", __LINE__, "\"%s\": %u UTF-16 units, CRC-32 %08x, MD5 starts %02x%02x%02x%02x",
           greeting, wide.length(), CRC32(0, greeting, strlen(greeting)), digest[0], digest[1],
           digest[2], digest[3]);

    CVNTaskIO* server_thread = new CVNTaskIO("Server", 50, 1);
    CVNTaskIO* client_thread = new CVNTaskIO("Client", 50, 1);
    CVNTaskBase* ticker_thread = new CVNTaskBase("Ticker", 50, 1);
    server_thread->Start();
    client_thread->Start();
    ticker_thread->Start();

    Ticker ticker;
    run_on(ticker_thread, [&] { ticker.SetTimer(20, 1); });

    Server server;
    Client client;
    run_on(server_thread, [&] { server.Start(); });
    if (server.m_listening.Wait(5000)) {
        unsigned short port = server.m_port;
        run_on(client_thread, [&] { client.Connect(port); });
        if (!client.m_done.Wait(10000)) syslog(1, "demo", __LINE__, "the exchange timed out");
    }

    ticker.m_ticked.Wait(5000);
    run_on(client_thread, [&] { client.Shutdown(); });
    run_on(server_thread, [&] { server.Shutdown(); });
    run_on(ticker_thread, [&] { ticker.KillTimer(0xFFFFFFFF); });

    client_thread->Stop();
    server_thread->Stop();
    ticker_thread->Stop();
    client_thread->Release();
    server_thread->Release();
    ticker_thread->Release();
    syslog(3, "demo", __LINE__, "done");
    return 0;
}
