// Test support for TLS: a blocking TLS client on a loopback connection, driven through
// memory BIOs so that the test decides how its bytes reach the wire: whole, or in pieces of
// a given size (one byte: every record and the handshake split at every byte), and raw bytes
// of its own in between (garbage records). Every wait is bounded (5 s per read).
#pragma once

#include <stddef.h>

#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct bio_st BIO;

namespace vntest {

class TlsTestClient {
public:
    // Connects to 127.0.0.1:port; caFile "" trusts nothing (and checks nothing). piece: the
    // most bytes one send carries (0: as many as there are).
    TlsTestClient(unsigned short port, const std::string& caFile, size_t piece = 0);
    ~TlsTestClient();
    TlsTestClient(const TlsTestClient&) = delete;
    TlsTestClient& operator=(const TlsTestClient&) = delete;

    // Runs the handshake; false with error() set when it failed.
    bool Handshake(int maxVersion = 0);
    bool Write(const std::string& data);
    // Decrypted bytes until `until` has been read (npos: until the peer ends the stream);
    // what came, maybe less.
    std::string Read(size_t until);
    // One answer: the head and its Content-Length bytes.
    std::string ReadAnswer();
    // Bytes on the connection as they stand, outside TLS.
    bool SendRaw(const std::string& data);
    // Whether the peer ended the stream within ms (read and dropped what came before).
    bool WaitClosed(int ms);
    // The peer ended the stream with close_notify (after Read reached the end).
    bool SawCloseNotify() const { return m_closeNotify; }
    const std::string& error() const { return m_error; }
    std::string Version() const;
    int fd() const { return m_fd; }

private:
    bool Flush();
    // Takes what the socket has (waiting at most 5 s) into OpenSSL; false at the end.
    bool Fill();

    int m_fd = -1;
    size_t m_piece;
    SSL_CTX* m_ctx = nullptr;
    SSL* m_ssl = nullptr;
    BIO* m_in = nullptr;   // owned by m_ssl
    BIO* m_out = nullptr;  // owned by m_ssl
    bool m_closeNotify = false;
    std::string m_error;
    std::string m_pending;  // decrypted, not yet handed out
};

}  // namespace vntest
