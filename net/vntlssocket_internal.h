// Internal header (not installed): CVNTLSSocket, a connected stream with TLS on it, behind
// the same interface as the plain one (CVNITCPSocket), so the HTTP client and the server
// channel use either without knowing. It owns a plain socket for the descriptor's
// readiness reports and OpenSSL for every byte: Attach starts the handshake, driven by the
// same reports (a read that needs a write and the reverse included); while it runs, Send and
// Recv take nothing, and its end is announced with OnSend (the stream is writable). Recv
// gives decrypted bytes; bytes OpenSSL already holds are announced with OnRecv even when the
// descriptor has nothing more to say. A failed handshake or a broken stream ends with
// OnClose; GetError says why, IsCleanClose whether the peer ended with close_notify.
//
// Thread safety: belongs to the CVNTaskIO thread that created it, like every socket; every
// call and sink report happen there. A sink callback may delete the socket.
//   CVNTLSSocket* s = new CVNTLSSocket(ctx, "example.com", 443);   // on the I/O thread
//   s->SetSink(sink); s->Attach(fd);     // ... OnSend: handshake done, Send(...)
#pragma once

#include <string>

#include "net/vnsocketi.h"
#include "net/vntls.h"
#include "task/vnscopecall.h"

namespace vn {
namespace detail {
class CTlsContext;
}
}  // namespace vn

class CVNTaskBase;
typedef struct ssl_st SSL;

class CVNTLSSocket : public CVNITCPSocket, private CVNITCPSocketSink {
public:
    // pCtx: a client or server context (one reference taken). A client checks pszHost (a
    // name or a dotted address) against the certificate, sends it as SNI when it is a name,
    // and resumes sessions kept for pszHost:uPort.
    CVNTLSSocket(vn::detail::CTlsContext* pCtx, const char* pszHost, unsigned short uPort);
    ~CVNTLSSocket() override;
    CVNTLSSocket(const CVNTLSSocket&) = delete;
    CVNTLSSocket& operator=(const CVNTLSSocket&) = delete;

    // CVNITCPSocket
    void SetSink(CVNITCPSocketSink* pSink) override { m_pSink = pSink; }
    // Adopts the descriptor and starts the handshake.
    bool Attach(int fd) override;
    // A TLS session cannot be handed on: -1, nothing changes.
    int Detach() override { return -1; }
    int GetSocket() override;
    // Bytes taken for sending (encrypted and handed to the kernel), or -1: not yet (the
    // handshake runs, or the kernel's buffer is full; OnSend follows) or not at all.
    int Send(const void* buf, int len) override;
    // Decrypted bytes, 0 after the peer's close_notify, -1 when nothing waits.
    int Recv(void* buf, int len) override;
    // Decrypted bytes waiting, or when there are none, what the kernel holds (encrypted).
    int GetUnreadDataLen() override;
    bool SetSendBufSize(unsigned int size) override;
    bool GetSendBufSize(int* size) override;
    bool SetRecvBufSize(unsigned int size) override;
    bool GetRecvBufSize(int* size) override;
    bool SetNoDelay(bool bNoDelay) override;
    bool GetSockName(unsigned int* ip, unsigned short* port) override;
    bool GetPeerName(unsigned int* ip, unsigned short* port) override;
    bool SetEvent(int events, bool bRemove) override;
    // Sends close_notify (when the session is open) and closes the descriptor.
    void Close() override;

    // The handshake has completed.
    bool IsOpen() const { return m_nState == kStateOpen; }
    // Why the handshake was refused (VNTLS_NONE when it was not), with a text.
    int GetError(std::string* pText) const;
    // The peer ended the stream with close_notify (a stream that simply stops may have been
    // cut by someone in between).
    bool IsCleanClose() const { return m_bPeerClosed; }
    // Ends the sending side: close_notify, then a FIN; reading goes on.
    bool ShutdownWrite();

    // Posted: an OnRecv for decrypted bytes that no readiness report will announce.
    void DeliverPending();

private:
    enum State { kStateIdle, kStateHandshake, kStateOpen, kStateFailed, kStateClosed };

    // The plain socket's reports.
    void OnRecv(CVNITCPSocket* pSocket) override;
    void OnSend(CVNITCPSocket* pSocket) override;
    void OnClose(CVNITCPSocket* pSocket) override;

    void Handshake();
    // The handshake was refused: the descriptor is closed and the sink told.
    void Fail(int nReason, const std::string& strText);
    // Tells the sink; false when the sink deleted this socket meanwhile.
    bool Tell(void (CVNITCPSocketSink::*pReport)(CVNITCPSocket*));
    bool TellRecv() { return Tell(&CVNITCPSocketSink::OnRecv); }
    bool TellSend() { return Tell(&CVNITCPSocketSink::OnSend); }
    void TellClose();
    // After the sink has read: the stream ended (close_notify or a broken record), or
    // decrypted bytes wait that no report will announce.
    void AfterRead();
    bool HasPending() const;
    void PostPending();

    CVNITCPSocket* m_pPlain;          // owned: the descriptor and its readiness reports
    CVNITCPSocketSink* m_pSink;       // not owned
    vn::detail::CTlsContext* m_pCtx;  // one reference
    SSL* m_pSsl;                      // owned
    std::string m_strHost;
    std::string m_strSessionKey;  // "host:port"; SSL keeps a pointer to it
    State m_nState;
    bool m_bReadWantsWrite;  // SSL_read asked for writability
    bool m_bWriteWantsRead;  // SSL_write asked for readability
    bool m_bPeerClosed;      // close_notify came
    bool m_bBroken;          // a record failed: the stream cannot go on
    bool m_bReadInterest;    // the sink wants read reports
    bool m_bPendingPosted;
    bool m_bShutdownSent;
    bool m_bTransportGone;        // the descriptor reported its end (closed under us)
    bool m_bWantWire;             // the last read needs more bytes from the descriptor
    unsigned long long m_uTaken;  // decrypted bytes the sink has taken
    int m_nError;
    std::string m_strError;
    bool* m_pAlive;        // set while a sink call runs; the destructor clears what it points to
    CVNTaskBase* m_pTask;  // the thread it belongs to; not counted
    CScopeHolder<CVNTLSSocket, 0, CRefCountSafe>* m_pHolder;  // one reference owned
};
