// CHttpServerChannel: one connection of the embedded HTTP server (see
// vnhttpserverchannel_internal.h). Everything here runs on the channel thread, except the
// constructor (on "HttpSvr") and the address and length getters (any thread).
#include "http/server/vnhttpserverchannel_internal.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "base/vnlog.h"
#include "base/vntime.h"
#include "http/common/vndatareader_internal.h"
#include "http/common/vndatawriter_internal.h"
#include "http/common/vnhttpinfoparser.h"
#include "http/common/vnhttpinfoparser_internal.h"
#include "http/server/vnhttpservertask_internal.h"
#include "net/vnhttphead.h"
#include "net/vnhttprange.h"
#include "net/vnnet.h"
#include "net/vntlssocket_internal.h"
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
const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
// m_nCodeAfterSend when the answer going out is not an error answer of the channel's own.
constexpr int kNoErrorAnswer = -2;

// Whether a caller-built answer head lets the connection go on. A head that does not even
// parse gives the peer no reliable framing: the connection ends after it.
bool HeadKeepsConnection(const vn::strutf8& strHead) {
    CHttpHead head;
    size_t used = 0;
    if (head.ParseResponse(strHead.c_str(), strHead.length(), strHead.length() + 1, &used) !=
        CHttpHead::kComplete) {
        return false;
    }
    return !head.HasToken("Connection", "close");
}

// A file opened for an answer: the descriptor is closed by Close or with the object.
class AnswerFile {
public:
    // O_NONBLOCK: the open of a FIFO (a file replaced since the caller looked) returns at once
    // instead of blocking the channel thread; it is then refused as not regular. Reads of a
    // regular file ignore the flag, so it is not cleared.
    explicit AnswerFile(const char* pszPath)
        : m_fd(open(pszPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC)), m_uSize(0) {
        struct stat st;
        if (m_fd != -1 && fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode)) {
            m_uSize = static_cast<unsigned long long>(st.st_size);
        }
    }
    ~AnswerFile() { Close(); }
    AnswerFile(const AnswerFile&) = delete;
    AnswerFile& operator=(const AnswerFile&) = delete;

    void Close() {
        if (m_fd != -1) close(m_fd);
        m_fd = -1;
    }

    // 0 when the file did not open, is not regular or is empty (none is an answer body).
    unsigned long long GetSize() const { return m_uSize; }
    // Reads exactly uLen bytes at uOffset; false when the file ends before (it shrank).
    bool ReadAt(char* pDest, size_t uLen, unsigned long long uOffset) const {
        while (uLen > 0) {
            ssize_t n = pread(m_fd, pDest, uLen, static_cast<off_t>(uOffset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            pDest += n;
            uLen -= static_cast<size_t>(n);
            uOffset += static_cast<unsigned long long>(n);
        }
        return true;
    }

private:
    int m_fd;
    unsigned long long m_uSize;
};

}  // namespace

CHttpServerChannel::CHttpServerChannel(CHttpServerTask* pTask, unsigned short uListenPort,
                                       unsigned long long uId, CHttpBodyBudget* pBudget)
    : m_pHolder(new CScopeHolder<CHttpServerChannel, 0, CRefCountSafe>(this)),
      m_uId(uId),
      m_uHeadTime(0),
      m_uTransferStart(0),
      m_uLastProgress(0),
      m_bProgress(false),
      m_nState(kStateAttaching),
      m_uContentLen(0),
      m_bLengthKnown(true),
      m_uRangeStart(0),
      m_uInlineBody(0),
      m_pTask(pTask),
      m_pSocket(nullptr),
      m_pTlsSocket(nullptr),
      m_pTls(nullptr),
      m_pSink(nullptr),
      m_pBudget(pBudget),
      m_uReserved(0),
      m_pReader(nullptr),
      m_pWriter(nullptr),
      m_nCodeAfterSend(kNoErrorAnswer),
      m_uDrained(0),
      m_bClosed(false),
      m_bHoldsSlot(false),
      m_bCloseAfterSend(false),
      m_bContinueSent(false),
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
      m_uRecvLen(0),
      m_uRecvPos(0) {
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
    if (m_pTls != nullptr) m_pTls->Release();
    delete m_pReader;
    delete m_pWriter;  // a received file never put in place is removed with it
    if (m_uReserved != 0) m_pBudget->Release(m_uReserved);
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
    m_uRecvCap = m_uRecvLen = m_uRecvPos = 0;
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

void CHttpServerChannel::SetTls(vn::detail::CTlsContext* pTls) {
    pTls->AddRef();
    if (m_pTls != nullptr) m_pTls->Release();
    m_pTls = pTls;
}

void CHttpServerChannel::Attach(int fd) {
    if (!OnThread()) {
        vn_task_call_CHttpServerChannelAttach::Post(m_pTask, m_pHolder, this, nullptr, fd);
        return;
    }
    // Text of either family: a port listening on every address is a dual-stack IPv6 socket,
    // whose IPv4 peers come out dotted as on an IPv4 socket.
    char local[64] = "0.0.0.0";  // kept when the query fails (it writes nothing then)
    vnsocket_getsockaddr(fd, local, sizeof(local), nullptr);
    vn::strutf8 strLocal(local);
    char peer[64];
    unsigned short peerPort = 0;
    if (!vnsocket_getpeeraddr(fd, peer, sizeof(peer), &peerPort)) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "getpeername fail ??? let it close");
        vnsocket_close(fd);
        MarkClosed();
        return;
    }
    vn::strutf8 strPeer(peer);
    {
        std::lock_guard<std::mutex> guard(m_infoLock);
        m_strLocalIP = strLocal;
        m_strPeerIP = strPeer;
    }
    m_uPeerPort = peerPort;
    if (m_pSocket == nullptr) {
        if (m_pTls != nullptr) {
            // The handshake runs under the same time-out as a request head: a peer that
            // never finishes it (or speaks plain text) is closed like an idle one.
            m_pTlsSocket = new CVNTLSSocket(m_pTls, "", 0);
            m_pSocket = m_pTlsSocket;
        } else {
            m_pSocket = VNCreateTCPSocket();
        }
        m_pSocket->SetSink(this);
    }
    if (!m_pSocket->Attach(fd)) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "%s Attach failed, closed", m_strIdText.c_str());
        m_pSocket->Close();
        MarkClosed();
        return;
    }
    // An answer leaves as its head and then its body; with Nagle's algorithm the body
    // would wait for the peer's delayed acknowledgement of the head (about 40 ms) on every
    // request of a kept-alive connection. Set once per connection.
    m_pSocket->SetNoDelay(true);
    m_bClosed.store(false, std::memory_order_release);
    m_request.Reset();
    m_nState = kStateHead;
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s Start [%s:%d],set timeout[%d]", m_strIdText.c_str(),
           strPeer.c_str(), peerPort, kTimeoutMs);
    SetTimer(kTimeoutMs, 0);
}

// ---- Buffers ----

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
        m_uRecvLen = m_uRecvPos = 0;
    }
    if (m_uRecvPos > 0) {
        // What is left unconsumed (a partial head or chunk line) moves to the front.
        m_uRecvLen -= m_uRecvPos;
        memmove(m_pRecvBuf, m_pRecvBuf + m_uRecvPos, m_uRecvLen);
        m_uRecvPos = 0;
        m_pRecvBuf[m_uRecvLen] = '\0';
    }
    unsigned int room = m_uRecvCap - m_uRecvLen;
    if (room == 0)
        syslog(VN_LOG_ERROR, kTag, __LINE__, "%s uCanRecvLen == 0 ?????", m_strIdText.c_str());
    return room;
}

void CHttpServerChannel::Consume(size_t n) {
    m_uRecvPos += static_cast<unsigned int>(n);
    if (m_uRecvPos == m_uRecvLen) m_uRecvPos = m_uRecvLen = 0;
}

// ---- Reading requests ----

void CHttpServerChannel::OnRecv(CVNITCPSocket* pSocket) {
    if (m_nState == kStateLingering) {
        char drop[16384];
        pSocket->Recv(drop, sizeof(drop));
        return;
    }
    bool bHead = m_nState == kStateHead;
    if (!bHead && m_nState != kStateReceiving && m_nState != kStateDraining) {
        // Bytes that come while an answer is pending or going out belong to the next
        // request: leave them in the kernel until the head phase starts again.
        pSocket->SetEvent(VN_EV_READ, true);
        return;
    }
    unsigned int room = GetCanRecvLen();
    if (bHead) {
        // A head is read in pieces of at most kMaxHead bytes in all: a client cannot make
        // the channel hold more before the caller has decided.
        unsigned int left = CHttpRequestReader::kMaxHead > BufferedLen()
                                ? CHttpRequestReader::kMaxHead - BufferedLen()
                                : 0;
        if (room > left) room = left;
    }
    if (room == 0) {
        pSocket->SetEvent(VN_EV_READ, true);  // nothing can be taken; never spin on it
        return;
    }
    int n = pSocket->Recv(m_pRecvBuf + m_uRecvLen, static_cast<int>(room));
    if (n <= 0) return;
    SetTimer(kTimeoutMs, 0);
    m_uRecvLen += static_cast<unsigned int>(n);
    m_pRecvBuf[m_uRecvLen] = '\0';
    if (bHead) {
        CheckHead();
    } else {
        CheckBody();
    }
}

void CHttpServerChannel::CheckHead() {
    size_t used = 0;
    int r = m_request.ReadHead(Buffered(), BufferedLen(), &used);
    if (r == CHttpRequestReader::kNeedMore) {
        if (m_request.WantsContinueForHead() && !m_bContinueSent) SendContinue();
        return;
    }
    if (r == CHttpRequestReader::kTooLong) {
        syslog(VN_LOG_ERROR, kTag, __LINE__,
               "%s already recv len[%u],but yet not recv Head Complete,let it Error\r\n%s",
               m_strIdText.c_str(), static_cast<unsigned int>(CHttpRequestReader::kMaxHead),
               Buffered());
        AnswerError(431, "request head too long", kCodeHeadTooLong);
        return;
    }
    if (r == CHttpRequestReader::kBad) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "%s bad request, answered %u: %s", m_strIdText.c_str(),
               m_request.GetErrorStatus(), m_request.GetErrorText());
        AnswerError(m_request.GetErrorStatus(), m_request.GetErrorText(), -1);
        return;
    }
    Consume(used);
    m_strHead = m_request.GetHeadText();
    syslog(VN_LOG_DEBUG, kTag, __LINE__, "%s Recv Head \r\n%s", m_strIdText.c_str(),
           m_strHead.c_str());
    m_uContentLen.store(m_request.GetCallerLength(), std::memory_order_relaxed);
    m_bLengthKnown.store(m_request.IsLengthKnown(), std::memory_order_relaxed);
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s GetContentLength [%llu]", m_strIdText.c_str(),
           m_request.GetCallerLength());
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s GetRange [%s]", m_strIdText.c_str(),
           m_request.GetRange().c_str());
    m_uRangeStart = 0;
    m_pSocket->SetEvent(VN_EV_READ | VN_EV_WRITE, true);
    KillTimer(0xFFFFFFFFu);
    m_nState = kStateWaiting;
    m_uHeadTime = vn_gettickcount();
    if (m_pSink != nullptr) {
        // Only this thread writes the address texts, so it reads them without the lock.
        m_pSink->OnRequest(m_uId, m_strHead, m_uListenPort, m_strLocalIP, m_strPeerIP, m_uPeerPort);
    }
}

void CHttpServerChannel::CheckBody() {
    bool bDrain = m_nState == kStateDraining;
    for (;;) {
        size_t used = 0;
        const char* data = nullptr;
        size_t n = 0;
        int r = m_request.ReadBody(Buffered(), BufferedLen(),
                                   bDrain ? CHttpRequestReader::kRaw : CHttpRequestReader::kParts,
                                   &used, &data, &n);
        if (r == CHttpRequestReader::kData) {
            if (bDrain) {
                Consume(used);
                m_uDrained += n;
                if (m_uDrained > kDrainMax) {
                    // Too much to read for nothing: the connection ends here instead.
                    BeginLingeringClose();
                    return;
                }
                continue;
            }
            // The data may lie in the receive buffer: written before it is consumed.
            bool bKept = WriteBody(data, n);
            Consume(used);
            if (!bKept) return;
            continue;
        }
        Consume(used);
        if (r == CHttpRequestReader::kNeedMore) {
            if (!bDrain) ReportProgress();
            return;
        }
        if (r == CHttpRequestReader::kBodyDone) {
            if (bDrain) {
                NextRequest();
            } else {
                BodyReceived();
            }
            return;
        }
        syslog(VN_LOG_ERROR, kTag, __LINE__, "%s bad request body: %s", m_strIdText.c_str(),
               m_request.GetErrorText());
        if (bDrain) {
            // The answer has gone; there is nothing left to say on this connection.
            m_pSocket->Close();
            KillTimer(0xFFFFFFFFu);
            MarkClosed();
            return;
        }
        AnswerError(400, m_request.GetErrorText(), kCodeBadBody);
        return;
    }
}

bool CHttpServerChannel::WriteBody(const char* pData, size_t uLen) {
    if (uLen == 0) return true;
    bool bMemory = m_pWriter->GetMode() == HttpResponseDataWriter::kModeMemory;
    if (bMemory && !m_request.IsLengthKnown()) {
        // A chunked body into memory draws on the server-wide bound as it grows.
        if (!m_pBudget->TryReserve(uLen)) {
            syslog(VN_LOG_ERROR, kTag, __LINE__, "%s body over the memory bound [%llu]",
                   m_strIdText.c_str(), m_pBudget->GetLimit());
            AnswerError(413, "request body too large", kCodeWriteFail);
            return false;
        }
        m_uReserved += uLen;
    }
    if (!m_pWriter->Write(pData, static_cast<unsigned int>(uLen))) {
        syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s Write Content Len[%u] FAIL", m_strIdText.c_str(),
               static_cast<unsigned int>(uLen));
        syslog(VN_LOG_ERROR, kTag, __LINE__, "%s WriteContent fail", m_strIdText.c_str());
        if (bMemory) {
            AnswerError(413, "request body too large", kCodeWriteFail);
        } else {
            NotifyComplete(kCodeWriteFail);
        }
        return false;
    }
    return true;
}

void CHttpServerChannel::BodyReceived() {
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s OnRecv Complete", m_strIdText.c_str());
    if (m_pWriter->GetMode() == HttpResponseDataWriter::kModeFile) {
        // The received file is complete in its place before anybody hears of it.
        if (!m_pWriter->Commit()) {
            NotifyComplete(kCodeWriteFail);
            return;
        }
        unsigned long long len = m_strAnswerBody.length();
        vn::strutf8 head = MakeHead(200, len, 0, len != 0 ? len - 1 : 0);
        AppendSendData(head.c_str(), head.length());
        delete m_pReader;
        m_pReader = nullptr;
        if (!m_strAnswerBody.empty() && !m_request.IsHeadMethod()) {
            m_pReader = new CDataReader(static_cast<unsigned int>(m_uId));
            m_pReader->SetBuffer(m_strAnswerBody.c_str(), m_strAnswerBody.length());
        }
        m_nState = kStateSending;
        m_pSocket->SetEvent(VN_EV_READ, true);
        SetTimer(kTimeoutMs, 0);
        SendData();
        return;
    }
    // A body received into memory: the caller answers it after hearing of it.
    Complete(kCodeOk, kNextKeep, true);
}

// ---- Answers ----

bool CHttpServerChannel::RefuseAnswer() {
    if (IsClosed() || m_pSocket == nullptr || m_pSocket->GetSocket() == -1) {
        // Nothing can be sent or received any more: report at once rather than after the
        // time-out.
        syslog(VN_LOG_WARNING, kTag, __LINE__, "%s answer for a closed connection",
               m_strIdText.c_str());
        if (m_pSink != nullptr) {
            m_pSink->OnComplete(m_uId, m_strHead, vn::strutf8(), kCodeClosed, false);
        }
        return true;
    }
    if (m_nState != kStateWaiting) {
        // The server passes on only answers for a request that waits for one.
        syslog(VN_LOG_ERROR, kTag, __LINE__, "%s answer while no request waits, ignored",
               m_strIdText.c_str());
        return true;
    }
    // The answer's transfer starts now, also for the log line of one that fails at once.
    m_uTransferStart = vn_gettickcount();
    m_uLastProgress = 0;
    m_nCodeAfterSend = kNoErrorAnswer;
    return false;
}

bool CHttpServerChannel::MustCloseAfterAnswer() const {
    if (!m_request.IsKeepAlive()) return true;
    if (m_request.IsBodyDone()) return false;
    // A client that waits for "100 Continue" before its body may never send it now; one
    // that sends a body longer than is worth dropping is better stopped.
    if (m_request.ExpectsContinue() && !m_bContinueSent && !m_request.BodyStarted() &&
        BufferedLen() == 0) {
        return true;
    }
    return m_request.IsLengthKnown() && m_request.GetBodyRemaining() > kDrainMax;
}

vn::strutf8 CHttpServerChannel::MakeHead(unsigned int uCode, unsigned long long uTotal,
                                         unsigned long long uFirst, unsigned long long uLast) {
    m_bCloseAfterSend = MustCloseAfterAnswer();
    if (uCode != 206)
        return vn::detail::HttpAnswerHead(uCode, uTotal, !m_bCloseAfterSend, false, nullptr);
    vn::strutf8 range;
    range.format("bytes %llu-%llu/%llu", uFirst, uLast, uTotal);
    return vn::detail::HttpAnswerHead(uCode, uLast - uFirst + 1, !m_bCloseAfterSend, false,
                                      range.c_str());
}

unsigned int CHttpServerChannel::EvaluateRange(unsigned long long uTotal,
                                               unsigned long long& uFirst,
                                               unsigned long long& uLast) {
    uFirst = 0;
    uLast = uTotal != 0 ? uTotal - 1 : 0;
    // Ranges are defined for GET (and HEAD, which mirrors it); other methods ignore them.
    const vn::strutf8& method = m_request.GetHead().GetMethod();
    if (m_request.GetRange().empty() || (method != "GET" && method != "HEAD")) return 200;
    unsigned long long first = 0, last = 0;
    int r = CHttpRange::Evaluate(m_request.GetRange().c_str(), m_request.GetRange().length(),
                                 uTotal, &first, &last);
    if (r == CHttpRange::kUnsatisfiable) return 416;
    if (r != CHttpRange::kPart || (first == 0 && last + 1 == uTotal)) return 200;
    uFirst = first;
    uLast = last;
    return 206;
}

void CHttpServerChannel::RefuseRange(unsigned long long uTotal) {
    syslog(VN_LOG_ERROR, kTag, __LINE__, "%s MoveSendPos[%s] len[%llu]fail,let's err",
           m_strIdText.c_str(), m_request.GetRange().c_str(), uTotal);
    vn::strutf8 range;
    range.format("bytes */%llu", uTotal);
    vn::strutf8 head = vn::detail::HttpAnswerHead(416, 0, false, false, range.c_str());
    AppendSendData(head.c_str(), head.length());
    delete m_pReader;
    m_pReader = nullptr;
    m_bCloseAfterSend = true;
    m_nCodeAfterSend = kCodeReadFail;
    m_bProgress = false;
    m_nState = kStateSending;
    SetTimer(kTimeoutMs, 0);
    SendData();
}

void CHttpServerChannel::AnswerError(unsigned int uStatus, const char* pszText, int nCode) {
    vn::strutf8 text(pszText);
    text += "\n";
    bool bBody = !(m_request.IsHeadMethod() && !m_strHead.empty());
    vn::strutf8 head = vn::detail::HttpAnswerHead(uStatus, text.length(), false, false, nullptr);
    AppendSendData(head.c_str(), head.length());
    if (bBody) AppendSendData(text.c_str(), text.length());
    delete m_pReader;
    m_pReader = nullptr;
    m_bCloseAfterSend = true;
    m_nCodeAfterSend = nCode;
    m_bProgress = false;
    m_nState = kStateSending;
    m_pSocket->SetEvent(VN_EV_READ, true);
    SetTimer(kTimeoutMs, 0);
    SendData();
}

void CHttpServerChannel::SendContinue() {
    AppendSendData(kContinue, sizeof(kContinue) - 1);
    m_bContinueSent = true;
    int n = m_pSocket->Send(m_pSendBuf + m_uSendPos, static_cast<int>(m_uSendLen - m_uSendPos));
    if (n > 0) m_uSendPos += static_cast<unsigned int>(n);
    if (m_uSendPos == m_uSendLen) m_uSendPos = m_uSendLen = 0;  // else OnSend sends the rest
}

void CHttpServerChannel::SetMemoryBody(const vn::strutf8& strBody, unsigned long long uFirst,
                                       unsigned long long uLast) {
    delete m_pReader;
    m_pReader = nullptr;
    m_uRangeStart = uFirst;
    if (strBody.empty() || m_request.IsHeadMethod()) return;
    m_pReader = new CDataReader(static_cast<unsigned int>(m_uId));
    m_pReader->SetBuffer(strBody.c_str(), strBody.length());
    m_pReader->Limit(uLast + 1);
    if (uFirst != 0) m_pReader->Advance(uFirst);
}

void CHttpServerChannel::Refuse(const vn::strutf8& strText, int nCode) {
    if (!OnThread()) {
        vn_task_call_CHttpServerChannelRefuse::Post(m_pTask, m_pHolder, this, nullptr, strText,
                                                    nCode);
        return;
    }
    if (RefuseAnswer()) return;
    vn::strutf8 head = CHttpInfoParser::MakeSvrResHead(static_cast<unsigned int>(nCode),
                                                       strText.length(), 0, 0, 0);
    AppendSendData(head.c_str(), head.length());
    m_bCloseAfterSend = true;  // the head says "Connection: close"
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s Refuse \r\n%s%s", m_strIdText.c_str(), head.c_str(),
           strText.c_str());
    SetMemoryBody(strText, 0, strText.length());
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
    if (RefuseAnswer()) return;
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s Accept_SendBuf \r\n%s", m_strIdText.c_str(),
           strData.c_str());
    // A Range request gets 206 with its Content-Range, like a file. The connection is kept
    // alive as for a file: the designed "Connection: close" made every small answer cost a
    // new connection.
    unsigned long long first = 0, last = 0;
    unsigned int code = EvaluateRange(strData.length(), first, last);
    if (code == 416) {
        RefuseRange(strData.length());
        return;
    }
    vn::strutf8 head = MakeHead(code, strData.length(), first, last);
    AppendSendData(head.c_str(), head.length());
    SetMemoryBody(strData, first, last);
    StartSending(bProgress);
}

void CHttpServerChannel::Post(const vn::strutf8& strHead, const vn::strutf8& strBody,
                              bool bProgress) {
    if (!OnThread()) {
        vn_task_call_CHttpServerChannelPost::Post(m_pTask, m_pHolder, this, nullptr, strHead,
                                                  strBody, bProgress);
        return;
    }
    if (RefuseAnswer()) return;
    AppendSendData(strHead.c_str(), strHead.length());
    m_bCloseAfterSend = !HeadKeepsConnection(strHead) || MustCloseAfterAnswer();
    // The caller's own head says what follows it, so the body goes out whole; a Range of
    // the request is the caller's to honour.
    SetMemoryBody(strBody, 0, strBody.length());
    StartSending(bProgress);
}

void CHttpServerChannel::Accept_SendFile(const vn::strutf8& strPath, bool bProgress) {
    if (!OnThread()) {
        vn_task_call_CHttpServerChannelAccept_SendFile::Post(m_pTask, m_pHolder, this, nullptr,
                                                             strPath, bProgress);
        return;
    }
    if (RefuseAnswer()) return;
    m_strSendPath = strPath;
    delete m_pReader;
    m_pReader = nullptr;
    if (SendSmallFile(strPath, bProgress)) return;
    m_pReader = new CDataReader(static_cast<unsigned int>(m_uId));
    if (!m_pReader->SetFileName(strPath.c_str())) {
        NotifyComplete(kCodeOpenSendFail);
        return;
    }
    unsigned long long total = m_pReader->GetLength();
    unsigned long long first = 0, last = 0;
    unsigned int code = EvaluateRange(total, first, last);
    if (code == 416) {
        RefuseRange(total);
        return;
    }
    m_uRangeStart = first;
    m_pReader->Limit(last + 1);
    if (first != 0) m_pReader->Advance(first);
    vn::strutf8 head = MakeHead(code, total, first, last);
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s Accept_SendFile Head Code[%d]", m_strIdText.c_str(),
           code);
    AppendSendData(head.c_str(), head.length());
    syslog(VN_LOG_DEBUG, kTag, __LINE__, "http response header: %s", head.c_str());
    if (m_request.IsHeadMethod()) {
        delete m_pReader;
        m_pReader = nullptr;
    }
    StartSending(bProgress);
}

bool CHttpServerChannel::SendSmallFile(const vn::strutf8& strPath, bool bProgress) {
    // Most answers of a file server are small files on a kept connection, where the system
    // calls around the file cost as much as the answer itself. The file is opened once and
    // looked at once, its body is read straight behind the head and leaves with it in one
    // send: an open, an fstat, a pread and a close in all. The file is closed before
    // anything is sent or reported (sending may complete the transfer at once, and the
    // caller hears of it only once its file is settled). A larger body is left to the
    // reader, which opens the file again and sends it block by block: one open more is
    // nothing beside a transfer of that size.
    AnswerFile file(strPath.c_str());
    unsigned long long total = file.GetSize();
    if (total == 0) {
        file.Close();
        syslog(VN_LOG_ERROR, kTag, __LINE__, "%s OpenFile Fail FileName[%s]", m_strIdText.c_str(),
               strPath.c_str());
        NotifyComplete(kCodeOpenSendFail);
        return true;
    }
    unsigned long long first = 0, last = 0;
    unsigned int code = EvaluateRange(total, first, last);
    if (code == 416) {
        file.Close();
        RefuseRange(total);
        return true;
    }
    unsigned long long body = m_request.IsHeadMethod() ? 0 : last - first + 1;
    if (body > kJoinBodyMax) return false;
    vn::strutf8 head = MakeHead(code, total, first, last);
    unsigned int queued = m_uSendLen;
    if (!AppendSendData(head.c_str(), head.length()) || body > m_uSendCap - m_uSendLen) {
        m_uSendLen = queued;  // no room behind the head (never with the buffer's size)
        return false;
    }
    bool read = body == 0 || file.ReadAt(m_pSendBuf + m_uSendLen, static_cast<size_t>(body), first);
    file.Close();
    if (!read) {
        // Nothing has gone out yet: the head is taken back rather than sent with a body
        // that cannot follow it.
        syslog(VN_LOG_ERROR, kTag, __LINE__, "%s SendData Read Fail", m_strIdText.c_str());
        m_uSendLen = queued;
        m_pSendBuf[m_uSendLen] = '\0';
        NotifyComplete(kCodeReadFail);
        return true;
    }
    m_uSendLen += static_cast<unsigned int>(body);
    m_pSendBuf[m_uSendLen] = '\0';
    m_uRangeStart = first;
    m_uInlineBody = body;
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s Accept_SendFile Head Code[%d]", m_strIdText.c_str(),
           code);
    syslog(VN_LOG_DEBUG, kTag, __LINE__, "http response header: %s", head.c_str());
    StartSending(bProgress);
    return true;
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
    if (m_nState == kStateSending) {
        SendData();
    } else if (m_uSendPos < m_uSendLen && m_nState != kStateLingering) {
        SendContinue();  // the rest of a "100 Continue"
    }
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
    if (m_pReader != nullptr && !m_pReader->IsEnd()) {
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
        if (!m_pReader->IsEnd()) {
            ReportProgress();
            return;
        }
    }
    // The answer is out: an error answer of the channel's own now ends the connection.
    if (m_nCodeAfterSend != kNoErrorAnswer) {
        int code = m_nCodeAfterSend;
        m_nCodeAfterSend = kNoErrorAnswer;
        Complete(code, kNextLinger);
        return;
    }
    NotifyComplete(kCodeOk);
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

// ---- Receiving ----

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
    // The client that waits for "100 Continue" is told to send the body now that it is
    // wanted (RFC 9110 section 10.1.1).
    if (m_request.ExpectsContinue() && !m_bContinueSent && !m_request.IsBodyDone() &&
        !m_request.BodyStarted() && BufferedLen() == 0) {
        SendContinue();
    }
    m_pSocket->SetEvent(VN_EV_READ, false);
    SetTimer(kTimeoutMs, 0);
    // Body bytes that came with the head are taken now: when the whole body came with it,
    // no further read would ever finish the transfer.
    CheckBody();
}

void CHttpServerChannel::Accept_RecvFile(const vn::strutf8& strBody, const vn::strutf8& strPath,
                                         bool bProgress) {
    if (!OnThread()) {
        vn_task_call_CHttpServerChannelAccept_RecvFile::Post(m_pTask, m_pHolder, this, nullptr,
                                                             strBody, strPath, bProgress);
        return;
    }
    if (RefuseAnswer()) return;
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "%s Accept_RecvFile Head Code[%d]", m_strIdText.c_str(),
           200);
    // The answer goes out once the body is in (and the file in its place).
    m_strAnswerBody = strBody;
    m_strRecvPath = strPath;
    delete m_pWriter;
    m_pWriter = new HttpResponseDataWriter(static_cast<unsigned int>(m_uId));
    m_bProgress = bProgress;
    if (!m_pWriter->OpenFileReplacing(strPath.c_str())) {
        NotifyComplete(kCodeOpenRecvFail);
        return;
    }
    StartReceiving(bProgress);
}

void CHttpServerChannel::Accept_RecvBuff(const vn::strutf8& strText, bool bProgress) {
    if (!OnThread()) {
        vn_task_call_CHttpServerChannelAccept_RecvBuff::Post(m_pTask, m_pHolder, this, nullptr,
                                                             strText, bProgress);
        return;
    }
    if (RefuseAnswer()) return;
    delete m_pWriter;
    m_pWriter = new HttpResponseDataWriter(static_cast<unsigned int>(m_uId));
    if (m_request.IsLengthKnown() && !m_request.IsBodyDone()) {
        // A body of known length is weighed before a byte of it is read: one that cannot
        // be held is refused at once, and the client need not send it.
        unsigned long long len = m_request.GetCallerLength();
        if (len > HttpResponseDataWriter::kMaxMemory || !m_pBudget->TryReserve(len)) {
            syslog(VN_LOG_ERROR, kTag, __LINE__, "%s body of [%llu] over the memory bound [%llu]",
                   m_strIdText.c_str(), len, m_pBudget->GetLimit());
            AnswerError(413, "request body too large", kCodeWriteFail);
            return;
        }
        m_uReserved = len;
    }
    StartReceiving(bProgress);
}

// ---- Completion ----

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
    if (nCode != kCodeOk) {
        Complete(nCode, kNextClose);
    } else {
        Complete(nCode, m_bCloseAfterSend ? kNextLinger : kNextKeep);
    }
}

void CHttpServerChannel::Complete(int nCode, Next nNext, bool bAwaitsAnswer) {
    unsigned int now = vn_gettickcount();
    unsigned int uAccept = m_uTransferStart - m_uHeadTime;
    unsigned int uTransfer = now - m_uTransferStart;
    unsigned long long size = 0;
    vn::strutf8 desc(" ");
    if (!m_strRecvPath.empty()) {
        size = m_pWriter != nullptr ? m_pWriter->GetWrittenBytes() : 0;
        desc.format("recv file[%s]", m_strRecvPath.c_str());
    } else if (!m_strSendPath.empty() && m_pReader == nullptr) {
        size = nCode == kCodeOk ? m_uInlineBody : 0;  // it left with its head, or never
        desc.format("send file[%s]", m_strSendPath.c_str());
    } else if (!m_strSendPath.empty()) {
        unsigned long long pos = m_pReader->GetPosition();
        size = pos > m_uRangeStart ? pos - m_uRangeStart : 0;
        desc.format("send file[%s]", m_strSendPath.c_str());
    }
    unsigned int uSpeed =
        uTransfer != 0 ? static_cast<unsigned int>((size * 1000 / uTransfer) / 1024) : 0;
    vn::strutf8 data;
    if (nCode == kCodeOk && m_pWriter != nullptr &&
        m_pWriter->GetMode() == HttpResponseDataWriter::kModeMemory &&
        m_pWriter->GetBufferLen() > 0) {
        data.assign(m_pWriter->GetBuffer(), m_pWriter->GetBufferLen());
    }
    // Files are settled before anybody hears of the transfer: a received file that was
    // not put in place is gone, a sent one closed.
    delete m_pWriter;
    m_pWriter = nullptr;
    if (m_uReserved != 0) {
        m_pBudget->Release(m_uReserved);
        m_uReserved = 0;
    }
    if (m_pReader != nullptr) m_pReader->CloseFile();
    if (m_pSink != nullptr && nCode >= 0)
        m_pSink->OnComplete(m_uId, m_strHead, data, nCode, bAwaitsAnswer);
    if (nCode > 0) {
        syslog(VN_LOG_ERROR, kTag, __LINE__,
               "%s $$$$$$$ Notify Complete Code[%d] size[%u] Accept [%u]ms Transfer[%u]ms "
               "Speed[%u]k(byte)/s \r\n%s",
               m_strIdText.c_str(), nCode, static_cast<unsigned int>(size), uAccept, uTransfer,
               uSpeed, desc.c_str());
    } else if (nCode == 0) {
        syslog(VN_LOG_NOTICE, kTag, __LINE__,
               "%s Complete len[%u] Accept[%u]ms Trans[%u]ms Speed[%u]k/s \r\n%s",
               m_strIdText.c_str(), static_cast<unsigned int>(size), uAccept, uTransfer, uSpeed,
               desc.c_str());
    }
    // Each transfer describes itself: a later answer on this connection must not report
    // progress or log lines against an earlier transfer's file.
    m_strRecvPath.clear();
    m_strSendPath.clear();
    m_strAnswerBody.clear();
    delete m_pReader;
    m_pReader = nullptr;
    m_uInlineBody = 0;
    m_bProgress = false;
    m_bCloseAfterSend = false;
    m_nCodeAfterSend = kNoErrorAnswer;
    KillTimer(0xFFFFFFFFu);
    if (nNext == kNextClose) {
        if (m_pSocket != nullptr) m_pSocket->Close();
        MarkClosed();
    } else if (nNext == kNextLinger) {
        BeginLingeringClose();
    } else if (bAwaitsAnswer) {
        m_nState = kStateWaiting;
        m_pSocket->SetEvent(VN_EV_READ | VN_EV_WRITE, true);
    } else {
        NextRequest();
    }
}

void CHttpServerChannel::NextRequest() {
    m_strHead.clear();
    m_bContinueSent = false;
    if (!m_request.IsBodyDone()) {
        // The caller answered without reading the body: it is read and dropped, so that
        // its bytes are never taken for the next request.
        m_nState = kStateDraining;
        m_uDrained = 0;
        m_pSocket->SetEvent(VN_EV_READ, false);
        SetTimer(kTimeoutMs, 0);
        CheckBody();
        return;
    }
    m_request.Reset();
    m_nState = kStateHead;
    m_pSocket->SetEvent(VN_EV_READ, false);
    if (BufferedLen() > 0) {
        // A pipelined request came with the last one: it is read now, in order.
        SetTimer(kTimeoutMs, 0);
        CheckHead();
    }
}

void CHttpServerChannel::BeginLingeringClose() {
    // Closing at once while request bytes are still unread (a refused upload) makes the
    // kernel reset the connection, and a reset can destroy the answer before the peer has
    // read it. So the answer is ended with a FIN, what the peer still sends is read and
    // dropped, and the connection is closed when the peer closes or after kLingerMs.
    int fd = m_pSocket->GetSocket();
    // Over TLS the answer ends with close_notify before the FIN.
    bool ended = m_pTlsSocket != nullptr ? m_pTlsSocket->ShutdownWrite()
                                         : fd != -1 && shutdown(fd, SHUT_WR) == 0;
    if (!ended) {
        m_pSocket->Close();
        KillTimer(0xFFFFFFFFu);
        MarkClosed();
        return;
    }
    m_nState = kStateLingering;
    m_uRecvLen = m_uRecvPos = 0;
    m_pSocket->SetEvent(VN_EV_WRITE, true);
    m_pSocket->SetEvent(VN_EV_READ, false);
    KillTimer(0xFFFFFFFFu);
    SetTimer(kLingerMs, 0);
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
    if (m_nState == kStateLingering || m_nState == kStateDraining) {
        // The transfer was reported already; the connection just ends.
        KillTimer(0xFFFFFFFFu);
        m_pSocket->Close();
        MarkClosed();
        return;
    }
    syslog(VN_LOG_ERROR, kTag, __LINE__, "%s OnTimer out !!!", m_strIdText.c_str());
    NotifyComplete(kCodeTimeout);
}

void CHttpServerChannel::OnClose(CVNITCPSocket*) {
    if (m_nState == kStateLingering || m_nState == kStateDraining) {
        // The peer has read the answer and closed: nothing to report.
        KillTimer(0xFFFFFFFFu);
        MarkClosed();
        return;
    }
    syslog(VN_LOG_ERROR, kTag, __LINE__, "%s OnClose !!!!", m_strIdText.c_str());
    NotifyComplete(kCodeClosed);
}
