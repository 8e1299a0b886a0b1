// A TLS port of the server for an outside scanner (tls_scan.py): makes a throwaway PKI,
// listens with its leaf on a kernel-chosen loopback port, answers every request "ok", prints
// the port and the authority's file on one line, and serves until its standard input ends.
#include <stdio.h>

#include <memory>
#include <string>

#include "http/server/vnhttpserver.h"
#include "support/tls_pki.h"

namespace {

class Answer : public CHttpRequestNotify {
public:
    void OnRequest(unsigned long long uId, const vn::strutf8&, const vn::strutf8&, vn::strutf8,
                   vn::strutf8, unsigned short) override {
        GetHttpServerInstance()->Accept_SendBuf(uId, "ok", nullptr, false);
    }
};

}  // namespace

int main() {
    std::string why;
    std::unique_ptr<vntest::TestPki> pki = vntest::TestPki::Make(&why);
    if (pki == nullptr) {
        fprintf(stderr, "no PKI: %s\n", why.c_str());
        return 1;
    }
    IHttpServer* server = GetHttpServerInstance();
    unsigned short port = 0;
    if (!server->ListenTls(0, 0, &port, pki->good.chain.c_str(), pki->good.key.c_str())) {
        fprintf(stderr, "ListenTls failed\n");
        return 1;
    }
    Answer answer;
    server->RegisterRequest("*.*", port, &answer);
    printf("%u %s\n", port, pki->caFile.c_str());
    fflush(stdout);
    char buf[256];
    while (fread(buf, 1, sizeof(buf), stdin) > 0) {
    }
    server->StopListen(port);
    return 0;
}
