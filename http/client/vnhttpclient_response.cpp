// CVNHttpClient: reading the answer, its body, closes, reconnects and redirects, and the
// getters of the response (see vnhttpclient_internal.h). HTTP thread, except the getters,
// which the caller uses after completion.
//
// The head is collected in a 10240-byte buffer; once it has been taken, the body is read
// in large blocks straight into the data writer, so a long download costs few reads and
// file writes.
#include <stdlib.h>
#include <string.h>

#include "base/vnconvert.h"
#include "base/vnlog.h"
#include "http/client/vnhttpchunker_internal.h"
#include "http/client/vnhttpclient_internal.h"
#include "http/client/vnhttpclientutil_internal.h"
#include "http/common/vndatareader_internal.h"
#include "http/common/vndatawriter_internal.h"

namespace {
const char kTag[] = "Http";

unsigned int Saturate32(unsigned long long v) {
    return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<unsigned int>(v);
}
}  // namespace

// ---------------------------------------------------------------- receiving

void CVNHttpClient::OnRecv(CVNITCPSocket* pSocket) {
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
    m_nAction = 2;
    m_nResultCode = HTTPRESULT_FAILED;
    const char* body = nullptr;
    unsigned int bodyLen = 0;
    if (!m_bHeadTaken) {
        if (m_pRecvBuf == nullptr) {
            m_pRecvBuf = static_cast<char*>(malloc(kHeadBufSize + 1));
            if (m_pRecvBuf == nullptr) {
                Outcome(false);
                return;
            }
        }
        int want = static_cast<int>(kHeadBufSize - dwTmpRecvCurPos);
        int unread = pSocket->GetUnreadDataLen();
        if (unread > 0 && unread < want) want = unread;
        int n = pSocket->Recv(m_pRecvBuf + dwTmpRecvCurPos, want);
        if (n <= 0) return;
        TouchDataTimer();
        m_bRecvOnConn = true;
        dwTmpRecvCurPos += static_cast<unsigned int>(n);
        m_pRecvBuf[dwTmpRecvCurPos] = 0;
        if (dwTmpRecvCurPos < 4) return;
        const char* end =
            static_cast<const char*>(memmem(m_pRecvBuf, dwTmpRecvCurPos, "\r\n\r\n", 4));
        if (end == nullptr) {
            if (dwTmpRecvCurPos >= kHeadBufSize) {
                syslog(VN_LOG_ERROR, kTag, __LINE__,
                       "Id[%u] before [%u] not recv Head Complete,let it Error", GetId(),
                       dwTmpRecvCurPos);
                Outcome(false);
            }
            return;
        }
        unsigned int headLen = static_cast<unsigned int>(end + 4 - m_pRecvBuf);
        strResponseHead.assign(m_pRecvBuf, headLen);
        if (m_bGBK) {
            vn::strutf16 w;
            if (vngbk2utf16(m_pRecvBuf, headLen, w)) strResponseHead = w;
        }
        m_bHeadTaken = true;
        if (strResponseHead.empty()) {
            syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] strResponseHead Is Empty let is error",
                   GetId());
            Outcome(false);
            return;
        }
        if (!AnalyseHead()) {
            Outcome(false);
            return;
        }
        if (m_pRpDataWriter != nullptr)
            NotifyOnDownloadStart(m_uActiveSerial, Saturate32(m_pRpDataWriter->GetLength()),
                                  Saturate32(m_uContentLength));
        unsigned int rest = dwTmpRecvCurPos - headLen;
        dwTmpRecvCurPos = 0;
        vn::strutf8 lenText;
        if (!bChunked && FindResponseHeader("Content-Length", lenText, true) && lenText == "0") {
            syslog(VN_LOG_DEBUG, kTag, __LINE__,
                   "Id[%u] strResponseHead !bChunked Content-Length=0,Complete", GetId());
            if (rest != 0) m_bKeepConn = false;
            NotifyComplete(HTTPRESULT_OK);
            return;
        }
        body = m_pRecvBuf + headLen;
        bodyLen = rest;
    } else {
        if (m_pBodyBuf == nullptr) {
            m_pBodyBuf = static_cast<char*>(malloc(kBodyBufSize));
            if (m_pBodyBuf == nullptr) {
                Outcome(false);
                return;
            }
        }
        int want = kBodyBufSize;
        int unread = pSocket->GetUnreadDataLen();
        if (unread > 0 && unread < want) want = unread;
        int n = pSocket->Recv(m_pBodyBuf, want);
        if (n <= 0) return;
        TouchDataTimer();
        m_bRecvOnConn = true;
        body = m_pBodyBuf;
        bodyLen = static_cast<unsigned int>(n);
    }
    if (bodyLen > 0) {
        if (!WriteContentData(body, bodyLen)) {
            Outcome(false);
            return;
        }
        if (m_strMethod == "GET") ReportProgress(false);
    }
    if (m_bBodyDone) NotifyComplete(HTTPRESULT_OK);
}

void CVNHttpClient::Outcome(bool bOk) {
    if (bOk) return;
    if (m_nAction == 1) {
        if (dwResponseStatusCode > 300 && dwResponseStatusCode < 400) {
            Redirect();
        } else {
            NotifyOnReConnect(m_uActiveSerial);
            ReConnect();
        }
        return;
    }
    NotifyComplete(m_nResultCode);
}

bool CVNHttpClient::AnalyseHead() {
    unsigned int status = 0;
    int r = vn::detail::HttpAnalyseStatusLine(strResponseHead, status);
    if (r == 0) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] Error Analyse Code Head [%s] not find HTTP",
               GetId(), strResponseHead.c_str());
        return false;
    }
    if (r < 0) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] Error Analyse Code Head [%s] not two space",
               GetId(), strResponseHead.c_str());
        return false;
    }
    dwResponseStatusCode = status;
    syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] dwResponseStatusCode[%u]", GetId(), status);
    switch (status) {
        case 200:
        case 206:
        case 500:
            return ReadBodyHeaders();
        case 301:
        case 302:
        case 303:
        case 307:
            if (GetRedirectUrl()) {
                ++m_oRequestInfo.m_nRedirTimes;
                m_oRequestInfo.m_nRetryTimes = 0;
                m_nAction = 1;
                m_nResultCode = HTTPRESULT_FAILED;
            } else {
                m_nResultCode = HTTPRESULT_NOT_FOUND;
            }
            return false;
        case 304:
            m_nResultCode = HTTPRESULT_NOT_MODIFIED;
            return false;
        case 401:
        case 402:
            m_nResultCode = HTTPRESULT_UNAUTHORIZED;
            return false;
        case 404:
            m_nResultCode = HTTPRESULT_NOT_FOUND;
            return false;
        case 416:
            if (m_oRequestInfo.m_nRetryTimes < kMaxRetry) {
                syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] Set Recv File 0 Length", GetId());
                if (m_pRpDataWriter != nullptr && !m_pRpDataWriter->Truncate()) {
                    m_nResultCode = HTTPRESULT_WRITE_FAILED;
                    return false;
                }
                m_nResultCode = HTTPRESULT_OK;
                m_oRequestInfo.m_nRetryTimes = 2;
                m_nAction = 1;
            } else {
                m_nResultCode = HTTPRESULT_FAILED;
            }
            return false;
        case 503:
            m_nResultCode = HTTPRESULT_UNAVAILABLE;
            return false;
        default:
            m_nResultCode = HTTPRESULT_FAILED;
            return false;
    }
}

bool CVNHttpClient::ReadBodyHeaders() {
    vn::detail::HttpResponseHeadInfo info;
    vn::detail::HttpReadBodyHeaders(strResponseHead, info);
    if (info.bChunked) {
        bChunked = 1;
        m_uContentLength = 0;
        m_bHasContentLength = false;
        bWithChunkTrailer = info.bTrailer ? 1 : 0;
        syslog(VN_LOG_DEBUG, kTag, __LINE__,
               "Id[%u] the Content type is chunked bWithChunkTrailer[%d]", GetId(),
               bWithChunkTrailer);
    } else if (info.bHasLength) {
        m_uContentLength = info.uLength;
        m_bHasContentLength = true;
    } else {
        syslog(VN_LOG_DEBUG, kTag, __LINE__,
               "Id[%u] QueryInfo Content-Length to %u FAIL Set Content-Length = 0", GetId(), 0u);
        m_uContentLength = 0;
        m_bHasContentLength = false;
    }
    unsigned long long have = m_pRpDataWriter != nullptr ? m_pRpDataWriter->GetLength() : 0;
    if (dwResponseStatusCode == 206) {
        // A part that does not start where the target ends would be written at the wrong
        // offset: refuse it and leave the target as it is.
        if (!info.bHasRange || info.uRangeStart != have) {
            syslog(VN_LOG_ERROR, kTag, __LINE__,
                   "Id[%u] Content-Range does not start at [%llu], refused", GetId(), have);
            m_nResultCode = HTTPRESULT_FAILED;
            return false;
        }
        if (info.uRangeTotal > m_uContentLength) {
            syslog(VN_LOG_DEBUG, kTag, __LINE__,
                   "Id[%u] Content-Length Change by Content-Range [%llu]-->[%llu]", GetId(),
                   m_uContentLength, info.uRangeTotal);
            m_uContentLength = info.uRangeTotal;
            m_bHasContentLength = !bChunked;
        }
    } else if (have > 0 && m_pRpDataWriter != nullptr) {
        // The whole resource comes again: start the target afresh, never append to it.
        if (!m_pRpDataWriter->Truncate()) {
            m_nResultCode = HTTPRESULT_WRITE_FAILED;
            return false;
        }
    }
    syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] Content-Length[%llu] bChunked[%d]", GetId(),
           m_uContentLength, bChunked);
    // Cookies are not stored (the lookup that would answer them keeps nothing).
    int at = 0;
    while ((at = strResponseHead.find("Set-Cookie:", static_cast<unsigned>(at))) >= 0) {
        at += 11;
        int eol = strResponseHead.find("\r\n", static_cast<unsigned>(at));
        if (eol < 0) break;
        vn::strutf8 v =
            strResponseHead.substr(static_cast<unsigned>(at), static_cast<unsigned>(eol - at));
        v.trim();
        if (v.empty()) break;
        if (!m_strUrl.empty())
            syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] SetRawCookie [%s] bRet[%d]", GetId(),
                   v.c_str(), 1);
    }
    vn::strutf8 conn;
    if (FindResponseHeader("Connection", conn, true)) {
        conn.tolower();
        if (conn == "close") m_bKeepConn = false;
    }
    return true;
}

bool CVNHttpClient::WriteContentData(const char* p, unsigned int len) {
    if (p == nullptr || len == 0) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "WriteContentData Param Error dwLen[%u]", len);
        return false;
    }
    if (m_pRpDataWriter == nullptr) m_pRpDataWriter = new HttpResponseDataWriter(GetId());
    if (bChunked) {
        if (m_pChunker == nullptr) m_pChunker = new Chunker(GetId());
        int r = m_pChunker->Feed(p, len, m_pRpDataWriter, bWithChunkTrailer != 0);
        if (r == Chunker::kError) return false;
        if (r == Chunker::kComplete) {
            m_bBodyDone = true;
            // Only a body that ended exactly leaves the connection usable for the next
            // request: without a trailer the last size line and the empty line ("\r\n\r\n")
            // must be all that is left.
            unsigned int unused = m_pChunker->GetUnusedCount();
            if (bWithChunkTrailer ? unused != 0
                                  : (unused != 4 || memcmp(p + len - 4, "\r\n\r\n", 4) != 0))
                m_bKeepConn = false;
        }
        return true;
    }
    unsigned int n = len;
    if (m_bHasContentLength) {
        unsigned long long have = m_pRpDataWriter->GetLength();
        unsigned long long left = have >= m_uContentLength ? 0 : m_uContentLength - have;
        if (left < n) {
            // Bytes beyond the announced length are not part of this body.
            n = static_cast<unsigned int>(left);
            m_bKeepConn = false;
        }
    }
    if (n > 0 && !m_pRpDataWriter->Write(p, n)) {
        m_nResultCode = HTTPRESULT_WRITE_FAILED;
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] Write Content Len[%u] FAIL", GetId(), n);
        return false;
    }
    if (m_bHasContentLength && m_uContentLength != 0 &&
        m_pRpDataWriter->GetLength() >= m_uContentLength)
        m_bBodyDone = true;
    return true;
}

// ---------------------------------------------------------------- closes and reconnects

void CVNHttpClient::OnClose(CVNITCPSocket* pSocket) {
    if (pSocket != m_pSocket) return;
    syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] OnClose dwTmpRecvCurPos[%u]", GetId(),
           dwTmpRecvCurPos);
    CloseSocket();
    if (!m_bActive || m_bCompleted) {
        ArmStopTimer(2000);
        return;
    }
    if (m_bReuse && !m_bRecvOnConn) {
        // The kept connection had gone stale: send the request again on a new one.
        m_nAction = 1;
        m_nResultCode = HTTPRESULT_OK;
        NotifyOnReConnect(m_uActiveSerial);
        ReConnect();
        return;
    }
    if (!m_bHeadTaken || (dwResponseStatusCode != 200 && dwResponseStatusCode != 206)) {
        NotifyComplete(HTTPRESULT_UNAUTHORIZED);
        return;
    }
    if (bChunked || m_bHasContentLength) {
        // Cut short: the new request asks for the rest with a range line.
        NotifyOnReConnect(m_uActiveSerial);
        ReConnect();
        return;
    }
    m_bKeepConn = false;
    NotifyComplete(HTTPRESULT_OK);
}

void CVNHttpClient::ClearAnswer() {
    strResponseHead.clear();
    dwResponseStatusCode = 0;
    m_uContentLength = 0;
    m_bHasContentLength = false;
    bChunked = 0;
    bWithChunkTrailer = 0;
    dwTmpRecvCurPos = 0;
    m_bHeadTaken = false;
    m_bBodyDone = false;
    m_bKeepConn = true;
    delete m_pChunker;
    m_pChunker = nullptr;
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
    if (!vn::detail::HttpCrackUrl(m_strUrl, host, port, path)) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] CrackUrl[%s] Fail", GetId(), m_strUrl.c_str());
        NotifyComplete(HTTPRESULT_FAILED);
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

bool CVNHttpClient::GetRedirectUrl() {
    vn::strutf8 loc;
    if (!FindResponseHeader("Location", loc, true)) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] Get Location Fail [%s]", GetId(),
               strResponseHead.c_str());
        return false;
    }
    vn::strutf8 url;
    if (!vn::detail::HttpResolveRedirect(m_strUrl, loc, url)) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] Location [%s] is not a usable http URL",
               GetId(), loc.c_str());
        return false;
    }
    syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] Redirection URL[%s]-->URL[%s]", GetId(),
           m_strUrl.c_str(), url.c_str());
    if (url == m_strUrl) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] fuck URL[%s] == URL[%s]", GetId(),
               m_strUrl.c_str(), url.c_str());
        return false;
    }
    m_strUrl = url;
    return true;
}

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

bool CVNHttpClient::FindResponseHeader(const char* pszName, vn::strutf8& strValue, bool bTrim) {
    if (strResponseHead.empty()) return false;
    return vn::detail::HttpGetHeaderValue(strResponseHead.c_str(), strResponseHead.length(),
                                          pszName, strValue, bTrim);
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
    if (!FindResponseHeader(vn::strutf8(strName).c_str(), v, true)) return 0;
    vn_str2uint32(v.c_str(), &uValue);
    return 1;
}

unsigned char CVNHttpClient::GetResponseHeader(const vn::strutf16& strName, vn::strutf16& strValue,
                                               unsigned char bTrim) {
    vn::strutf8 v;
    if (!FindResponseHeader(vn::strutf8(strName).c_str(), v, bTrim != 0)) return 0;
    strValue = v;
    return 1;
}

unsigned char CVNHttpClient::GetResponseFileName(vn::strutf16& strName) {
    vn::strutf8 header(strName), disposition, result;
    bool found = false;
    if (FindResponseHeader(header.c_str(), disposition, true)) {
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
