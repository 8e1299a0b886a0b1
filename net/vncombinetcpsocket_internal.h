// Internal header (not installed): CVNCombineTCPSocket, the framed stream behind
// VNCreateCombineTCPSocket and VNCreateCombineTCPSocket_MutilThread. It turns a connected
// TCP descriptor into a packet channel: the caller describes its packet head (a fixed
// head length and a callback that reads the total length out of a head), the socket
// delivers whole packets to its sink and accepts whole packets for sending, queueing at
// most one packet's unsent remainder and reporting OnSend once that queue has drained.
//
// Thread safety: belongs to the CVNTaskIO thread that constructed it; every operation and
// every sink report happen there. The one exception is Send of the _MutilThread variant,
// which any thread may call: the send queue is guarded by m_pLock, and a foreign thread
// never touches the event pump. It sends on a duplicate of the descriptor that is closed
// only under the lock (so a descriptor number closed and handed out again on the owner's
// thread is never written to), and asks for the next write report by posting a call to
// the owner's thread, gated by a liveness handle that the destructor clears first.
//   CVNICombineTCPSocket* s = VNCreateCombineTCPSocket_MutilThread();  // on the I/O thread
//   s->SetSink(sink); s->SetPacketInfo(4, GetLen, 8192); s->Attach(fd);
//   s->Send(packet, len);   // from any thread: len (sent or queued) or 0 (refused)
#pragma once

#include <atomic>

#include "base/vnlock.h"
#include "net/vnsocketi.h"
#include "net/vntcpsocket_internal.h"
#include "task/vnscopecall.h"

class CVNTaskBase;

// No packet of this size or larger is received or sent.
#define MAX_PACKET_LEN 0x100000u

class CVNCombineTCPSocket : public CVNICombineTCPSocket, public CVNITCPSocketSink {
public:
    // bLocked: guard the send queue with a lock so that Send may be called from any thread.
    explicit CVNCombineTCPSocket(bool bLocked);
    // Frees both buffers and the lock and closes the descriptor. Calls still posted by a
    // foreign Send find the liveness handle cleared and do nothing.
    ~CVNCombineTCPSocket() override;
    CVNCombineTCPSocket(const CVNCombineTCPSocket&) = delete;
    CVNCombineTCPSocket& operator=(const CVNCombineTCPSocket&) = delete;

    // CVNICombineTCPSocket
    void SetSink(CVNICombineTCPSocketSink* pSink) override { m_pSink = pSink; }
    // false for a head length of 0, a null callback or a maximum below the head length.
    bool SetPacketInfo(unsigned int headLen, PFN_GETPACKETLEN pfnGetPacketLen,
                       unsigned int maxPacketLen) override;
    // Adopts fd (closing any previous descriptor), asks for read and write reports and
    // raises the platform buffers to the maximum packet size. A packet partly received or
    // still queued for the previous descriptor is dropped.
    void Attach(int fd) override;
    int Detach() override;
    // len when the packet was sent or queued whole; 0 when refused (not exactly one packet
    // by the callback, MAX_PACKET_LEN or larger, or a previous packet still queued).
    unsigned int Send(const char* buf, unsigned int len) override;
    int GetUnreadDataLen() override;
    bool SetSendBufSize(unsigned int size) override;
    bool SetRecvBufSize(unsigned int size) override;
    bool SetNoDelay(bool bNoDelay) override;
    bool GetSockName(unsigned int* ip, unsigned short* port) override;
    bool GetPeerName(unsigned int* ip, unsigned short* port) override;
    bool SetEvent(int events, bool bRemove) override;
    void Close() override;

    // CVNITCPSocketSink (reports of m_Socket)
    void OnRecv(CVNITCPSocket* pSocket) override;
    void OnSend(CVNITCPSocket* pSocket) override;
    void OnClose(CVNITCPSocket* pSocket) override;

    // For the tests (the receive side on the owner's thread): buffer sizes, bytes of the
    // packet in progress, and whether a packet is queued.
    unsigned int GetMaxRecvPacketSize() const { return m_uMaxRecvPacketSize; }
    unsigned int GetRecvLen() const { return m_uRecvLen; }
    unsigned int GetMaxSendPacketSize();
    bool IsSendQueued();

private:
    typedef CScopeHolder<CVNCombineTCPSocket, 0, CRefCountSafe> Holder;

    // Closes the descriptor and its duplicate (under the lock); no report.
    void CloseDescriptors();
    // Closes the connection after a protocol or memory failure and reports OnClose.
    void Fail();
    // Under the lock, on descriptor fd (the owner's own, or the duplicate on another
    // thread): sends a validated packet directly and queues what did not go; len, or 0
    // when it could not be queued.
    unsigned int SendPacket(int fd, const char* buf, unsigned int len);
    // One send(2) of the queued remainder; advances m_uSendPos. Under the lock.
    void SendQueued(int fd);
    // Asks for the next write report: directly on the owner's thread, else by posting
    // OnWriteWanted there (at most one such call in flight).
    void RequestWrite();
    int OnWriteWanted(CRefCount*);

    // The receive side, one step per state of the packet in progress; each returns false
    // when the report ends here (bytes still to come, or the socket failed and reported).
    // Makes the receive buffer at least the maximum packet size.
    bool EnsureRecvBuf();
    // Reads what is waiting of the head; once it is whole, asks the callback for the
    // packet's length, checks it and grows the buffer to hold it.
    bool ReadHead();
    // Reads what is waiting of the body; true once the packet is whole.
    bool ReadBody();
    // Takes up to want waiting bytes into the packet in progress: false when none came.
    bool ReadSome(unsigned int want);

    PFN_GETPACKETLEN m_pgetpklenfun;    // null until SetPacketInfo; guarded by m_pLock
    CVNICombineTCPSocketSink* m_pSink;  // not owned
    unsigned int m_uMaxSendPacketSize;  // guarded by m_pLock
    unsigned int m_uMaxRecvPacketSize;
    unsigned int m_uPacketHeadLen;  // guarded by m_pLock
    char* m_pRecvBuf;               // malloc'ed, owned; m_uRecvBufSize bytes
    unsigned int m_uRecvLen;
    unsigned int m_uRecvPacketTotalLen;  // 0 until the head is complete
    CVNLock* m_pLock;                    // owned; null for the single-thread variant
    char* m_pSendBuf;                    // malloc'ed, owned; m_uSendBufSize bytes; guarded
    unsigned int m_uSendLen;             // guarded by m_pLock
    unsigned int m_uSendPos;             // guarded by m_pLock; queue empty when == m_uSendLen
    CVNTCPSocket m_Socket;               // its sink is this object

    unsigned int m_uRecvBufSize;       // bytes allocated at m_pRecvBuf
    unsigned int m_uSendBufSize;       // bytes allocated at m_pSendBuf; guarded by m_pLock
    int m_nSendFd;                     // locked variant: dup of the descriptor; guarded by m_pLock
    CVNTaskBase* m_pTask;              // the owner's thread; one reference owned
    Holder* m_pHolder;                 // liveness handle of posted calls; one reference owned
    std::atomic<bool> m_bWritePosted;  // an OnWriteWanted call is queued and has not begun
};
