// CVNHttpClient: reading the answer, its body, closes, reconnects and redirects, and the
// getters of the response (see vnhttpclient_internal.h). HTTP thread, except the getters,
// which the caller uses after completion.
//
// The answer is read in large blocks; CHttpResponseReader decides what the bytes are and
// hands the body out in place, so it goes from the receive buffer straight into the data
// writer and a long download costs few reads and file writes.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>

#include "base/vnconvert.h"
#include "base/vnlog.h"
#include "http/client/vnhttpcookiejar.h"
#include "http/client/vnhttpclient_internal.h"
#include "http/client/vnhttpclientutil_internal.h"
#include "http/common/vndatareader_internal.h"
#include "http/common/vndatawriter_internal.h"
#include "net/vntlssocket_internal.h"

namespace {
const char kTag[] = "Http";

unsigned int Saturate32(unsigned long long v) {
    return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<unsigned int>(v);
}
}  // namespace

// ---------------------------------------------------------------- receiving

namespace {

// Asks the kernel to acknowledge what was just read at once instead of after its delayed-ACK
// timer. A server whose send buffer is full waits for that acknowledgement before it can
// hand over the end of an answer: on a kept connection (where the kernel's quick-ACK
// start-up is over) transfers of a few hundred KiB stalled 40 ms before their last bytes,
// a third of the runs of vnhttp get -Z on loopback. The setting lapses by itself, so it is
// renewed after every read.
void AckAtOnce(int fd) {
    if (fd < 0) return;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof(one));
}

}  // namespace

void CVNHttpClient::OnRecv(CVNITCPSocket* pSocket) {
    VN_DCHECK(OnHttpThread());
    if (pSocket != m_pSocket) return;
    if (!m_bActive || m_bCompleted) {
        // Bytes on an idle kept connection: it is out of step with any next request.
        char drain[512];
        pSocket->Recv(drain, sizeof(drain));
        syslog(VN_LOG_WARNING, kTag, __LINE__, "Id[%u] data on an idle connection, closed",
               GetId());
        CloseSocket();
        ArmStopTimer(2000);
        return;
    }
    if (m_pRecvBuf == nullptr) {
        m_pRecvBuf = static_cast<char*>(malloc(kRecvBufSize + 1));
        if (m_pRecvBuf == nullptr) {
            NotifyComplete(HTTPRESULT_FAILED);
            return;
        }
    }
    if (m_uRecvPos > 0) {
        // A partial head or chunk line left over moves to the front.
        m_uRecvLen -= m_uRecvPos;
        memmove(m_pRecvBuf, m_pRecvBuf + m_uRecvPos, m_uRecvLen);
        m_uRecvPos = 0;
    }
    size_t room = kRecvBufSize - m_uRecvLen;
    if (m_recvLimit.IsOn()) {
        size_t allowed = m_recvLimit.Available();
        if (allowed == 0) {
            PauseRecv();
            return;
        }
        if (allowed < room) room = allowed;
    }
    int n = pSocket->Recv(m_pRecvBuf + m_uRecvLen, static_cast<int>(room));
    if (n <= 0) return;
    AckAtOnce(pSocket->GetSocket());
    m_recvLimit.Consume(static_cast<size_t>(n));
    TouchDataTimer();
    m_bRecvOnConn = true;
    m_uRecvLen += static_cast<unsigned int>(n);
    m_pRecvBuf[m_uRecvLen] = 0;
    ReadAnswer();
}

void CVNHttpClient::ReadAnswer() {
    bool wrote = false;
    for (;;) {
        size_t used = 0, len = 0;
        const char* data = nullptr;
        int v = m_reader.Step(m_pRecvBuf + m_uRecvPos, m_uRecvLen - m_uRecvPos, &used, &data, &len);
        if (v == CHttpResponseReader::kData) {
            // The data lies in the receive buffer: written before it is consumed.
            if (!TakeBody(data, len)) return;
            m_uRecvPos += static_cast<unsigned int>(used);
            wrote = true;
            continue;
        }
        m_uRecvPos += static_cast<unsigned int>(used);
        if (m_uRecvPos == m_uRecvLen) m_uRecvPos = m_uRecvLen = 0;
        // Progress after every receive that brought body bytes, the last one included.
        if (wrote && (m_strMethod == "GET" || m_oRequestInfo.bAnyMethod)) ReportProgress(false);
        wrote = false;
        if (v == CHttpResponseReader::kNeedMore) return;
        KeepHead();
        if (v != CHttpResponseReader::kBegin) {
            Act(v);
            return;
        }
        if (!BeginBody()) return;
    }
}

void CVNHttpClient::KeepHead() {
    if (!m_reader.HasHead() || !strResponseHead.empty()) return;
    strResponseHead = m_reader.GetHead().GetText();
    m_uStatus = m_reader.GetStatus();
    TakeCookies();
    if (m_bGBK) {
        vn::strutf16 w;
        if (vngbk2utf16(strResponseHead.c_str(), strResponseHead.length(), w)) strResponseHead = w;
    }
    syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] dwResponseStatusCode[%u]", GetId(),
           m_reader.GetStatus());
}

bool CVNHttpClient::BeginBody() {
    if (m_pRpDataWriter == nullptr) {
        // A file target is touched only now, when a body for it begins.
        m_pRpDataWriter = new HttpResponseDataWriter(GetId());
        if (!m_pRpDataWriter->OpenFile(m_oRequestInfo.strDownloadFile.c_str())) {
            syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] Error DataWriter open file fail", GetId());
            NotifyComplete(HTTPRESULT_WRITE_FAILED);
            return false;
        }
    }
    // The whole representation comes (again): the target starts afresh, never appended to.
    if (m_reader.IsRestart() && m_pRpDataWriter->GetLength() > 0 && !m_pRpDataWriter->Truncate()) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] Error DataWriter SetLength0 fail", GetId());
        NotifyComplete(HTTPRESULT_WRITE_FAILED);
        return false;
    }
    m_bAskWhole = false;
    if (!BeginDecoding()) return false;
    m_uContentLength = m_reader.GetTotal();
    syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] Content-Length[%llu] bChunked[%d]", GetId(),
           m_uContentLength, m_reader.GetBodyKind() == CHttpHead::kBodyChunked ? 1 : 0);
    NotifyOnDownloadStart(m_uActiveSerial, Saturate32(m_pRpDataWriter->GetLength()),
                          Saturate32(m_uContentLength));
    return true;
}

bool CVNHttpClient::BeginDecoding() {
    m_decoder.Reset();
    m_bDecoding = false;
    if (!m_bCompressedReq) return true;
    size_t n = 0;
    const char* coding = m_reader.GetHead().Find("Content-Encoding", &n);
    if (coding == nullptr) return true;
    if (m_decoder.Start(coding, n) != CHttpContentDecoder::kOk) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] answer body refused: %s", GetId(),
               m_decoder.GetErrorText());
        NotifyComplete(HTTPRESULT_FAILED);
        return false;
    }
    m_bDecoding = m_decoder.IsActive();
    if (m_bDecoding && !m_reader.IsRestart()) {
        // A part of a coded body cannot continue the decoded bytes the target holds: the
        // whole is asked for again, once, like an answer that does not fit the target.
        syslog(VN_LOG_WARNING, kTag, __LINE__, "Id[%u] a coded part cannot resume, asking all",
               GetId());
        m_bAskWhole = true;
        if (m_oRequestInfo.m_nRetryTimes < kMaxRetry - 1)
            m_oRequestInfo.m_nRetryTimes = kMaxRetry - 1;
        NotifyOnReConnect(m_uActiveSerial);
        ReConnect();
        return false;
    }
    return true;
}

void CVNHttpClient::ForgetCodedPart() {
    if (m_bDecoding) m_bAskWhole = true;
}

bool CVNHttpClient::TakeBody(const char* p, size_t len) {
    m_uBodyWire += len;
    if (!m_bDecoding) {
        if (!WriteBody(p, len)) return false;
        m_uBodyDecoded += len;
        return true;
    }
    int r = m_decoder.Feed(p, len, [this](const char* q, size_t n) {
        if (!WriteBody(q, n)) return false;
        m_uBodyDecoded += n;
        return true;
    });
    if (r == CHttpContentDecoder::kOk) return true;
    if (r == CHttpContentDecoder::kMalformed) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] answer body: %s", GetId(),
               m_decoder.GetErrorText());
        NotifyComplete(HTTPRESULT_FAILED);
    }
    return false;  // refused: WriteBody completed the request with 4
}

void CVNHttpClient::FollowWithGet(unsigned int uStatus) {
    // As curl does: a 303 is fetched with GET whatever the method (HEAD stays HEAD), and a
    // POST that meets 301 or 302 too; other methods go on as they were, body and all.
    bool toGet = (uStatus == 303 && m_strMethod != "HEAD") ||
                 ((uStatus == 301 || uStatus == 302) && m_strMethod == "POST");
    if (!toGet || m_strMethod == "GET") return;
    m_strMethod = "GET";
    // The fields that described the body go with it (as the Fetch rules have it).
    static const char* const kBodyFields[] = {"Content-Type", "Content-Encoding",
                                              "Content-Language", "Content-Location", nullptr};
    m_strExtraHeaders = vn::detail::HttpDropHeaderLines(m_strExtraHeaders, kBodyFields);
    delete m_pDataReader;
    m_pDataReader = nullptr;
    m_oRequestInfo.body.clear();
    m_oRequestInfo.strUploadFile.clear();
    m_bMultipart = 0;
}

void CVNHttpClient::TakeCookies() {
    if (m_pRequestJar == nullptr || !m_bUseCookie) return;
    const CHttpHead& head = m_reader.GetHead();
    for (unsigned int i = 0; i < head.GetFieldCount(); ++i) {
        size_t nameLen = 0, valueLen = 0;
        const char* name = head.GetFieldName(i, &nameLen);
        if (nameLen != 10 || strncasecmp(name, "Set-Cookie", 10) != 0) continue;
        const char* value = head.GetFieldValue(i, &valueLen);
        std::string text(value, valueLen);
        unsigned char ok = m_pRequestJar->SetCookie(m_strUrl.c_str(), text.c_str());
        syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] SetRawCookie [%s] bRet[%d]", GetId(),
               text.c_str(), ok);
    }
}

bool CVNHttpClient::WriteBody(const char* p, size_t len) {
    if (len == 0 || m_pRpDataWriter->Write(p, static_cast<unsigned int>(len))) return true;
    syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] Write Content Len[%u] FAIL", GetId(),
           static_cast<unsigned int>(len));
    NotifyComplete(HTTPRESULT_WRITE_FAILED);
    return false;
}

unsigned long long CVNHttpClient::TargetHolds() const {
    if (m_bAskWhole) return 0;
    return m_pRpDataWriter != nullptr ? m_pRpDataWriter->GetLength() : m_uResumeFrom;
}

void CVNHttpClient::Act(int nVerdict) {
    switch (nVerdict) {
        case CHttpResponseReader::kDone:
            if (m_bDecoding && m_uBodyWire > 0 && !m_decoder.Finish()) {
                // The framing ended before the coded data did: a shorter body, not the body.
                syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] coded body cut short", GetId());
                NotifyComplete(HTTPRESULT_FAILED);
                return;
            }
            m_bKeepConn = m_reader.IsReusable();
            NotifyComplete(m_reader.GetCode());
            return;
        case CHttpResponseReader::kRedirect:
            m_strUrl = m_reader.GetLocation();
            ++m_oRequestInfo.m_nRedirTimes;
            m_oRequestInfo.m_nRetryTimes = 0;
            if (m_oRequestInfo.bAnyMethod) FollowWithGet(m_reader.GetStatus());
            Redirect();
            return;
        case CHttpResponseReader::kRetry:
            if (m_reader.IsRestart()) {
                // A 416: once more from the start, and a second one ends the request.
                if (m_oRequestInfo.m_nRetryTimes >= kMaxRetry) {
                    NotifyComplete(HTTPRESULT_FAILED);
                    return;
                }
                syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] Set Recv File 0 Length", GetId());
                m_bAskWhole = true;
                m_oRequestInfo.m_nRetryTimes = kMaxRetry - 1;
            }
            ForgetCodedPart();
            NotifyOnReConnect(m_uActiveSerial);
            ReConnect();
            return;
        default:
            if (*m_reader.GetErrorText() != '\0') {
                syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] answer [%u] ends the request: %s",
                       GetId(), m_reader.GetStatus(), m_reader.GetErrorText());
            }
            NotifyComplete(m_reader.GetCode());
            return;
    }
}

// ---------------------------------------------------------------- closes and reconnects

void CVNHttpClient::OnClose(CVNITCPSocket* pSocket) {
    VN_DCHECK(OnHttpThread());
    if (pSocket != m_pSocket) return;
    syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] OnClose dwTmpRecvCurPos[%u]", GetId(),
           m_uRecvLen - m_uRecvPos);
    bool handshaking = m_bHandshaking;
    bool clean = m_pTlsSocket == nullptr || m_pTlsSocket->IsCleanClose();
    if (handshaking && m_bActive && !m_bCompleted) TakeTlsFailure();
    CloseSocket();
    if (!m_bActive || m_bCompleted) {
        ArmStopTimer(2000);
        return;
    }
    if (handshaking) {
        // The handshake was refused (the certificate, the name, a pin, a peer that does not
        // speak TLS): another attempt would meet the same.
        NotifyComplete(HTTPRESULT_TLS_FAILED);
        return;
    }
    if (m_bReuse && !m_bRecvOnConn) {
        // The kept connection had gone stale: send the request again on a new one.
        NotifyOnReConnect(m_uActiveSerial);
        ReConnect();
        return;
    }
    Act(m_reader.End(clean));
}

void CVNHttpClient::ClearAnswer() {
    strResponseHead.clear();
    m_decoder.Reset();
    m_bDecoding = false;
    m_uBodyWire = 0;
    m_uBodyDecoded = 0;
    m_uContentLength = 0;
    m_uRecvLen = m_uRecvPos = 0;
    m_bKeepConn = true;
    m_reader = CHttpResponseReader();
}

bool CVNHttpClient::PrepareResend() {
    ClearAnswer();
    m_bReuse = 0;
    // The body starts again from its beginning; a form body also gets its parts back (its
    // reader may have been replaced by the closing delimiter's).
    if (m_bMultipart) {
        if (!CreateDataReader()) {
            NotifyComplete(HTTPRESULT_FAILED);
            return false;
        }
    } else if (m_pDataReader != nullptr) {
        m_pDataReader->Rewind();
    }
    return true;
}

void CVNHttpClient::ReConnect() {
    DisarmDataTimer();
    CloseSocket();
    ++m_oRequestInfo.m_nRetryTimes;
    if (m_oRequestInfo.m_nRetryTimes > kMaxRetry) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] m_oRequestInfo.m_nRetryTimes[%d] > [%d],FAIL",
               GetId(), m_oRequestInfo.m_nRetryTimes, kMaxRetry);
        NotifyComplete(HTTPRESULT_FAILED);
        return;
    }
    if (m_oRequestInfo.m_nRedirTimes > kMaxRedirect) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] m_oRequestInfo.m_nRedirTimes[%d] > [%d],FAIL",
               GetId(), m_oRequestInfo.m_nRedirTimes, kMaxRedirect);
        NotifyComplete(HTTPRESULT_FAILED);
        return;
    }
    syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] ReConnect,m_nRetryTimes[%d] URL[%s]", GetId(),
           m_oRequestInfo.m_nRetryTimes, m_strUrl.c_str());
    m_lstHosts.clear();
    if (!PrepareResend()) return;
    vn::strutf8 host, path;
    unsigned short port = 0;
    bool tls = false;
    if (!vn::detail::HttpCrackUrl(m_strUrl, host, port, path, &tls)) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] CrackUrl[%s] Fail", GetId(), m_strUrl.c_str());
        NotifyComplete(HTTPRESULT_FAILED);
        return;
    }
    if (m_bTls && !tls && !m_bAllowDowngrade) {
        // What was asked for over TLS must not go on in clear text unless the caller said so.
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] redirect from https to [%s] refused", GetId(),
               m_strUrl.c_str());
        NotifyComplete(HTTPRESULT_NOT_FOUND);
        return;
    }
    m_bTls = tls;
    if (m_bTls && !EnsureTlsContext()) {
        NotifyComplete(HTTPRESULT_TLS_FAILED);
        return;
    }
    m_strHost = host;
    m_wPort = port;
    m_strPath = path;
    m_lstHosts.assign(1, host);
    ConnectServer();
}

void CVNHttpClient::DataTimeoutReconnect() {
    DisarmDataTimer();
    CloseSocket();
    unsigned int allowance = m_uRetryAllowance;
    if (allowance == 0) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] m_oRequestInfo.m_nRetryTimes[%d] <= 0,FAIL",
               GetId(), 0);
        NotifyComplete(HTTPRESULT_CONNECT_FAILED);
        return;
    }
    m_uRetryAllowance = allowance - 1;
    syslog(VN_LOG_WARNING, kTag, __LINE__, "Id[%u] RetryConnect URL[%s]", GetId(),
           m_strUrl.c_str());
    if (!PrepareResend()) return;
    if (m_pConnector == nullptr) {
        ConnectServer();
        return;
    }
    if (!m_pConnector->ReConnect()) NotifyComplete(HTTPRESULT_CONNECT_FAILED);
}

// ---------------------------------------------------------------- redirects

void CVNHttpClient::Redirect() {
    syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] notify OnRedirected...", GetId());
    vn::strutf16 url(m_strUrl);
    if (!m_bSyncRedirect) {
        NotifyOnRedirected(m_uActiveSerial, url);
    } else {
        IHttpClientSink* sink = m_pSink;
        if (sink != nullptr) {
            // The sink runs on this thread and may Stop (or delete) the client: afterwards
            // nothing of it is touched unless it is still there with the same request.
            bool alive = true;
            unsigned int serial = m_uActiveSerial;
            m_pAliveFlag = &alive;
            sink->OnRedirected(this, url);
            if (!alive) return;
            m_pAliveFlag = nullptr;
            if (serial != m_uSerial.load() || !m_bActive) return;
            m_strUrl = url;
        }
    }
    ReConnect();
}

// ---------------------------------------------------------------- getters

bool CVNHttpClient::FindResponseHeader(const char* pszName, vn::strutf8& strValue) {
    // The answer's fields as the message layer read them; an empty value counts as absent.
    if (strResponseHead.empty() || !m_reader.GetHead().Find(pszName, strValue) ||
        strValue.empty()) {
        return false;
    }
    if (m_bGBK) {
        vn::strutf16 w;
        if (vngbk2utf16(strValue.c_str(), strValue.length(), w)) strValue = w;
    }
    return true;
}

unsigned char CVNHttpClient::GetResponseHead(vn::strutf16& strHead) {
    strHead = strResponseHead;
    return 1;
}

unsigned char CVNHttpClient::GetDownloadedBuffer(const void*& pData, unsigned int& uLen) {
    if (m_pRpDataWriter == nullptr) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "GetDownloadedBuffer m_pRpDataWriter is NULL");
        return 0;
    }
    if (m_pRpDataWriter->GetMode() != HttpResponseDataWriter::kModeMemory ||
        m_pRpDataWriter->GetBuffer() == nullptr || m_pRpDataWriter->GetBufferLen() == 0)
        return 0;
    pData = m_pRpDataWriter->GetBuffer();
    uLen = m_pRpDataWriter->GetBufferLen();
    return 1;
}

unsigned char CVNHttpClient::GetDownloadFileName(vn::strutf16& strName) {
    if (m_pRpDataWriter == nullptr) return 0;
    strName = m_pRpDataWriter->GetFileName();
    return 1;
}

unsigned char CVNHttpClient::GetResponseHeader(const vn::strutf16& strName, unsigned int& uValue) {
    uValue = 0;
    vn::strutf8 v;
    if (!FindResponseHeader(vn::strutf8(strName).c_str(), v)) return 0;
    vn_str2uint32(v.c_str(), &uValue);
    return 1;
}

unsigned char CVNHttpClient::GetResponseHeader(const vn::strutf16& strName, vn::strutf16& strValue,
                                               unsigned char) {
    // Values come without the blanks around them either way: they are no part of a value.
    vn::strutf8 v;
    if (!FindResponseHeader(vn::strutf8(strName).c_str(), v)) return 0;
    strValue = v;
    return 1;
}

unsigned char CVNHttpClient::GetResponseFileName(vn::strutf16& strName) {
    vn::strutf8 header(strName), disposition, result;
    bool found = false;
    if (FindResponseHeader(header.c_str(), disposition)) {
        syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] GetResponseFileName strDisposition=[%s]",
               GetId(), disposition.c_str());
        int at = disposition.find("filename=");
        if (at >= 0) {
            unsigned int from = static_cast<unsigned int>(at) + 9;
            if (disposition.length() > from + 2) {
                result = disposition.substr(from + 1, disposition.length() - from - 2);
                found = true;
                syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] GetResponseFileName [%s]", GetId(),
                       result.c_str());
            }
        }
    }
    if (!found) {
        int q = m_strUrl.find("?");
        result = q < 0 ? m_strUrl : m_strUrl.substr(0, static_cast<unsigned>(q));
        syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] GetResponseFileName [%s] URL[%s]", GetId(),
               result.c_str(), m_strUrl.c_str());
    }
    strName = result;
    return 1;
}
