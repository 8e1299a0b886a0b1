// The embedded HTTP server as a benchmark target, driven by bench/httpserver_bench.sh
// against nginx in the same run: "GET /buf" is answered with 1 KiB through Accept_SendBuf
// from inside OnRequest, "GET /file" with <dir>/big.bin through Accept_SendFile. Prints
// the port it listens on, then serves until it is killed.
//   build/bench/httpserver_bench /tmp/benchdir
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "http/server/vnhttpserver.h"

namespace {

class Answer : public CHttpRequestNotify {
public:
    explicit Answer(const std::string& file)
        : m_file(file.c_str()), m_body(std::string(1024, 'b').c_str()) {}
    void OnRequest(unsigned long long uId, const vn::strutf8& strType, const vn::strutf8&,
                   vn::strutf8, vn::strutf8, unsigned short) override {
        IHttpServer* s = GetHttpServerInstance();
        if (strType == "GET /buf") {
            s->Accept_SendBuf(uId, m_body, nullptr, false);
        } else {
            s->Accept_SendFile(uId, m_file.c_str(), nullptr, false);
        }
    }

private:
    vn::strutf8 m_file;
    vn::strutf8 m_body;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s DIR  (serves DIR/big.bin as /file)\n", argv[0]);
        return 2;
    }
    Answer answer(std::string(argv[1]) + "/big.bin");
    IHttpServer* s = GetHttpServerInstance();
    unsigned short port = 0;
    if (!s->Listen(0, 0, &port)) {
        fprintf(stderr, "Listen failed\n");
        return 1;
    }
    s->RegisterRequest("GET /buf", port, &answer);
    s->RegisterRequest("GET /file", port, &answer);
    printf("%u\n", port);
    fflush(stdout);
    for (;;)
        pause();
}
