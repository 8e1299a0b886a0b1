// CHttpServerChannel: one connection of the embedded HTTP server (see
// vnhttpserverchannel_internal.h). Everything here runs on the channel thread, except the
// constructor (on "HttpSvr") and the address and length getters (any thread).
#include "http/server/vnhttpserverchannel_internal.h"

#include <sys/socket.h>

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "base/vnlog.h"
#include "base/vntime.h"
#include "http/common/vndatareader_internal.h"
#include "http/common/vndatawriter_internal.h"
#include "http/common/vnhttpinfoparser.h"
#include "http/server/vnhttpservertask_internal.h"
#include "net/vnhttptext_internal.h"
#include "net/vnnet.h"
#include "task/vntaskcall.h"

VN_TASK_CALL(CHttpServerChannel, Attach);
VN_TASK_CALL(CHttpServerChannel, Refuse);
VN_TASK_CALL(CHttpServerChannel, Accept_SendBuf);
VN_TASK_CALL(CHttpServerChannel, Post);
VN_TASK_CALL(CHttpServerChannel, Accept_SendFile);
VN_TASK_CALL(CHttpServerChannel, Accept_RecvFile);
VN_TASK_CALL(CHttpServerChannel, Accept_RecvBuff);
VN_TASK_CALL(CHttpServerChannel, Close);
VN_TASK_CALL(CHttpServerChannel, Destroy);

std::atomic<int> CHttpServerChannel::s_nChnCount{0};

namespace {

const char kTag[] = "HttSvrChn";

// Last occurrence of needle in hay[0, len), or -1.
int FindLast(const char* hay, unsigned int len, const char* needle, unsigned int n) {
    if (n == 0 || n > len) return -1;
    for (unsigned int i = len - n + 1; i-- > 0;) {
        if (hay[i] == needle[0] && memcmp(hay + i, needle, n) == 0) return static_cast<int>(i);
    }
    return -1;
}

// Whether an answer head announces "Connection: close".
bool SaysClose(const vn::strutf8& strHead) {
    int at = vn::detail::HttpFindHeader(strHead.c_str(), strHead.length(), "Connection");
    if (at < 0) return false;
    const char* p = strHead.c_str() + at;
    while (*p == ' ' || *p == '\t')
        ++p;
    return strncasecmp(p, "close", 5) == 0;
}

}  // namespace

CHttpServerChannel::CHttpServerChannel(CHttpServerTask* pTask, unsigned short uListenPort,
                                       unsigned long long uId)
    : m_pHolder(new CScopeHolder<CHttpServerChannel, 0, CRefCountSafe>(this)),
      m_uId(uId),
      m_uHeadTime(0),
      m_uTransferStart(0),
      m_uLastProgress(0),
      m_bProgress(false),
      m_nState(kStateAttaching),
      m_uContentLen(0),
      m_uRangeStart(0),
      m_pTask(pTask),
      m_pSocket(nullptr),
      m_pSink(nullptr),
      m_pReader(nullptr),
      m_pWriter(nullptr),
      m_bClosed(false),
      m_bHoldsSlot(false),
      m_bCloseAfterSend(false),
      m_bSendBufSet(false),
      m_bRecvBufSet(false),
      m_uListenPort(uListenPort),
      m_uPeerPort(0),
      m_pSendBuf(nullptr),
      m_uSendCap(0),
      m_uSendLen(0),
      m_uSendPos(0),
      m_pRecvBuf(nullptr),
      m_uRecvCap(0),
      m_uRecvLen(0) {
    m_pTask->AddUser(1);
    m_bHoldsSlot = true;
    int n = s_nChnCount.fetch_add(1, std::memory_order_relaxed) + 1;
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "Chn Construct, s_nChnCount [%d]", n);
    m_strIdText.format("Id [%llu]", uId);
}

CHttpServerChannel::~CHttpServerChannel() {
    m_pHolder->Clear();
    if (m_bHoldsSlot) m_pTask->AddUser(-1);
    int n = s_nChnCount.fetch_sub(1, std::memory_order_relaxed) - 1;
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "Chn Destory, s_nChnCount [%d]", n);
    delete m_pSocket;
    delete m_pReader;
    delete m_pWriter;
    free(m_pSendBuf);
    free(m_pRecvBuf);
    m_pHolder->Release();
}

void CHttpServerChannel::MarkClosed() {
    m_nState = kStateHead;
    if (m_bHoldsSlot) {
        // A closed channel holds no connection: its thread may take another one now,
        // not only once the pool's sweep has deleted it.
        m_bHoldsSlot = false;
        m_pTask->AddUser(-1);
    }
    free(m_pSendBuf);
    m_pSendBuf = nullptr;
    m_uSendCap = m_uSendLen = m_uSendPos = 0;
    free(m_pRecvBuf);
    m_pRecvBuf = nullptr;
    m_uRecvCap = m_uRecvLen = 0;
    m_bClosed.store(true, std::memory_order_release);
}

bool CHttpServerChannel::OnThread() const {
    return CVNTaskBase::GetCurrentTask() == m_pTask;
}

void CHttpServerChannel::GetLocalIP(vn::strutf8& strIP) {
    std::lock_guard<std::mutex> guard(m_infoLock);
    strIP = m_strLocalIP;
}

void CHttpServerChannel::GetPeerIP(vn::strutf8& strIP) {
    std::lock_guard<std::mutex> guard(m_infoLock);
    strIP = m_strPeerIP;
}

void CHttpServerChannel::Destroy() {
    // A stopped channel thread (the server going away) runs nothing more: delete here.
    if (!OnThread() && m_pTask->IsStarted()) {
        vn_task_call_CHttpServerChannelDestroy::Post(m_pTask, m_pHolder, this, nullptr);
        return;
    }
    delete this;
}

void CHttpServerChannel::Attach(int fd) {
    if (!OnThread()) {
        vn_task_call_CHttpServerChannelAttach::Post(m_pTask, m_pHolder, this, nullptr, fd);
        return;
    }
    unsigned int ip = 0;
    unsigned short port = 0;
    if (!vnsocket_getsockname(fd, &ip, &port)) ip = 0;
    vn::strutf8 strLocal(vnnet_iptostr(ip));
    unsigned int peer = 0;
    unsigned short peerPort = 0;
    if (!vnsocket_getpeername(fd, &peer, &peerPort)) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "getpeername fail ??? let it close");
        vnsocket_close(fd);
        MarkClosed();
        return;
    }
    vn::strutf8 strPeer(vnnet_iptostr(peer));
    {
        std::lock_guard<std::mutex> guard(m_infoLock);
        m_strLocalIP = strLocal;
        m_strPeerIP = strPeer;
    }
    m_uPeerPort = peerPort;
    if (m_pSocket == nullptr) {
        m_pSocket = VNCreateTCPSocket();
        m_pSocket->SetSink(this);
    }
    m_pSocket->Attach(fd);
    // An answer leaves as its head and then its body; with Nagle's algorithm the body
    // would wait for the peer's delayed acknowledgement of the head (about 40 ms) on every
    // request of a kept-alive connection. Set once per connection.
    m_pSocket->SetNoDelay(true);
    m_bClosed.store(false, std::memory_order_release);
    m_nState = kStateHead;
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s Start [%s:%d],set timeout[%d]", m_strIdText.c_str(),
           strPeer.c_str(), peerPort, kTimeoutMs);
    SetTimer(kTimeoutMs, 0);
}

bool CHttpServerChannel::AppendSendData(const char* pData, unsigned int uLen) {
    if (m_pSendBuf == nullptr) {
        unsigned int size = uLen + 1 > kSendBufSize ? uLen + 1 : kSendBufSize;
        m_pSendBuf = static_cast<char*>(malloc(size));
        if (m_pSendBuf == nullptr) {
            syslog(VN_LOG_ERROR, kTag, __LINE__, "%s AppendSendData malloc[%u] fail  ??????",
                   m_strIdText.c_str(), size);
            return false;
        }
        m_uSendCap = size - 1;
        m_uSendLen = 0;
        m_uSendPos = 0;
    }
    // Everything queued before has been sent (the buffer is rewound then), so the whole
    // capacity serves each answer head.
    if (m_uSendCap - m_uSendLen < uLen) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "%s AppendSendData fail left[%u] < ulen[%u]",
               m_strIdText.c_str(), m_uSendCap - m_uSendPos, uLen);
        return false;
    }
    memcpy(m_pSendBuf + m_uSendLen, pData, uLen);
    m_uSendLen += uLen;
    m_pSendBuf[m_uSendLen] = '\0';
    return true;
}

unsigned int CHttpServerChannel::GetCanRecvLen() {
    if (m_pRecvBuf == nullptr) {
        m_pRecvBuf = static_cast<char*>(malloc(kRecvBufSize));
        if (m_pRecvBuf == nullptr) {
            syslog(VN_LOG_ERROR, kTag, __LINE__, "%s GetCanRecvLen malloc[%u] fail  ??????",
                   m_strIdText.c_str(), kRecvBufSize);
            syslog(VN_LOG_ERROR, kTag, __LINE__, "%s uCanRecvLen == 0 ?????", m_strIdText.c_str());
            return 0;
        }
        m_uRecvCap = kRecvBufSize - 1;
        m_uRecvLen = 0;
    }
    unsigned int room = m_uRecvCap - m_uRecvLen;
    if (room == 0)
        syslog(VN_LOG_ERROR, kTag, __LINE__, "%s uCanRecvLen == 0 ?????", m_strIdText.c_str());
    return room;
}

void CHttpServerChannel::OnRecv(CVNITCPSocket* pSocket) {
    if (m_nState == kStateLingering) {
        char drop[16384];
        pSocket->Recv(drop, sizeof(drop));
        return;
    }
    if (m_nState != kStateHead && m_nState != kStateReceiving) {
        // Bytes that come while an answer is pending or going out belong to the next
        // request: leave them in the kernel until the head phase starts again.
        pSocket->SetEvent(VN_EV_READ, true);
        return;
    }
    bool bHead = m_nState == kStateHead;
    unsigned int room = GetCanRecvLen();
    if (room == 0) return;
    if (bHead) {
        unsigned int left = kMaxHeadLen > m_uRecvLen ? kMaxHeadLen - m_uRecvLen : 0;
        if (room > left) room = left;
    }
    // Reading up to the room gives what min(room, unread) would, one ioctl fewer.
    int n = room > 0 ? pSocket->Recv(m_pRecvBuf + m_uRecvLen, static_cast<int>(room)) : -1;
    if (n <= 0) return;
    SetTimer(kTimeoutMs, 0);
    m_uRecvLen += static_cast<unsigned int>(n);
    m_pRecvBuf[m_uRecvLen] = '\0';
    if (bHead) {
        CheckHead();
        return;
    }
    bool bDone = false;
    if (!WriteContent(bDone)) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "%s WriteContent fail", m_strIdText.c_str());
        NotifyComplete(kCodeWriteFail);
        return;
    }
    if (bDone) {
        syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s OnRecv Complete", m_strIdText.c_str());
        NotifyComplete(kCodeOk);
        return;
    }
    ReportProgress();
}

int CHttpServerChannel::ParseHead(const char* pData, unsigned int uLen, unsigned int& uUsed,
                                  vn::strutf8& strHead, unsigned long long& uContentLen,
                                  vn::strutf8& strBoundary, unsigned long long& uRangeStart) {
    unsigned int uHeadStart = 0, uHeadLen = 0;
    uContentLen = 0;
    strBoundary.clear();
    if (!CHttpInfoParser::GetHttpHeadInfo(pData, uLen, uHeadStart, uHeadLen, uContentLen,
                                          strBoundary) ||
        uHeadLen == 0 || uHeadStart > uLen || uHeadLen > uLen - uHeadStart) {
        return uLen >= kMaxHeadLen ? -1 : 0;
    }
    strHead.assign(pData + uHeadStart, uHeadLen);
    uUsed = uHeadStart + uHeadLen;
    uRangeStart = 0;
    // A Range value that does not parse leaves the start at 0: the whole data is sent.
    if (!CHttpInfoParser::GetRange(strHead, uRangeStart)) uRangeStart = 0;
    return 1;
}

void CHttpServerChannel::CheckHead() {
    unsigned int used = 0;
    unsigned long long uContentLen = 0;
    int found = ParseHead(m_pRecvBuf, m_uRecvLen, used, m_strHead, uContentLen, m_strBoundary,
                          m_uRangeStart);
    if (found < 0) {
        syslog(VN_LOG_ERROR, kTag, __LINE__,
               "%s already recv len[%u],but yet not recv Head Complete,let it Error\r\n%s",
               m_strIdText.c_str(), static_cast<unsigned int>(kMaxHeadLen), m_pRecvBuf);
        if (m_pSocket != nullptr) m_pSocket->Close();
        NotifyComplete(kCodeHeadTooLong);
        return;
    }
    if (found == 0) return;
    syslog(VN_LOG_DEBUG, kTag, __LINE__, "%s Recv Head \r\n%s", m_strIdText.c_str(),
           m_strHead.c_str());
    m_uContentLen.store(uContentLen, std::memory_order_relaxed);
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s GetContentLength [%llu]", m_strIdText.c_str(),
           uContentLen);
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s GetRange [%llu]", m_strIdText.c_str(), m_uRangeStart);
    m_uRecvLen -= used;
    if (m_uRecvLen > 0) memmove(m_pRecvBuf, m_pRecvBuf + used, m_uRecvLen);
    m_pRecvBuf[m_uRecvLen] = '\0';
    m_pSocket->SetEvent(VN_EV_READ | VN_EV_WRITE, true);
    KillTimer(0xFFFFFFFFu);
    m_nState = kStateWaiting;
    m_uHeadTime = vn_gettickcount();
    if (m_pSink != nullptr) {
        // Only this thread writes the address texts, so it reads them without the lock.
        m_pSink->OnRequest(m_uId, m_strHead, m_uListenPort, m_strLocalIP, m_strPeerIP, m_uPeerPort);
    }
}

bool CHttpServerChannel::RefuseWhenClosed() {
    if (IsClosed() || m_pSocket == nullptr || m_pSocket->GetSocket() == -1) {
        // Nothing can be sent or received any more: report at once rather than after the
        // time-out.
        syslog(VN_LOG_WARNING, kTag, __LINE__, "%s answer for a closed connection",
               m_strIdText.c_str());
        if (m_pSink != nullptr) m_pSink->OnComplete(m_uId, m_strHead, vn::strutf8(), kCodeClosed);
        return true;
    }
    if (m_nState == kStateSending || m_nState == kStateReceiving) {
        // A second answer for one request; the transfer under way keeps going.
        syslog(VN_LOG_ERROR, kTag, __LINE__, "%s answer while a transfer runs, ignored",
               m_strIdText.c_str());
        return true;
    }
    // The answer's transfer starts now, also for the log line of one that fails at once.
    m_uTransferStart = vn_gettickcount();
    return false;
}

bool CHttpServerChannel::SetMemoryBody(const vn::strutf8& strBody) {
    delete m_pReader;
    m_pReader = nullptr;
    if (strBody.empty()) return true;
    m_pReader = new CDataReader(static_cast<unsigned int>(m_uId));
    m_pReader->SetBuffer(strBody.c_str(), strBody.length());
    if (m_uRangeStart != 0 &&
        (m_uRangeStart >= m_pReader->GetLength() || !m_pReader->Advance(m_uRangeStart))) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "%s MoveSendPos[%llu] len[%llu]fail,let's err",
               m_strIdText.c_str(), m_uRangeStart, m_pReader->GetLength());
        NotifyComplete(kCodeReadFail);
        return false;
    }
    return true;
}

void CHttpServerChannel::Refuse(const vn::strutf8& strText, int nCode) {
    if (!OnThread()) {
        vn_task_call_CHttpServerChannelRefuse::Post(m_pTask, m_pHolder, this, nullptr, strText,
                                                    nCode);
        return;
    }
    if (RefuseWhenClosed()) return;
    vn::strutf8 head = CHttpInfoParser::MakeSvrResHead(static_cast<unsigned int>(nCode),
                                                       strText.length(), 0, 0, 0);
    AppendSendData(head.c_str(), head.length());
    m_bCloseAfterSend = SaysClose(head);
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s Refuse \r\n%s%s", m_strIdText.c_str(), head.c_str(),
           strText.c_str());
    delete m_pReader;
    m_pReader = nullptr;
    if (!strText.empty()) {
        m_pReader = new CDataReader(static_cast<unsigned int>(m_uId));
        m_pReader->SetBuffer(strText.c_str(), strText.length());
    }
    m_bProgress = false;  // nobody hears of a refusal's progress
    m_nState = kStateSending;
    // The designed refusal sets no timer; a peer that never reads would then hold the
    // connection, so the time-out guards it as it guards every other answer.
    SetTimer(kTimeoutMs, 0);
    SendData();
}

void CHttpServerChannel::Accept_SendBuf(const vn::strutf8& strData, bool bProgress) {
    if (!OnThread()) {
        vn_task_call_CHttpServerChannelAccept_SendBuf::Post(m_pTask, m_pHolder, this, nullptr,
                                                            strData, bProgress);
        return;
    }
    if (RefuseWhenClosed()) return;
    // A Range request gets 206 with its Content-Range, like a file: a 200 head would
    // announce more bytes than follow. The connection is kept alive as for a file: the
    // designed "Connection: close" made every small answer cost a new connection.
    unsigned int code = m_uRangeStart != 0 ? 206 : 200;
    vn::strutf8 head = CHttpInfoParser::MakeSvrResHead(code, strData.length(), 1, 0,
                                                       static_cast<long long>(m_uRangeStart));
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s Accept_SendBuf \r\n%s", m_strIdText.c_str(),
           strData.c_str());
    if (m_uRangeStart != 0 && m_uRangeStart >= strData.length()) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "%s MoveSendPos[%llu] len[%llu]fail,let's err",
               m_strIdText.c_str(), m_uRangeStart,
               static_cast<unsigned long long>(strData.length()));
        NotifyComplete(kCodeReadFail);
        return;
    }
    AppendSendData(head.c_str(), head.length());
    m_bCloseAfterSend = SaysClose(head);
    if (!SetMemoryBody(strData)) return;
    StartSending(bProgress);
}

void CHttpServerChannel::Post(const vn::strutf8& strHead, const vn::strutf8& strBody,
                              bool bProgress) {
    if (!OnThread()) {
        vn_task_call_CHttpServerChannelPost::Post(m_pTask, m_pHolder, this, nullptr, strHead,
                                                  strBody, bProgress);
        return;
    }
    if (RefuseWhenClosed()) return;
    AppendSendData(strHead.c_str(), strHead.length());
    m_bCloseAfterSend = SaysClose(strHead);
    // The caller's own head says what follows it, so the body goes out whole; a Range of
    // the request is the caller's to honour.
    m_uRangeStart = 0;
    if (!SetMemoryBody(strBody)) return;
    StartSending(bProgress);
}

void CHttpServerChannel::Accept_SendFile(const vn::strutf8& strPath, bool bProgress) {
    if (!OnThread()) {
        vn_task_call_CHttpServerChannelAccept_SendFile::Post(m_pTask, m_pHolder, this, nullptr,
                                                             strPath, bProgress);
        return;
    }
    if (RefuseWhenClosed()) return;
    m_strSendPath = strPath;
    delete m_pReader;
    m_pReader = new CDataReader(static_cast<unsigned int>(m_uId));
    if (!m_pReader->SetFileName(strPath.c_str())) {
        NotifyComplete(kCodeOpenSendFail);
        return;
    }
    if (m_uRangeStart > 0 &&
        (m_uRangeStart >= m_pReader->GetLength() || !m_pReader->Advance(m_uRangeStart))) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "%s MoveSendPos[%llu] len[%llu]fail,let's err",
               m_strIdText.c_str(), m_uRangeStart, m_pReader->GetLength());
        NotifyComplete(kCodeReadFail);
        return;
    }
    unsigned int code = m_uRangeStart > 0 ? 206 : 200;
    vn::strutf8 head = CHttpInfoParser::MakeSvrResHead(code, m_pReader->GetLength(), 1, 0,
                                                       static_cast<long long>(m_uRangeStart));
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s Accept_SendFile Head Code[%d]", m_strIdText.c_str(),
           code);
    AppendSendData(head.c_str(), head.length());
    m_bCloseAfterSend = SaysClose(head);
    syslog(VN_LOG_DEBUG, kTag, __LINE__, "http response header: %s", head.c_str());
    StartSending(bProgress);
}

void CHttpServerChannel::StartSending(bool bProgress) {
    m_bProgress = bProgress;
    m_uTransferStart = vn_gettickcount();
    if (!m_bSendBufSet) {
        // Once per connection: the size stays with the socket, and two system calls per
        // answer would show on small answers.
        m_bSendBufSet = true;
        m_pSocket->SetSendBufSize(kSocketBufSize);
        int size = 0;
        m_pSocket->GetSendBufSize(&size);
        syslog(VN_LOG_NOTICE, kTag, __LINE__, "SendBufferSize is %d", size);
    }
    m_nState = kStateSending;
    SetTimer(kTimeoutMs, 0);
    // The socket is almost always writable now: sending at once saves a pass through the
    // pump. A full socket buffer leaves the rest to OnSend (every Send asks for it).
    SendData();
}

void CHttpServerChannel::OnSend(CVNITCPSocket*) {
    if (m_nState == kStateSending) SendData();
}

void CHttpServerChannel::SendData() {
    if (m_uSendPos == 0 && m_uSendLen > 0) JoinSmallBody();
    if (m_uSendPos < m_uSendLen) {
        int n = m_pSocket->Send(m_pSendBuf + m_uSendPos, static_cast<int>(m_uSendLen - m_uSendPos));
        if (n < 0) return;
        m_uSendPos += static_cast<unsigned int>(n);
        if (m_uSendPos < m_uSendLen) return;
        // Everything queued has left: rewind, so the buffer serves every later answer.
        m_uSendPos = 0;
        m_uSendLen = 0;
    }
    if (m_pReader == nullptr || m_pReader->IsEnd()) {
        // No body, or an empty one: the answer is complete once its head has left.
        NotifyComplete(kCodeOk);
        return;
    }
    const char* p = nullptr;
    unsigned int n = 0;
    if (!m_pReader->GetNextBlock(p, n) || n == 0) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "%s SendData Read Fail", m_strIdText.c_str());
        NotifyComplete(kCodeReadFail);
        return;
    }
    int sent = m_pSocket->Send(p, static_cast<int>(n));
    if (sent < 0) return;
    m_pReader->Advance(static_cast<unsigned long long>(sent));
    SetTimer(kTimeoutMs, 0);
    if (m_pReader->IsEnd()) {
        NotifyComplete(kCodeOk);
        return;
    }
    ReportProgress();
}

void CHttpServerChannel::JoinSmallBody() {
    // A small answer goes out in one send with its head: one system call and one segment
    // instead of two, which is most of the cost of a small answer on a kept connection.
    if (m_pReader == nullptr || m_pReader->IsEnd()) return;
    if (m_pReader->GetLength() - m_pReader->GetPosition() > kJoinBodyMax) return;
    const char* p = nullptr;
    unsigned int n = 0;
    if (!m_pReader->GetNextBlock(p, n) || n == 0 || n > m_uSendCap - m_uSendLen) return;
    memcpy(m_pSendBuf + m_uSendLen, p, n);
    m_uSendLen += n;
    m_pSendBuf[m_uSendLen] = '\0';
    m_pReader->Advance(n);
}

void CHttpServerChannel::StartReceiving(bool bProgress) {
    m_bProgress = bProgress;
    m_uTransferStart = vn_gettickcount();
    if (!m_bRecvBufSet) {
        m_bRecvBufSet = true;
        m_pSocket->SetRecvBufSize(kSocketBufSize);
        int size = 0;
        m_pSocket->GetRecvBufSize(&size);
        syslog(VN_LOG_NOTICE, kTag, __LINE__, "RecvBufferSize is %d", size);
    }
    m_nState = kStateReceiving;
    m_pSocket->SetEvent(VN_EV_READ, false);
    SetTimer(kTimeoutMs, 0);
}

void CHttpServerChannel::Accept_RecvFile(const vn::strutf8& strBody, const vn::strutf8& strPath,
                                         bool bProgress) {
    if (!OnThread()) {
        vn_task_call_CHttpServerChannelAccept_RecvFile::Post(m_pTask, m_pHolder, this, nullptr,
                                                             strBody, strPath, bProgress);
        return;
    }
    if (RefuseWhenClosed()) return;
    vn::strutf8 head = CHttpInfoParser::MakeSvrResHead(200, strBody.length(), 1, 0, 0);
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s Accept_RecvFile Head Code[%d]", m_strIdText.c_str(),
           200);
    AppendSendData(head.c_str(), head.length());
    m_bCloseAfterSend = SaysClose(head);
    delete m_pReader;
    m_pReader = nullptr;
    if (!strBody.empty()) {
        m_pReader = new CDataReader(static_cast<unsigned int>(m_uId));
        m_pReader->SetBuffer(strBody.c_str(), strBody.length());
    }
    m_strRecvPath = strPath;
    delete m_pWriter;
    m_pWriter = new HttpResponseDataWriter(static_cast<unsigned int>(m_uId));
    m_bProgress = bProgress;
    if (!m_pWriter->OpenFile(strPath.c_str())) {
        m_uTransferStart = vn_gettickcount();
        NotifyComplete(kCodeOpenRecvFail);
        return;
    }
    StartReceiving(bProgress);
    // Body bytes that came with the head are written now: when the whole body came with
    // it, no further read would ever finish the transfer.
    bool bDone = false;
    if (!WriteContent(bDone)) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "%s WriteContent fail", m_strIdText.c_str());
        NotifyComplete(kCodeWriteFail);
    } else if (bDone) {
        syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s OnRecv Complete", m_strIdText.c_str());
        NotifyComplete(kCodeOk);
    }
}

void CHttpServerChannel::Accept_RecvBuff(const vn::strutf8& strText, bool bProgress) {
    if (!OnThread()) {
        vn_task_call_CHttpServerChannelAccept_RecvBuff::Post(m_pTask, m_pHolder, this, nullptr,
                                                             strText, bProgress);
        return;
    }
    if (RefuseWhenClosed()) return;
    delete m_pWriter;
    m_pWriter = new HttpResponseDataWriter(static_cast<unsigned int>(m_uId));
    m_uTransferStart = vn_gettickcount();
    bool bDone = false;
    if (!WriteContent(bDone)) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "%s WriteContent fail", m_strIdText.c_str());
        NotifyComplete(kCodeWriteFail);
        return;
    }
    if (bDone) {
        syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s OnRecv Complete", m_strIdText.c_str());
        NotifyComplete(kCodeOk);
        return;
    }
    StartReceiving(bProgress);
}

void CHttpServerChannel::FindMultipartEnd(const char* pData, unsigned int uLen,
                                          const vn::strutf8& strBoundary,
                                          unsigned long long uContentLen,
                                          unsigned long long uWritten, bool bHaveWriter,
                                          bool& bFound, unsigned int& uCut, unsigned int& uKeep) {
    bFound = false;
    uCut = 0;
    if (strBoundary.empty() || !bHaveWriter) return;
    if (uContentLen != 0) {
        unsigned long long have = static_cast<unsigned long long>(uLen) + uWritten;
        unsigned long long toCome = uContentLen > have ? uContentLen - have : 0;
        if (toCome > kMultipartTail) return;
    }
    uKeep = kMultipartTail;
    // Room for the end delimiter at least ("\r\n--" boundary "--\r\n"). The designed
    // bound (a part delimiter and the end delimiter) left a small single-file upload held
    // back for good.
    if (uLen < strBoundary.length() + 8) return;
    unsigned int tailLen = uLen < kMultipartTail ? uLen : static_cast<unsigned int>(kMultipartTail);
    const char* tail = pData + (uLen - tailLen);
    vn::strutf8 end, part;
    end.format("\r\n--%s--\r\n", strBoundary.c_str());
    part.format("\r\n--%s\r\n", strBoundary.c_str());
    int atEnd = FindLast(tail, tailLen, end.c_str(), end.length());
    if (atEnd < 0) return;
    int atPart = FindLast(tail, tailLen, part.c_str(), part.length());
    bFound = true;
    if (atPart >= 0 && atPart < atEnd) {
        // A small last part before the end delimiter stays out of the file.
        uCut = tailLen - static_cast<unsigned int>(atPart);
    } else {
        // The end delimiter follows the data directly (one file, as curl -F and browsers
        // send it): everything before the delimiter is the file's.
        uCut = tailLen - static_cast<unsigned int>(atEnd);
    }
}

bool CHttpServerChannel::WriteContent(bool& bDone) {
    bDone = false;
    if (m_uRecvLen == 0) return true;
    unsigned int uKeep = 0;
    if (!m_strBoundary.empty()) {
        bool bFound = false;
        unsigned int uCut = 0;
        FindMultipartEnd(m_pRecvBuf, m_uRecvLen, m_strBoundary, GetContentLen(),
                         m_pWriter != nullptr ? m_pWriter->GetWrittenBytes() : 0,
                         m_pWriter != nullptr, bFound, uCut, uKeep);
        if (bFound) {
            unsigned int n = m_uRecvLen - uCut;
            if (n > 0 && !m_pWriter->Write(m_pRecvBuf, n)) {
                syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s Write left Content Len[%u] FAIL",
                       m_strIdText.c_str(), n);
                return false;
            }
            m_uRecvLen = 0;
            bDone = true;
            return true;
        }
    }
    if (m_pWriter == nullptr)
        m_pWriter = new HttpResponseDataWriter(static_cast<unsigned int>(m_uId));
    if (m_uRecvLen <= uKeep) return true;
    unsigned int n = m_uRecvLen - uKeep;
    unsigned long long uContentLen = GetContentLen();
    if (m_strBoundary.empty() && uContentLen != 0) {
        // Bytes past the announced length are not the body's; they never reach the file.
        unsigned long long rest = uContentLen > m_pWriter->GetWrittenBytes()
                                      ? uContentLen - m_pWriter->GetWrittenBytes()
                                      : 0;
        if (n > rest) n = static_cast<unsigned int>(rest);
    }
    if (n > 0 && !m_pWriter->Write(m_pRecvBuf, n)) {
        syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s Write Content Len[%u] FAIL", m_strIdText.c_str(),
               n);
        return false;
    }
    m_uRecvLen -= n;
    if (m_uRecvLen > 0) memmove(m_pRecvBuf, m_pRecvBuf + n, m_uRecvLen);
    m_pRecvBuf[m_uRecvLen] = '\0';
    if (uContentLen == 0) return true;
    bDone = m_pWriter->GetWrittenBytes() >= uContentLen;
    return true;
}

void CHttpServerChannel::ReportProgress() {
    if (!m_bProgress || m_pSink == nullptr) return;
    unsigned int now = vn_gettickcount();
    if (m_uLastProgress != 0 && now - m_uLastProgress < 1000) return;
    unsigned long long elapsed = now - m_uTransferStart;
    if (m_nState == kStateReceiving) {
        if (m_pWriter == nullptr) return;
        unsigned long long done = m_pWriter->GetWrittenBytes();
        unsigned long long speed = elapsed != 0 ? done * 1000 / elapsed : 0;
        m_pSink->OnProgress(m_uId, done, GetContentLen(), static_cast<unsigned int>(speed));
    } else {
        if (m_pReader == nullptr) return;
        unsigned long long pos = m_pReader->GetPosition();
        unsigned long long sent = pos > m_uRangeStart ? pos - m_uRangeStart : 0;
        unsigned long long speed = elapsed != 0 ? sent * 1000 / elapsed : 0;
        m_pSink->OnProgress(m_uId, pos, m_pReader->GetLength(), static_cast<unsigned int>(speed));
    }
    m_uLastProgress = now;
}

void CHttpServerChannel::NotifyComplete(int nCode) {
    unsigned int now = vn_gettickcount();
    unsigned int uAccept = m_uTransferStart - m_uHeadTime;
    unsigned int uTransfer = now - m_uTransferStart;
    // A received file is complete on disk before anybody hears of it.
    if (m_pWriter != nullptr && m_pWriter->IsFileOpen()) {
        if (nCode == kCodeOk && !m_pWriter->Flush()) nCode = kCodeWriteFail;
        m_pWriter->CloseFile();
    }
    // An answer queued by Accept_RecvFile goes out before the transfer completes.
    if (nCode == kCodeOk && m_nState == kStateReceiving &&
        (m_uSendPos < m_uSendLen || (m_pReader != nullptr && !m_pReader->IsEnd()))) {
        m_nState = kStateSending;
        m_pSocket->SetEvent(VN_EV_READ, true);
        SetTimer(kTimeoutMs, 0);
        SendData();
        return;
    }
    unsigned long long size = 0;
    vn::strutf8 desc(" ");
    if (!m_strRecvPath.empty()) {
        size = m_pWriter != nullptr ? m_pWriter->GetWrittenBytes() : 0;
        desc.format("recv file[%s]", m_strRecvPath.c_str());
    } else if (!m_strSendPath.empty()) {
        unsigned long long pos = m_pReader != nullptr ? m_pReader->GetPosition() : 0;
        size = pos > m_uRangeStart ? pos - m_uRangeStart : 0;
        desc.format("send file[%s]", m_strSendPath.c_str());
    }
    unsigned int uSpeed =
        uTransfer != 0 ? static_cast<unsigned int>((size * 1000 / uTransfer) / 1024) : 0;
    if (m_pSink != nullptr) {
        vn::strutf8 data;
        if (m_pWriter != nullptr && m_pWriter->GetMode() == HttpResponseDataWriter::kModeMemory &&
            m_pWriter->GetBufferLen() > 0) {
            data.assign(m_pWriter->GetBuffer(), m_pWriter->GetBufferLen());
        }
        m_pSink->OnComplete(m_uId, m_strHead, data, nCode);
    }
    m_strHead.clear();
    m_strBoundary.clear();
    m_uRecvLen = 0;
    if (m_pRecvBuf != nullptr) m_pRecvBuf[0] = '\0';
    m_uSendLen = 0;
    m_uSendPos = 0;
    if (nCode != kCodeOk) {
        syslog(VN_LOG_ERROR, kTag, __LINE__,
               "%s $$$$$$$ Notify Complete Code[%d] size[%u] Accept [%u]ms Transfer[%u]ms "
               "Speed[%u]k(byte)/s \r\n%s",
               m_strIdText.c_str(), nCode, static_cast<unsigned int>(size), uAccept, uTransfer,
               uSpeed, desc.c_str());
        if (m_pSocket != nullptr) m_pSocket->Close();
        MarkClosed();
    } else {
        syslog(VN_LOG_NOTICE, kTag, __LINE__,
               "%s Complete len[%u] Accept[%u]ms Trans[%u]ms Speed[%u]k/s \r\n%s",
               m_strIdText.c_str(), static_cast<unsigned int>(size), uAccept, uTransfer, uSpeed,
               desc.c_str());
        m_nState = kStateHead;
        if (m_pSocket == nullptr) {
        } else if (m_bCloseAfterSend) {
            // The answer said "Connection: close": the peer expects the end of the stream.
            BeginLingeringClose();
        } else {
            m_pSocket->SetEvent(VN_EV_READ | VN_EV_WRITE, false);
        }
    }
    m_bCloseAfterSend = false;
    // Each transfer describes itself: a later answer on this connection must not report
    // progress or log lines against an earlier transfer's file.
    m_strRecvPath.clear();
    m_strSendPath.clear();
    delete m_pWriter;
    m_pWriter = nullptr;
    if (m_pReader != nullptr) m_pReader->CloseFile();
    delete m_pReader;
    m_pReader = nullptr;
    KillTimer(0xFFFFFFFFu);
    if (m_nState == kStateLingering) SetTimer(kLingerMs, 0);
}

void CHttpServerChannel::BeginLingeringClose() {
    // Closing at once while request bytes are still unread (a refused upload) makes the
    // kernel reset the connection, and a reset can destroy the answer before the peer has
    // read it. So the answer is ended with a FIN, what the peer still sends is read and
    // dropped, and the connection is closed when the peer closes or after kLingerMs.
    int fd = m_pSocket->GetSocket();
    if (fd == -1 || shutdown(fd, SHUT_WR) != 0) {
        m_pSocket->Close();
        MarkClosed();
        return;
    }
    m_nState = kStateLingering;
    m_pSocket->SetEvent(VN_EV_WRITE, true);
    m_pSocket->SetEvent(VN_EV_READ, false);
}

void CHttpServerChannel::Close() {
    if (!OnThread()) {
        vn_task_call_CHttpServerChannelClose::Post(m_pTask, m_pHolder, this, nullptr);
        return;
    }
    if (m_pSocket != nullptr) m_pSocket->Close();
    KillTimer(0xFFFFFFFFu);
    MarkClosed();
}

void CHttpServerChannel::OnTimer(unsigned int) {
    if (m_nState == kStateLingering) {
        KillTimer(0xFFFFFFFFu);
        m_pSocket->Close();
        MarkClosed();
        return;
    }
    syslog(VN_LOG_ERROR, kTag, __LINE__, "%s OnTimer out !!!", m_strIdText.c_str());
    NotifyComplete(kCodeTimeout);
}

void CHttpServerChannel::OnClose(CVNITCPSocket*) {
    if (m_nState == kStateLingering) {
        // The peer has read the answer and closed: nothing to report.
        KillTimer(0xFFFFFFFFu);
        MarkClosed();
        return;
    }
    syslog(VN_LOG_ERROR, kTag, __LINE__, "%s OnClose !!!!", m_strIdText.c_str());
    NotifyComplete(kCodeClosed);
}
