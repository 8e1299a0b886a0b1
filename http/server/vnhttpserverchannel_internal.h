// Internal header (not installed): CHttpServerChannel, one accepted connection of the
// embedded HTTP server. It reads a request head (at most 2048 bytes), reports it to its
// server through CHttpServerChannelSink, then carries out the caller's answer: send a text,
// a buffer, a caller-built head or a file (with Range), or receive the request body into a
// file or into memory (multipart/form-data understood). Exactly one completion code per
// transfer; after code 0 the connection goes on with the next request, which may already
// be buffered (pipelining). What a request is, and which bytes are its body, is decided by
// CHttpRequestReader; the channel moves bytes and carries out the answers. A request that
// breaks the protocol is answered with its error status and the connection closed; a body
// the caller did not read is read and dropped (up to kDrainMax) before the next request,
// so it can never be taken for one.
//
// Thread safety: a channel belongs to its channel thread (a CHttpServerTask). It is
// constructed on "HttpSvr" and deleted on its channel thread (Destroy, posted by the pool);
// every other operation runs on the channel thread. Calls made from other threads are
// posted there, targeted at the channel's scope holder. A closed channel gives its
// thread's slot back at once; the pool deletes it later. The id, the closed flag, the
// addresses and the content length may be read from any thread.
//   CHttpServerChannel* c = new CHttpServerChannel(task, port, id);   // on "HttpSvr"
//   c->SetSink(server);
//   c->Attach(fd);                 // posted to the channel thread; OnRequest follows
#pragma once

#include <atomic>
#include <mutex>

#include "common/vnstream.h"
#include "http/server/vnhttpbodybudget_internal.h"
#include "http/server/vnhttprequestreader_internal.h"
#include "net/vnsocketi.h"
#include "net/vntlscontext_internal.h"
#include "task/vnscopecall.h"
#include "task/vntimer.h"

class CDataReader;
class HttpResponseDataWriter;
class CHttpServerTask;
class CVNTLSSocket;

// How a channel reports to its server. Called on the channel's thread; the server posts
// each report on to "HttpSvr". Channels are named by their id, never by address, so a
// report that arrives after the channel was deleted cannot be taken for another one.
class CHttpServerChannelSink {
public:
    virtual ~CHttpServerChannelSink() {}
    virtual void OnRequest(unsigned long long uId, const vn::strutf8& strHead,
                           unsigned short uListenPort, const vn::strutf8& strLocalIP,
                           const vn::strutf8& strPeerIP, unsigned short uPeerPort) = 0;
    // bAwaitsAnswer: the request still waits for an answer (a body received into memory,
    // which the caller answers with Post or Accept_SendBuf).
    virtual void OnComplete(unsigned long long uId, const vn::strutf8& strHead,
                            const vn::strutf8& strData, int nCode, bool bAwaitsAnswer) = 0;
    virtual void OnProgress(unsigned long long uId, unsigned long long uDone,
                            unsigned long long uTotal, unsigned int uSpeed) = 0;
};

class CHttpServerChannel : public CVNITCPSocketSink, public CVNTimer {
public:
    // Completion codes (CHttpNotify::OnComplete).
    enum {
        kCodeOk = 0,
        kCodeTimeout = 1,
        kCodeClosed = 2,
        kCodeHeadTooLong = 3,
        kCodeWriteFail = 4,
        kCodeReadFail = 5,
        kCodeOpenSendFail = 6,
        kCodeOpenRecvFail = 7,
        // The request body broke its framing (chunks, a form without its first part's
        // end): answered 400, connection closed.
        kCodeBadBody = 8,
    };
    enum : unsigned int {
        kMaxHeadLen = 2048,
        kRecvBufSize = 102400,
        kSendBufSize = 102400,
        kTimeoutMs = 5000,
        kSocketBufSize = 262144,
        // Bytes of a multipart body held back so that the closing delimiter never reaches
        // the file before it has been recognised.
        kMultipartTail = 256,
        // Bodies up to this size are sent together with their head.
        kJoinBodyMax = 16384,
        // How long a connection whose answer said close waits for the peer to close.
        kLingerMs = 2000,
    };
    // Most bytes of an unread request body read and dropped to reach the next request;
    // a longer body closes the connection after the answer instead.
    enum : unsigned long long { kDrainMax = 1024 * 1024 };

    // On "HttpSvr": binds to the channel thread (its user count goes up by one) and the
    // listening port. uId is the never-reused number the server names the channel by;
    // bodies received into memory draw on pBudget (the server's; it outlives the channel).
    CHttpServerChannel(CHttpServerTask* pTask, unsigned short uListenPort, unsigned long long uId,
                       CHttpBodyBudget* pBudget);
    // On the channel thread (see Destroy), or anywhere once that thread has stopped.
    ~CHttpServerChannel() override;
    CHttpServerChannel(const CHttpServerChannel&) = delete;
    CHttpServerChannel& operator=(const CHttpServerChannel&) = delete;

    // Any thread before Attach; the sink is not owned.
    void SetSink(CHttpServerChannelSink* pSink) { m_pSink = pSink; }
    // Any thread before Attach: the connection speaks TLS with pTls (a reference is taken).
    void SetTls(vn::detail::CTlsContext* pTls);

    // The operations below run on the channel thread; from elsewhere they are posted.
    void Attach(int fd);
    void Refuse(const vn::strutf8& strText, int nCode);
    void Accept_SendBuf(const vn::strutf8& strData, bool bProgress);
    void Post(const vn::strutf8& strHead, const vn::strutf8& strBody, bool bProgress);
    void Accept_SendFile(const vn::strutf8& strPath, bool bProgress);
    void Accept_RecvFile(const vn::strutf8& strBody, const vn::strutf8& strPath, bool bProgress);
    void Accept_RecvBuff(const vn::strutf8& strText, bool bProgress);
    // Closes the connection without any report.
    void Close();
    // Deletes the channel on its own thread (its timer and socket belong there); posted by
    // the pool once the channel is closed.
    void Destroy();

    // Any thread.
    unsigned long long GetId() const { return m_uId; }
    bool IsClosed() const { return m_bClosed.load(std::memory_order_acquire); }
    CHttpServerTask* GetTask() const { return m_pTask; }
    void GetLocalIP(vn::strutf8& strIP);
    void GetPeerIP(vn::strutf8& strIP);
    unsigned long long GetContentLen() const {
        return m_uContentLen.load(std::memory_order_relaxed);
    }
    // Whether the request body's length is known (false for a chunked body).
    bool IsContentLenKnown() const { return m_bLengthKnown.load(std::memory_order_relaxed); }

    // Live channels of the process (for the log lines and the tests).
    static int GetChannelCount() { return s_nChnCount.load(std::memory_order_relaxed); }

    // CVNITCPSocketSink
    void OnRecv(CVNITCPSocket* pSocket) override;
    void OnSend(CVNITCPSocket* pSocket) override;
    void OnClose(CVNITCPSocket* pSocket) override;
    // CVNTimer
    void OnTimer(unsigned int id) override;

private:
    enum State {
        kStateAttaching,
        kStateHead,       // reading a request head
        kStateWaiting,    // the head went to the caller; no socket interest
        kStateSending,    // an answer is going out
        kStateReceiving,  // a request body is coming in
        kStateDraining,   // an answer went out; the unread rest of the body is dropped
        kStateLingering   // the answer said close: waiting for the peer to close too
    };
    // What becomes of the connection when a transfer completes.
    enum Next { kNextKeep, kNextLinger, kNextClose };

    bool OnThread() const;
    bool AppendSendData(const char* pData, unsigned int uLen);
    // Room in the receive buffer (allocated on first use), the front compacted.
    unsigned int GetCanRecvLen();
    // The bytes received and not yet consumed, and consuming n of them.
    const char* Buffered() const { return m_pRecvBuf + m_uRecvPos; }
    unsigned int BufferedLen() const { return m_uRecvLen - m_uRecvPos; }
    void Consume(size_t n);
    // Runs the request reader over the buffered bytes in the head phase.
    void CheckHead();
    // Runs it over buffered body bytes while receiving or draining.
    void CheckBody();
    // Hands received body bytes to the writer; false (the transfer already completed) when
    // they cannot be kept.
    bool WriteBody(const char* pData, size_t uLen);
    // The request body is in: the answer of Accept_RecvFile goes out, or the transfer ends.
    void BodyReceived();
    // Answers status with a short text, says close, and then completes with nCode (-1:
    // nobody accepted the request, nothing to report) and closes gracefully.
    void AnswerError(unsigned int uStatus, const char* pszText, int nCode);
    // "100 Continue" for a client that waits for it before sending the body.
    void SendContinue();
    // The answer head for a status and a body of uTotal bytes, of which the range
    // [uFirst, uLast] is sent for a 206; keep-alive unless the connection must close after it.
    vn::strutf8 MakeHead(unsigned int uCode, unsigned long long uTotal, unsigned long long uFirst,
                         unsigned long long uLast);
    // Whether the connection closes after the answer now being built.
    bool MustCloseAfterAnswer() const;
    // The range of the request against a body of uTotal bytes: 200, 206 (with the range
    // in uFirst, uLast) or 416.
    unsigned int EvaluateRange(unsigned long long uTotal, unsigned long long& uFirst,
                               unsigned long long& uLast);
    // Sends a 416 answer and completes with code 5.
    void RefuseRange(unsigned long long uTotal);
    // Ends an answer that said close with a FIN and drains the peer until it closes.
    void BeginLingeringClose();
    // Moves a small answer body behind its queued head, so both leave in one send.
    void JoinSmallBody();
    // Accept_SendFile for a body of at most kJoinBodyMax bytes: read behind its head, the
    // file closed before it is sent. false (no answer begun) for a larger body, which the
    // reader then sends; true when the answer is under way or the transfer has completed.
    bool SendSmallFile(const vn::strutf8& strPath, bool bProgress);
    void SendData();
    void StartSending(bool bProgress);
    void StartReceiving(bool bProgress);
    // The reader for a body held in memory, limited to the range [uFirst, uLast].
    void SetMemoryBody(const vn::strutf8& strBody, unsigned long long uFirst,
                       unsigned long long uLast);
    void ReportProgress();
    void NotifyComplete(int nCode);
    void Complete(int nCode, Next nNext, bool bAwaitsAnswer = false);
    // The next request: the head phase over what is buffered, or the rest of an unread
    // body dropped first.
    void NextRequest();
    // Sets the closed flag, gives the thread slot back and frees the buffers.
    void MarkClosed();
    // Takes an answer only while the request waits for one; a closed channel completes
    // with code 2 at once. true when the answer is not to be carried out.
    bool RefuseAnswer();

    CScopeHolder<CHttpServerChannel, 0, CRefCountSafe>* m_pHolder;  // one reference owned
    const unsigned long long m_uId;
    unsigned int m_uHeadTime;
    unsigned int m_uTransferStart;
    unsigned int m_uLastProgress;
    bool m_bProgress;
    State m_nState;
    CHttpRequestReader m_request;
    vn::strutf8 m_strHead;  // the head shown to the caller; empty between requests
    std::atomic<unsigned long long> m_uContentLen;  // written here, read from any thread
    std::atomic<bool> m_bLengthKnown;               // written here, read from any thread
    vn::strutf8 m_strRecvPath;
    vn::strutf8 m_strSendPath;
    unsigned long long m_uRangeStart;   // first byte of the body being sent
    unsigned long long m_uInlineBody;   // a small file's body, queued behind its head
    CHttpServerTask* m_pTask;           // not counted: the thread pool keeps it alive
    CVNITCPSocket* m_pSocket;           // owned
    CVNTLSSocket* m_pTlsSocket;         // m_pSocket when the port speaks TLS, else null
    vn::detail::CTlsContext* m_pTls;    // one reference, or null (a plain port)
    CHttpServerChannelSink* m_pSink;    // the server; not owned
    CHttpBodyBudget* m_pBudget;         // the server's; not owned
    unsigned long long m_uReserved;     // bytes of m_pBudget held by the memory writer
    CDataReader* m_pReader;             // owned, or null
    HttpResponseDataWriter* m_pWriter;  // owned, or null
    vn::strutf8 m_strAnswerHead;        // Accept_RecvFile: sent once the body is in
    vn::strutf8 m_strAnswerBody;
    int m_nCodeAfterSend;  // an error answer: the code reported once it has gone (-1: none)
    unsigned long long m_uDrained;
    std::atomic<bool> m_bClosed;
    bool m_bHoldsSlot;       // counted in the thread's user count
    bool m_bCloseAfterSend;  // the answer's head says "Connection: close"
    bool m_bContinueSent;    // "100 Continue" went out for this request
    bool m_bSendBufSet;      // socket buffer sizes are set once per connection
    bool m_bRecvBufSet;
    unsigned short m_uListenPort;
    std::mutex m_infoLock;     // guards the two address texts
    vn::strutf8 m_strPeerIP;   // guarded by m_infoLock
    vn::strutf8 m_strLocalIP;  // guarded by m_infoLock
    unsigned short m_uPeerPort;
    vn::strutf8 m_strIdText;
    char* m_pSendBuf;  // owned (malloc)
    unsigned int m_uSendCap;
    unsigned int m_uSendLen;
    unsigned int m_uSendPos;
    char* m_pRecvBuf;  // owned (malloc)
    unsigned int m_uRecvCap;
    unsigned int m_uRecvLen;
    unsigned int m_uRecvPos;  // bytes before it are consumed

    static std::atomic<int> s_nChnCount;
};
