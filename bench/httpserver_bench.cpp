// The embedded HTTP server as a benchmark target, driven by bench/httpserver_bench.sh and
// bench/vnhttp_tls_bench.sh against nginx in the same run: "GET /buf" is answered with 1 KiB
// through Accept_SendBuf from inside OnRequest, "GET /file" with <dir>/big.bin and
// "GET /1k.bin" with <dir>/1k.bin through Accept_SendFile. Prints the port it listens on;
// given a certificate chain and its key (PEM) it also listens with TLS on a second port,
// printed on a second line, with the same answers. Then serves until it is killed.
//   build/bench/httpserver_bench /tmp/benchdir [chain.pem key.pem]
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "http/server/vnhttpserver.h"

namespace {

class Answer : public CHttpRequestNotify {
public:
    explicit Answer(const std::string& dir)
        : m_file((dir + "/big.bin").c_str()),
          m_small((dir + "/1k.bin").c_str()),
          m_body(std::string(1024, 'b').c_str()) {}
    void OnRequest(unsigned long long uId, const vn::strutf8& strType, const vn::strutf8&,
                   vn::strutf8, vn::strutf8, unsigned short) override {
        IHttpServer* s = GetHttpServerInstance();
        if (strType == "GET /buf") {
            s->Accept_SendBuf(uId, m_body, nullptr, false);
        } else if (strType == "GET /1k.bin") {
            s->Accept_SendFile(uId, m_small.c_str(), nullptr, false);
        } else {
            s->Accept_SendFile(uId, m_file.c_str(), nullptr, false);
        }
    }

private:
    vn::strutf8 m_file;
    vn::strutf8 m_small;
    vn::strutf8 m_body;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 4) {
        fprintf(stderr,
                "usage: %s DIR [CHAIN KEY]  (serves DIR/big.bin as /file, DIR/1k.bin as "
                "/1k.bin; with CHAIN and KEY over TLS too)\n",
                argv[0]);
        return 2;
    }
    Answer answer(argv[1]);
    IHttpServer* s = GetHttpServerInstance();
    unsigned short port = 0, tlsPort = 0;
    if (!s->Listen(0, 0, &port)) {
        fprintf(stderr, "Listen failed\n");
        return 1;
    }
    if (argc == 4 && !s->ListenTls(0, 0, &tlsPort, argv[2], argv[3])) {
        fprintf(stderr, "ListenTls failed\n");
        return 1;
    }
    for (unsigned short p : {port, tlsPort}) {
        if (p == 0) continue;
        for (const char* type : {"GET /buf", "GET /file", "GET /1k.bin"})
            s->RegisterRequest(type, p, &answer);
    }
    printf("%u\n", port);
    if (tlsPort != 0) printf("%u\n", tlsPort);
    fflush(stdout);
    for (;;)
        pause();
}
