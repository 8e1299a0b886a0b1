// Internal header (not installed): CHttpServerChannel, one accepted connection of the
// embedded HTTP server. It reads a request head (at most 2048 bytes), reports it to its
// server through CHttpServerChannelSink, then carries out the caller's answer: send a text,
// a buffer, a caller-built head or a file (with Range), or receive the request body into a
// file or into memory (multipart/form-data understood). Exactly one completion code per
// transfer; after code 0 the connection waits for the next request.
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
#include "net/vnsocketi.h"
#include "task/vnscopecall.h"
#include "task/vntimer.h"

class CDataReader;
class HttpResponseDataWriter;
class CHttpServerTask;

// How a channel reports to its server. Called on the channel's thread; the server posts
// each report on to "HttpSvr". Channels are named by their id, never by address, so a
// report that arrives after the channel was deleted cannot be taken for another one.
class CHttpServerChannelSink {
public:
    virtual ~CHttpServerChannelSink() {}
    virtual void OnRequest(unsigned long long uId, const vn::strutf8& strHead,
                           unsigned short uListenPort, const vn::strutf8& strLocalIP,
                           const vn::strutf8& strPeerIP, unsigned short uPeerPort) = 0;
    virtual void OnComplete(unsigned long long uId, const vn::strutf8& strHead,
                            const vn::strutf8& strData, int nCode) = 0;
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

    // On "HttpSvr": binds to the channel thread (its user count goes up by one) and the
    // listening port. uId is the never-reused number the server names the channel by.
    CHttpServerChannel(CHttpServerTask* pTask, unsigned short uListenPort, unsigned long long uId);
    // On the channel thread (see Destroy), or anywhere once that thread has stopped.
    ~CHttpServerChannel() override;
    CHttpServerChannel(const CHttpServerChannel&) = delete;
    CHttpServerChannel& operator=(const CHttpServerChannel&) = delete;

    // Any thread before Attach; the sink is not owned.
    void SetSink(CHttpServerChannelSink* pSink) { m_pSink = pSink; }

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

    // Live channels of the process (for the log lines and the tests).
    static int GetChannelCount() { return s_nChnCount.load(std::memory_order_relaxed); }

    // The head phase over buffered bytes (no I/O; exposed for the tests and the fuzz
    // target): 1 when they start with a complete head (uUsed: the bytes it takes from the
    // front, with the head text, content length, boundary and range start), 0 when more
    // bytes are needed, -1 when kMaxHeadLen bytes hold no complete head.
    static int ParseHead(const char* pData, unsigned int uLen, unsigned int& uUsed,
                         vn::strutf8& strHead, unsigned long long& uContentLen,
                         vn::strutf8& strBoundary, unsigned long long& uRangeStart);

    // The end of a multipart body (no I/O; exposed for the tests and the fuzz target):
    // given the buffered bytes, the boundary, the announced length, the bytes already
    // written and whether a writer exists, tells whether the closing delimiter was found
    // (bFound, uCut: the bytes at the end not to write) and how many bytes to hold back
    // (uKeep).
    static void FindMultipartEnd(const char* pData, unsigned int uLen,
                                 const vn::strutf8& strBoundary, unsigned long long uContentLen,
                                 unsigned long long uWritten, bool bHaveWriter, bool& bFound,
                                 unsigned int& uCut, unsigned int& uKeep);

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
        kStateLingering   // the answer said close: waiting for the peer to close too
    };

    bool OnThread() const;
    bool AppendSendData(const char* pData, unsigned int uLen);
    unsigned int GetCanRecvLen();
    void CheckHead();
    // Writes the buffered body bytes; false on a write failure. bDone: the body is complete.
    bool WriteContent(bool& bDone);
    // Ends an answer that said close with a FIN and drains the peer until it closes.
    void BeginLingeringClose();
    // Moves a small answer body behind its queued head, so both leave in one send.
    void JoinSmallBody();
    void SendData();
    void StartSending(bool bProgress);
    void StartReceiving(bool bProgress);
    // The reader for a body held in memory, moved to the range start. false (completed
    // with code 5) when the range start lies beyond it.
    bool SetMemoryBody(const vn::strutf8& strBody);
    void ReportProgress();
    void NotifyComplete(int nCode);
    void ResetTransfer();
    // Sets the closed flag, gives the thread slot back and frees the buffers.
    void MarkClosed();
    // A closed channel cannot answer: the transfer completes with code 2 at once.
    bool RefuseWhenClosed();

    CScopeHolder<CHttpServerChannel, 0, CRefCountSafe>* m_pHolder;  // one reference owned
    const unsigned long long m_uId;
    unsigned int m_uHeadTime;
    unsigned int m_uTransferStart;
    unsigned int m_uLastProgress;
    bool m_bProgress;
    State m_nState;
    vn::strutf8 m_strHead;
    vn::strutf8 m_strBoundary;
    std::atomic<unsigned long long> m_uContentLen;  // written here, read from any thread
    vn::strutf8 m_strRecvPath;
    vn::strutf8 m_strSendPath;
    unsigned long long m_uRangeStart;
    CHttpServerTask* m_pTask;           // not counted: the thread pool keeps it alive
    CVNITCPSocket* m_pSocket;           // owned
    CHttpServerChannelSink* m_pSink;    // the server; not owned
    CDataReader* m_pReader;             // owned, or null
    HttpResponseDataWriter* m_pWriter;  // owned, or null
    std::atomic<bool> m_bClosed;
    bool m_bHoldsSlot;       // counted in the thread's user count
    bool m_bCloseAfterSend;  // the answer's head says "Connection: close"
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

    static std::atomic<int> s_nChnCount;
};
