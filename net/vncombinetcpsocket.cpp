// CVNCombineTCPSocket: a framed stream on top of CVNTCPSocket (see
// vncombinetcpsocket_internal.h), and the two factories that make it.
#include "net/vncombinetcpsocket_internal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "base/vnlog.h"
#include "fevent/vnfevent.h"
#include "net/vnnet.h"
#include "net/vnnet_internal.h"
#include "task/vntask.h"

namespace {

const char kTag[] = "CombineTCP";

// A buffer that must grow is made this much larger than the packet that needed it, so a
// slightly larger packet next time does not grow it again.
constexpr unsigned int kGrowSlack = 128;

// Raises the platform send buffer of fd to size when it is smaller (the kernel reports
// twice what was set; the comparison is on what it reports).
void RaiseSendBuf(int fd, unsigned int size) {
    int cur = 0;
    if (fd == -1 || !vnsocket_getsendbufsize(fd, &cur) || cur >= static_cast<int>(size)) return;
    vnsocket_setsendbufsize(fd, size);
    vnsocket_getsendbufsize(fd, &cur);
    syslog(VN_LOG_DEBUG, kTag, __LINE__, "Set Send Buf Size[%d]", cur);
}

void RaiseRecvBuf(int fd, unsigned int size) {
    int cur = 0;
    if (fd == -1 || !vnsocket_getrecvbufsize(fd, &cur) || cur >= static_cast<int>(size)) return;
    vnsocket_setrecvbufsize(fd, size);
    vnsocket_getrecvbufsize(fd, &cur);
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "Set Recv Buf Size[%d]", cur);
}

// One send(2): bytes sent, or -1 (nothing sent: no descriptor, a full buffer, an error).
int SendOnce(int fd, const char* buf, unsigned int len) {
    if (fd == -1 || len == 0) return -1;
    return vnsocket_send(fd, buf, len);
}

}  // namespace

CVNCombineTCPSocket::CVNCombineTCPSocket(bool bLocked)
    : m_pgetpklenfun(nullptr),
      m_pSink(nullptr),
      m_uMaxSendPacketSize(0),
      m_uMaxRecvPacketSize(0),
      m_uPacketHeadLen(0),
      m_pRecvBuf(nullptr),
      m_uRecvLen(0),
      m_uRecvPacketTotalLen(0),
      m_pLock(bLocked ? new CVNLock : nullptr),
      m_pSendBuf(nullptr),
      m_uSendLen(0),
      m_uSendPos(0),
      m_uRecvBufSize(0),
      m_uSendBufSize(0),
      m_nSendFd(-1),
      m_pTask(CVNTaskBase::GetCurrentTask()),
      m_pHolder(new Holder(this)),
      m_bWritePosted(false) {
    m_Socket.SetSink(this);
    if (m_pTask != nullptr) m_pTask->AddRef();
}

CVNCombineTCPSocket::~CVNCombineTCPSocket() {
    // First: a write request posted by a foreign Send that runs from now on finds nothing.
    m_pHolder->Clear();
    m_pHolder->Release();
    m_pHolder = nullptr;
    CloseDescriptors();
    free(m_pRecvBuf);
    free(m_pSendBuf);
    delete m_pLock;
    m_pLock = nullptr;
    if (m_pTask != nullptr) m_pTask->Release();
}

bool CVNCombineTCPSocket::SetPacketInfo(unsigned int headLen, PFN_GETPACKETLEN pfnGetPacketLen,
                                        unsigned int maxPacketLen) {
    VN_ASSERT_ON_THREAD(m_pTask);
    if (headLen == 0 || pfnGetPacketLen == nullptr || maxPacketLen < headLen) return false;
    CVNAutolockex guard(m_pLock);
    m_uPacketHeadLen = headLen;
    m_pgetpklenfun = pfnGetPacketLen;
    // The buffers themselves keep their own sizes (m_uRecvBufSize, m_uSendBufSize) and
    // are reallocated before use when they are smaller than these.
    m_uMaxSendPacketSize = maxPacketLen;
    m_uMaxRecvPacketSize = maxPacketLen;
    return true;
}

void CVNCombineTCPSocket::Attach(int fd) {
    VN_ASSERT_ON_THREAD(m_pTask);
    CVNAutolockex guard(m_pLock);
    if (m_nSendFd != -1) vnsocket_close(m_nSendFd);
    m_nSendFd = -1;
    // A packet half received or half sent belongs to the previous connection: framing its
    // rest out of (or sending it into) the new one would corrupt both streams.
    m_uRecvLen = 0;
    m_uRecvPacketTotalLen = 0;
    m_uSendLen = 0;
    m_uSendPos = 0;
    m_Socket.Attach(fd);
    if (m_pLock != nullptr && fd != -1) {
        // Foreign senders write to a duplicate that is closed only under the lock. The
        // owner's thread may close fd itself at any moment (end of stream, error), and the
        // number may then be handed out again at once: a send on it from another thread
        // would land in someone else's descriptor. Without a duplicate (descriptor limit)
        // foreign sends queue the whole packet and the owner's drain sends it.
        m_nSendFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    }
    RaiseSendBuf(fd, m_uMaxSendPacketSize);
    RaiseRecvBuf(fd, m_uMaxRecvPacketSize);
}

int CVNCombineTCPSocket::Detach() {
    VN_ASSERT_ON_THREAD(m_pTask);
    CVNAutolockex guard(m_pLock);
    if (m_nSendFd != -1) vnsocket_close(m_nSendFd);
    m_nSendFd = -1;
    return m_Socket.Detach();
}

void CVNCombineTCPSocket::CloseDescriptors() {
    CVNAutolockex guard(m_pLock);
    if (m_nSendFd != -1) vnsocket_close(m_nSendFd);
    m_nSendFd = -1;
    m_Socket.Close();
}

void CVNCombineTCPSocket::Close() {
    VN_ASSERT_ON_THREAD(m_pTask);
    CloseDescriptors();
}

void CVNCombineTCPSocket::Fail() {
    m_uRecvLen = 0;
    m_uRecvPacketTotalLen = 0;
    CloseDescriptors();
    if (m_pSink != nullptr) m_pSink->OnClose(this);  // may delete this
}

int CVNCombineTCPSocket::GetUnreadDataLen() {
    return m_Socket.GetUnreadDataLen();
}

bool CVNCombineTCPSocket::SetSendBufSize(unsigned int size) {
    return m_Socket.SetSendBufSize(size);
}

bool CVNCombineTCPSocket::SetRecvBufSize(unsigned int size) {
    return m_Socket.SetRecvBufSize(size);
}

bool CVNCombineTCPSocket::SetNoDelay(bool bNoDelay) {
    return m_Socket.SetNoDelay(bNoDelay);
}

bool CVNCombineTCPSocket::GetSockName(unsigned int* ip, unsigned short* port) {
    return m_Socket.GetSockName(ip, port);
}

bool CVNCombineTCPSocket::GetPeerName(unsigned int* ip, unsigned short* port) {
    return m_Socket.GetPeerName(ip, port);
}

bool CVNCombineTCPSocket::SetEvent(int events, bool bRemove) {
    return m_Socket.SetEvent(events, bRemove);
}

unsigned int CVNCombineTCPSocket::GetMaxSendPacketSize() {
    CVNAutolockex guard(m_pLock);
    return m_uMaxSendPacketSize;
}

bool CVNCombineTCPSocket::IsSendQueued() {
    CVNAutolockex guard(m_pLock);
    return m_uSendPos != m_uSendLen;
}

// ---- Sending ----

unsigned int CVNCombineTCPSocket::Send(const char* buf, unsigned int len) {
    const bool onOwner = CVNTaskBase::GetCurrentTask() == m_pTask;
    if (m_pLock == nullptr) VN_ASSERT_ON_THREAD(m_pTask);
    unsigned int result = 0;
    {
        CVNAutolockex guard(m_pLock);
        // Exactly one whole packet, by the caller's own description of its head. The
        // callback reads the head, so a buffer shorter than a head is not offered to it.
        unsigned int total = 0;
        if (buf == nullptr || len < m_uPacketHeadLen || m_pgetpklenfun == nullptr ||
            !m_pgetpklenfun(buf, len, &total) || total != len) {
            syslog(VN_LOG_ERROR, kTag, __LINE__, "Send ulen[%u] ,but len is error,why ???????????",
                   len);
            return 0;
        }
        // The owner sends on its own descriptor; another thread on the duplicate.
        const int fd = onOwner ? m_Socket.GetSocket() : m_nSendFd;
        if (m_uSendPos != m_uSendLen) {
            // One packet's remainder at most: try to move it on; while any of it is left
            // the new packet is refused (OnSend tells when to offer it again).
            SendQueued(fd);
        }
        if (m_uSendPos != m_uSendLen) {
            // Nothing to log: a busy queue is the normal flow control of this channel.
        } else if (len >= MAX_PACKET_LEN) {
            syslog(VN_LOG_ERROR, kTag, __LINE__, "Send ulen[%u] > MAX_PACKET_LEN[%u]", len,
                   MAX_PACKET_LEN);
        } else {
            result = SendPacket(fd, buf, len);
        }
    }
    // Asked for after the packet was queued, so that the write report it brings finds the
    // queue as this call left it.
    RequestWrite();
    return result;
}

unsigned int CVNCombineTCPSocket::SendPacket(int fd, const char* buf, unsigned int len) {
    const int n = SendOnce(fd, buf, len);
    if (n >= 0 && static_cast<unsigned int>(n) == len) return len;
    const unsigned int sent = n > 0 ? static_cast<unsigned int>(n) : 0;
    if (len > m_uMaxSendPacketSize) {
        free(m_pSendBuf);
        m_pSendBuf = nullptr;
        m_uSendBufSize = 0;
        syslog(VN_LOG_NOTICE, kTag, __LINE__, "Reset m_uMaxSendPacketSize[%u->%u]",
               m_uMaxSendPacketSize, len + kGrowSlack);
        m_uMaxSendPacketSize = len + kGrowSlack;
        RaiseSendBuf(fd, m_uMaxSendPacketSize);
    }
    if (m_pSendBuf == nullptr || m_uSendBufSize < m_uMaxSendPacketSize) {
        char* p = static_cast<char*>(malloc(m_uMaxSendPacketSize));
        if (p == nullptr) {
            syslog(VN_LOG_ERROR, kTag, __LINE__, "malloc m_pSendBuf fail len[%u]",
                   m_uMaxSendPacketSize);
            if (sent > 0 && fd != -1) {
                // Part of the packet is on the wire and the rest cannot be kept: the stream
                // can no longer be framed. Shutting the socket down makes its own thread
                // see the end of the stream and report OnClose.
                shutdown(fd, SHUT_RDWR);
            }
            return 0;
        }
        free(m_pSendBuf);
        m_pSendBuf = p;
        m_uSendBufSize = m_uMaxSendPacketSize;
    }
    memcpy(m_pSendBuf, buf, len);
    m_uSendLen = len;
    m_uSendPos = sent;
    return len;
}

void CVNCombineTCPSocket::SendQueued(int fd) {
    const int n = SendOnce(fd, m_pSendBuf + m_uSendPos, m_uSendLen - m_uSendPos);
    if (n > 0) m_uSendPos += static_cast<unsigned int>(n);
}

void CVNCombineTCPSocket::RequestWrite() {
    if (m_pLock == nullptr || CVNTaskBase::GetCurrentTask() == m_pTask) {
        m_Socket.SetEvent(VN_EV_READ | VN_EV_WRITE, false);
        return;
    }
    // The pump belongs to the owner's thread and has no lock: registering from here would
    // race with its pass. Post the request instead. One call in flight is enough: it
    // clears the flag before it registers, so a Send that still sees the flag set queued
    // its packet before that registration, and the write report it brings covers it too.
    if (m_bWritePosted.exchange(true)) return;
    if (CVNTaskBase::PushTask(
            m_pTask, CScopeCall(m_pHolder, this, &CVNCombineTCPSocket::OnWriteWanted)) == 0) {
        m_bWritePosted.store(false);
    }
}

int CVNCombineTCPSocket::OnWriteWanted(CRefCount*) {
    m_bWritePosted.store(false);
    m_Socket.SetEvent(VN_EV_READ | VN_EV_WRITE, false);
    return 0;
}

// ---- Reports of m_Socket ----

void CVNCombineTCPSocket::OnSend(CVNITCPSocket*) {
    bool queued;
    {
        CVNAutolockex guard(m_pLock);
        queued = m_uSendPos != m_uSendLen;
        if (queued) SendQueued(m_Socket.GetSocket());
    }
    if (queued) {
        // The sink hears OnSend only on a write report that finds the queue empty, even
        // when this send emptied it: then it is told from the next one.
        m_Socket.SetEvent(VN_EV_READ | VN_EV_WRITE, false);
        return;
    }
    if (m_pSink != nullptr) m_pSink->OnSend(this);
}

void CVNCombineTCPSocket::OnClose(CVNITCPSocket*) {
    // m_Socket has closed its descriptor already; the duplicate goes too.
    {
        CVNAutolockex guard(m_pLock);
        if (m_nSendFd != -1) vnsocket_close(m_nSendFd);
        m_nSendFd = -1;
    }
    if (m_pSink != nullptr) m_pSink->OnClose(this);
}

void CVNCombineTCPSocket::OnRecv(CVNITCPSocket*) {
    // Without a packet description nothing is read: the data waits in the kernel.
    if (m_uPacketHeadLen == 0 || m_pgetpklenfun == nullptr || m_uMaxRecvPacketSize == 0) return;
    if (!EnsureRecvBuf()) return;
    if (m_uRecvPacketTotalLen == 0 && !ReadHead()) return;
    if (!ReadBody()) return;
    const unsigned int total = m_uRecvPacketTotalLen;
    m_uRecvLen = 0;
    m_uRecvPacketTotalLen = 0;
    // One packet per report: data still waiting makes the pump report again.
    if (m_pSink != nullptr) m_pSink->OnRecv(m_pRecvBuf, total, this);  // may delete this
}

bool CVNCombineTCPSocket::EnsureRecvBuf() {
    if (m_pRecvBuf != nullptr && m_uRecvBufSize >= m_uMaxRecvPacketSize) return true;
    // realloc keeps the bytes of a packet in progress (SetPacketInfo called late).
    char* p = static_cast<char*>(realloc(m_pRecvBuf, m_uMaxRecvPacketSize));
    if (p == nullptr) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "malloc m_pRecvBuf fail len[%u]",
               m_uMaxRecvPacketSize);
        Fail();  // nowhere to read to, and unread data would be reported for ever
        return false;
    }
    m_pRecvBuf = p;
    m_uRecvBufSize = m_uMaxRecvPacketSize;
    return true;
}

bool CVNCombineTCPSocket::ReadSome(unsigned int want) {
    // 0: nothing waits after all; -1: the end of the stream, which the pump reports next.
    const int n =
        vn::detail::socket_read_waiting(m_Socket.GetSocket(), m_pRecvBuf + m_uRecvLen, want);
    if (n <= 0) return false;
    m_uRecvLen += static_cast<unsigned int>(n);
    return true;
}

bool CVNCombineTCPSocket::ReadHead() {
    if (!ReadSome(m_uPacketHeadLen - m_uRecvLen) || m_uRecvLen != m_uPacketHeadLen) return false;
    unsigned int total = 0;
    if (!m_pgetpklenfun(m_pRecvBuf, m_uRecvLen, &total) || total < m_uPacketHeadLen) {
        syslog(VN_LOG_ERROR, kTag, __LINE__,
               "m_pgetpklenfun fail or m_uRecvPacketTotalLen[%u] < m_uPacketHeadLen[%u]", total,
               m_uPacketHeadLen);
        Fail();
        return false;
    }
    if (total >= MAX_PACKET_LEN) {
        syslog(VN_LOG_ERROR, kTag, __LINE__,
               "m_pgetpklenfun m_uRecvPacketTotalLen[%u] > MAX_PACKET_LEN[%u]", total,
               MAX_PACKET_LEN);
        Fail();
        return false;
    }
    if (total > m_uMaxRecvPacketSize) {
        const unsigned int size = total + kGrowSlack;  // below 2^20 + 128: no overflow
        syslog(VN_LOG_NOTICE, kTag, __LINE__, "Reset m_uMaxRecvPacketSize[%u->%u]",
               m_uMaxRecvPacketSize, size);
        char* p = static_cast<char*>(malloc(size));
        if (p == nullptr) {
            syslog(VN_LOG_ERROR, kTag, __LINE__, "malloc m_pRecvBuf fail len[%u]", size);
            Fail();
            return false;
        }
        memcpy(p, m_pRecvBuf, m_uRecvLen);
        free(m_pRecvBuf);
        m_pRecvBuf = p;
        m_uRecvBufSize = size;
        m_uMaxRecvPacketSize = size;
        RaiseRecvBuf(m_Socket.GetSocket(), size);
    }
    m_uRecvPacketTotalLen = total;
    return true;
}

bool CVNCombineTCPSocket::ReadBody() {
    // The body is read as it arrives: leaving it in the kernel until complete would keep
    // the pump reporting, and a packet larger than the kernel's buffer would never complete.
    if (m_uRecvLen < m_uRecvPacketTotalLen) ReadSome(m_uRecvPacketTotalLen - m_uRecvLen);
    return m_uRecvLen == m_uRecvPacketTotalLen;
}

// ---- Factories ----

CVNICombineTCPSocket* VNCreateCombineTCPSocket() {
    return new (std::nothrow) CVNCombineTCPSocket(false);
}

CVNICombineTCPSocket* VNCreateCombineTCPSocket_MutilThread() {
    return new (std::nothrow) CVNCombineTCPSocket(true);
}
