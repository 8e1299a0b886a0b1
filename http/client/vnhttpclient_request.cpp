// CVNHttpClient: the target of a request, the connection to it, the request head, the send
// loop and the multipart form body (see vnhttpclient_internal.h). HTTP thread, except the
// form calls, which run on the caller's thread while no request runs.
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "base/vnlog.h"
#include "base/vntime.h"
#include "http/client/vnhttpclient_internal.h"
#include "http/client/vnhttpclientutil_internal.h"
#include "http/common/vndatareader_internal.h"
#include "http/common/vndatawriter_internal.h"
#include "http/common/vnhttpinfoparser.h"
#include "net/vnnet.h"
#include "net/vntlssocket_internal.h"

namespace {
const char kTag[] = "Http";
const char kBoundaryChars[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

// UTF-8 text to GBK (through UTF-16); the text unchanged when it cannot be converted.
vn::strutf8 Utf8ToGbk(const vn::strutf8& s) {
    vn::strutf16 w;
    vn::strutf8 out;
    if (s.empty() || !vnutf82utf16(s.c_str(), s.length(), w) ||
        !vnutf162gbk(w.c_str(), w.length(), out))
        return s;
    return out;
}

// Methods whose requests carry a body by their nature: sent with a length even when empty,
// so that a server need not guess (nginx answers such a request without one with 411).
bool MethodTakesBody(const vn::strutf8& method) {
    return method != "GET" && method != "HEAD" && method != "DELETE" && method != "OPTIONS" &&
           method != "TRACE";
}
}  // namespace

vn::strutf8 CVNHttpClient::ToWire(const vn::strutf16& s) const {
    vn::strutf8 out;
    if (s.empty()) return out;
    if (m_bGBK) {
        if (!vnutf162gbk(s.c_str(), s.length(), out)) out = s;
    } else {
        out = s;
    }
    return out;
}

// ---------------------------------------------------------------- target

bool CVNHttpClient::CrackUrl(const HttpRequestInfo& info) {
    if (info.strPort.empty()) {
        const vn::strutf8& url = info.strUrl;
        for (unsigned i = 0; i < url.length(); ++i) {
            if (static_cast<unsigned char>(url[i]) >= 0x80) {
                syslog(VN_LOG_WARNING, kTag, __LINE__, "HttpDownload IsWithUnsafeChar URL[%s]",
                       url.c_str());
                break;
            }
        }
        syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] CrackUrl [%s]", GetId(), url.c_str());
        vn::strutf8 host, path;
        unsigned short port = 0;
        if (!vn::detail::HttpCrackUrl(url, host, port, path, &m_bTls)) return false;
        m_strUrl = url;
        m_strHost = host;
        m_wPort = port;
        m_strPath = path;
        m_lstHosts.assign(1, host);
        return true;
    }
    if (info.lstHosts.empty()) {
        syslog(VN_LOG_WARNING, kTag, __LINE__, "CVNHttpClient::CrackUrl:lstHosts is NULL");
        return false;
    }
    vn::strutf8 path = info.strUrl.empty() ? vn::strutf8("/") : info.strUrl;
    vn::strutf8 url("http://");
    bool v6 = vnnet_addrfamily(info.lstHosts.front().c_str()) == 6;
    if (v6) url += "[";
    url += info.lstHosts.front();
    url += v6 ? "]:" : ":";
    url += info.strPort;
    url += path;
    // The same checks as a URL (scheme, port number, no control bytes).
    vn::strutf8 host, checkedPath;
    unsigned short port = 0;
    if (!vn::detail::HttpCrackUrl(url, host, port, checkedPath, &m_bTls)) return false;
    for (const vn::strutf8& h : info.lstHosts) {
        for (unsigned i = 0; i < h.length(); ++i) {
            unsigned char c = static_cast<unsigned char>(h[i]);
            if (c <= 0x20 || c == 0x7F || c == '/') return false;
        }
    }
    m_strUrl = url;
    m_wPort = port;
    m_strHost = info.lstHosts.front();
    m_lstHosts = info.lstHosts;
    m_strPath = path;
    return true;
}

bool CVNHttpClient::CreateDataReader() {
    delete m_pDataReader;
    m_pDataReader = nullptr;
    m_bClosingQueued = 0;
    if (!m_oRequestInfo.strUploadFile.empty()) {
        m_pDataReader = new CDataReader(GetId());
        if (!m_pDataReader->SetFileName(m_oRequestInfo.strUploadFile.c_str())) {
            delete m_pDataReader;
            m_pDataReader = nullptr;
            return false;
        }
    } else if (!m_oRequestInfo.body.empty()) {
        m_pDataReader = new CDataReader(GetId());
        if (!m_pDataReader->SetBuffer(m_oRequestInfo.body.c_str(), m_oRequestInfo.body.length())) {
            delete m_pDataReader;
            m_pDataReader = nullptr;
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------- connection

bool CVNHttpClient::CanReuse() {
    if (m_pSocket == nullptr) {
        syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] m_pSocket is NUll, can NOT reuse tcp",
               GetId());
        return false;
    }
    if (m_strsockIP.empty()) {
        syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] m_strsockIP is NUll, can NOT reuse tcp",
               GetId());
        return false;
    }
    if (m_wsockPort != m_wPort) {
        syslog(VN_LOG_DEBUG, kTag, __LINE__,
               "Id[%u] m_wsockPort[%d] != Request port[%d], can NOT reuse tcp", GetId(),
               m_wsockPort, m_wPort);
        return false;
    }
    // A TLS connection was checked for one name: it serves that name only, and never a
    // plain request (nor the reverse).
    if (m_bSocketTls != m_bTls || (m_bTls && m_strsockIP != m_strHost)) {
        syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] kept connection is for another scheme or name",
               GetId());
        return false;
    }
    for (const vn::strutf8& h : m_lstHosts)
        if (h == m_strsockIP) return true;
    CloseSocket();
    syslog(VN_LOG_DEBUG, kTag, __LINE__,
           "Id[%u] m_strsockIP[%s] is not in request list, can NOT reuse tcp", GetId(),
           m_strsockIP.c_str());
    return false;
}

void CVNHttpClient::ConnectServer() {
    // A kept connection that is not used goes now: its close or stray bytes must not be
    // taken for this request's.
    CloseSocket();
    delete m_pConnector;
    m_pConnector = new CHttpTCPConnector(GetId(), this);
    {
        std::lock_guard<std::mutex> lock(m_tlsLock);
        m_pConnector->SetPinned(m_mapResolve);
    }
    if (!m_pConnector->Connect(m_lstHosts, m_wPort, m_uConnectTimeout)) {
        NotifyComplete(HTTPRESULT_CONNECT_FAILED);
        return;
    }
    m_strsockIP = m_strHost;
    m_wsockPort = m_wPort;
}

void CVNHttpClient::OnConnect(bool bSuccess, int fd) {
    VN_DCHECK(OnHttpThread());
    if (!m_bActive) {
        if (fd >= 0) vnsocket_close(fd);
        return;
    }
    // Descriptor 0 is a valid descriptor on this platform; only -1 means none.
    if (!bSuccess || fd < 0) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] Connect Fail [%s]", GetId(),
               m_strHost.c_str());
        NotifyComplete(HTTPRESULT_CONNECT_FAILED);
        return;
    }
    NotifyOnConnected(m_uActiveSerial);
    syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] Connect [%s] socket[%d] <<<<>>>> Success", GetId(),
           m_strHost.c_str(), fd);
    m_strsockIP = m_strHost;
    m_wsockPort = m_wPort;
    CloseSocket();
    if (m_bTls) {
        std::string host(m_strHost.c_str(), m_strHost.length());
        m_pTlsSocket = new CVNTLSSocket(m_pTlsContext, host.c_str(), m_wPort);
        m_pSocket = m_pTlsSocket;
    } else {
        m_pSocket = VNCreateTCPSocket();
    }
    if (m_pSocket == nullptr) {
        vnsocket_close(fd);
        NotifyComplete(HTTPRESULT_CONNECT_FAILED);
        return;
    }
    m_pSocket->SetSink(this);
    if (!m_pSocket->Attach(fd)) {
        // The socket adopted the descriptor either way: closing it closes that too.
        if (m_pTlsSocket != nullptr) TakeTlsFailure();
        NotifyComplete(m_bTls ? HTTPRESULT_TLS_FAILED : HTTPRESULT_CONNECT_FAILED);
        return;
    }
    // The head and a body go out in separate sends: without this the body would wait for
    // the server's delayed acknowledgement of the head.
    m_pSocket->SetNoDelay(true);
    m_bSocketTls = m_bTls;
    if (m_bTls) {
        // The request goes out when the handshake is over (the socket's first OnSend); until
        // then the connect time-out applies.
        m_bHandshaking = true;
        m_uDataTick = vn_gettickcount();
        m_bDataWanted = true;
        ArmTimer(CurrentTimeout(), kTimerData);
        return;
    }
    SendRequest();
}

// ---------------------------------------------------------------- request head

bool CVNHttpClient::BuildRqHead() {
    vn::strutf8 head, line;
    auto overrideLine = [this](const char* key, const char* def) {
        vn::strutf8 l;
        auto it = m_mapOverrides.find(key);
        if (it != m_mapOverrides.end())
            l.format("%s: %s\r\n", key, it->second.c_str());
        else
            l = def;
        return l;
    };
    line.format("%s %s %s\r\n", m_strMethod.c_str(), m_strPath.c_str(), "HTTP/1.1");
    head += line;
    head += overrideLine("accept", "Accept: */*\r\n");
    head += "Connection:Keep-Alive\r\n";
    head += m_strExtraHeaders;
    head += overrideLine("user-agent",
                         "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)\r\n");
    // An IPv6 address goes in brackets, as in the URL (RFC 9110 section 7.2).
    const char* open = vnnet_addrfamily(m_strHost.c_str()) == 6 ? "[" : "";
    const char* close = *open != '\0' ? "]" : "";
    if (m_wPort == (m_bTls ? 443 : 80))
        line.format("Host: %s%s%s\r\n", open, m_strHost.c_str(), close);
    else
        line.format("Host: %s%s%s:%d\r\n", open, m_strHost.c_str(), close, m_wPort);
    head += line;
    head += overrideLine("pragma", "Pragma: no-cache\r\n");
    head += m_strIfModifiedSince;
    if (m_strMethod == "GET") {
        unsigned long long have = TargetHolds();
        if (have > 0) {
            line.format("Range: bytes=%llu-\r\n", have);
            head += line;
            syslog(VN_LOG_DEBUG, kTag, __LINE__, "httprequst Range: bytes=%llu-\r\n", have);
        }
    }
    if (m_bUseCookie) {
        vn::strutf8 cookie = CookieLine();
        if (!cookie.empty()) {
            line.format("Cookie: %s\r\n", cookie.c_str());
            head += line;
        }
    }
    if (m_bCompressedReq && !vn::detail::HttpHasHeaderLine(m_strExtraHeaders, "Accept-Encoding"))
        head += "Accept-Encoding: gzip, deflate\r\n";
    unsigned long long bodyLen = m_pDataReader != nullptr ? m_pDataReader->GetLength() : 0;
    if (!m_bMultipart) {
        if (bodyLen != 0 || (m_oRequestInfo.bAnyMethod && MethodTakesBody(m_strMethod))) {
            line.format("Content-Length: %llu\r\n", bodyLen);
            head += line;
        }
        head += "\r\n";
        strRqHead = m_bGBK ? Utf8ToGbk(head) : head;
    } else {
        line.format("Content-Length: %llu\r\n",
                    bodyLen + m_strFormDatas.length() + ClosingDelimiter().length());
        head += line;
        line.format("Content-Type: multipart/form-data; boundary=%s\r\n", m_strBoundary.c_str());
        head += line;
        head += "\r\n";
        strRqHead = m_bGBK ? Utf8ToGbk(head) : head;
        strRqHead += m_strFormDatas;
    }
    return !strRqHead.empty();
}

// ---------------------------------------------------------------- sending

void CVNHttpClient::SendRequest() {
    if (m_bBuildHead && (!BuildRqHead() || strRqHead.empty())) {
        syslog(VN_LOG_WARNING, kTag, __LINE__, "Id[%u] BuildRqHead failed or strRqHead[%u] == 0",
               GetId(), strRqHead.length());
        NotifyComplete(HTTPRESULT_FAILED);
        return;
    }
    m_uRqHeadSent = 0;
    m_bRecvOnConn = false;
    // The answer is read for what this request is: its method, its target and the bytes
    // that target holds (a Range asked for the rest).
    m_reader.Start(m_strMethod.c_str(), !m_oRequestInfo.strDownloadFile.empty(), TargetHolds(),
                   m_strUrl, m_oRequestInfo.bAnyMethod);
    SendData();
    if (!m_bActive) return;
    TouchDataTimer();
}

vn::strutf8 CVNHttpClient::ClosingDelimiter() const {
    // After file data the delimiter brings the line break that ends the data. A form of
    // fields alone already ends with the line break of its last value: another one would
    // become part of that value.
    vn::strutf8 d;
    bool fieldsOnly = m_oRequestInfo.body.empty() && m_oRequestInfo.strUploadFile.empty();
    d.format(fieldsOnly ? "--%s--\r\n\r\n" : "\r\n--%s--\r\n\r\n", m_strBoundary.c_str());
    return d;
}

void CVNHttpClient::QueueClosingBoundary() {
    vn::strutf8 d = ClosingDelimiter();
    delete m_pDataReader;
    m_pDataReader = new CDataReader(GetId());
    m_pDataReader->SetBuffer(d.c_str(), d.length());
    m_bClosingQueued = 1;
}

void CVNHttpClient::SendData() {
    if (m_pSocket == nullptr || !m_bActive) return;
    unsigned int headLen = strRqHead.length();
    while (m_uRqHeadSent < headLen) {
        int n = m_pSocket->Send(strRqHead.c_str() + m_uRqHeadSent,
                                static_cast<int>(headLen - m_uRqHeadSent));
        if (n <= 0) return;
        m_uRqHeadSent += static_cast<unsigned int>(n);
        m_uDataTick = vn_gettickcount();
    }
    for (;;) {
        if (m_pDataReader == nullptr || m_pDataReader->IsEnd()) {
            if (m_bMultipart && !m_bClosingQueued) {
                // The closing delimiter follows the parts, from a reader of its own, so the
                // body is exactly as long as the head announced.
                QueueClosingBoundary();
                continue;
            }
            m_pSocket->SetEvent(VN_EV_WRITE, true);
            m_pSocket->SetEvent(VN_EV_READ, false);
            return;
        }
        const char* p = nullptr;
        unsigned int n = 0;
        if (!m_pDataReader->GetNextBlock(p, n) || n == 0) {
            NotifyComplete(HTTPRESULT_FAILED);
            return;
        }
        unsigned int want = n;
        if (m_sendLimit.IsOn()) {
            size_t allowed = m_sendLimit.Available();
            if (allowed == 0) {
                PauseSend();
                return;
            }
            if (allowed < want) want = static_cast<unsigned int>(allowed);
        }
        int sent = m_pSocket->Send(p, static_cast<int>(want));
        if (sent <= 0) return;  // the buffer is full: OnSend comes when it drains
        m_sendLimit.Consume(static_cast<size_t>(sent));
        m_pDataReader->Advance(static_cast<unsigned long long>(sent));
        m_uDataTick = vn_gettickcount();
        if ((m_strMethod == "POST" || m_oRequestInfo.bAnyMethod) && !m_bClosingQueued)
            ReportProgress(true);
        // Short of what was offered: the socket is full (wait for OnSend), unless the limit
        // cut the offer (go round: the bucket says when to go on).
        if (static_cast<unsigned int>(sent) < want) return;
    }
}

void CVNHttpClient::OnSend(CVNITCPSocket* pSocket) {
    VN_DCHECK(OnHttpThread());
    if (pSocket != m_pSocket) return;
    if (!m_bActive || m_bCompleted) {
        pSocket->SetEvent(VN_EV_WRITE, true);
        return;
    }
    if (m_bHandshaking) {
        // The TLS handshake is over (the socket's first OnSend): now the request goes out.
        m_bHandshaking = false;
        SendRequest();
        return;
    }
    SendData();
    if (m_pSocket == nullptr || !m_bActive) return;
    bool more =
        m_uRqHeadSent < strRqHead.length() || (m_pDataReader != nullptr && !m_pDataReader->IsEnd());
    if (more && !m_bSendPaused) m_pSocket->SetEvent(VN_EV_READ | VN_EV_WRITE, false);
}

// ---------------------------------------------------------------- multipart form data

namespace {
void MakeBoundary(vn::strutf8& b) {
    if (!b.empty()) return;
    char text[7];
    for (int i = 0; i < 6; ++i)
        text[i] = kBoundaryChars[static_cast<unsigned>(vn_rand()) % 62];
    text[6] = 0;
    b = text;
}
}  // namespace

void CVNHttpClient::AddFormData(const vn::strutf16& strName, const vn::strutf16& strValue) {
    vn::strutf8 name = ToWire(strName), value = ToWire(strValue);
    // The name goes into a part head: a line break there would forge headers of its own.
    if (vn::detail::HttpHasCrLf(name) || name.find("\"") >= 0) {
        syslog(VN_LOG_WARNING, kTag, __LINE__, "Id[%u] AddFormData refused name [%s]", GetId(),
               name.c_str());
        return;
    }
    MakeBoundary(m_strBoundary);
    vn::strutf8 part;
    part.format("--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n",
                m_strBoundary.c_str(), name.c_str());
    m_strFormDatas += part;
    m_strFormDatas += value;
    m_strFormDatas += "\r\n";
}

bool CVNHttpClient::FormPartNames(const char16_t* pszName, const char16_t* pszPath,
                                  vn::strutf8& strName, vn::strutf8& strFile) const {
    strName = pszName != nullptr ? ToWire(vn::strutf16(pszName)) : vn::strutf8();
    strFile.clear();
    if (pszPath != nullptr && pszPath[0] != 0) {
        vn::strutf16 pure;
        CHttpInfoParser::GetPureFileName(vn::strutf16(pszPath), pure);
        strFile = ToWire(pure);
    }
    // Both go into a quoted header value: a line break or a quote would end it early.
    return !vn::detail::HttpHasCrLf(strName) && !vn::detail::HttpHasCrLf(strFile) &&
           strName.find("\"") < 0 && strFile.find("\"") < 0;
}

bool CVNHttpClient::BeginFormUpload(const vn::strutf8& strUrl, bool bHasBody,
                                    HttpRequestInfo& info) {
    if (!ClaimRunning("UploadFormData", strUrl)) return false;
    MakeBoundary(m_strBoundary);
    if (m_strFormDatas.empty() && !bHasBody) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] Error strFormDatas IsEmpty", GetId());
        m_bRunning = 0;
        return false;
    }
    info.strUrl = strUrl;
    info.nMethod = HTTPMETHOD_POST;
    info.bMultipart = 1;
    return true;
}

void CVNHttpClient::AppendFilePartHead(const vn::strutf8& strName, const vn::strutf8& strFile) {
    vn::strutf8 part;
    part.format(
        "--%s\r\nContent-Disposition: form-data; name=\"%s\"; filename=\"%s\"\r\n"
        "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: binary\r\n\r\n",
        m_strBoundary.c_str(), strName.c_str(), strFile.c_str());
    m_strFormDatas += part;
}

unsigned char CVNHttpClient::UploadFormData(const vn::strutf16& strUrl, const char16_t* pszName,
                                            const void* pData, unsigned int uLen,
                                            const char16_t* pszFileName) {
    if (strUrl.empty()) return 0;
    vn::strutf8 name, file;
    if (!FormPartNames(pszName, pszFileName, name, file)) return 0;
    bool hasData = pData != nullptr && uLen > 0;
    HttpRequestInfo info;
    if (!BeginFormUpload(vn::strutf8(strUrl), hasData, info)) return 0;
    if (hasData) info.body.assign(static_cast<const unsigned char*>(pData), uLen);
    if (!name.empty() && hasData) {
        if (!file.empty()) {
            AppendFilePartHead(name, file);
        } else {
            vn::strutf8 part;
            part.format(
                "--%s\r\nContent-Disposition: form-data; name=\"%s\"; Content-Type: "
                "application/octet-stream\r\nContent-Transfer-Encoding: binary\r\n\r\n",
                m_strBoundary.c_str(), name.c_str());
            m_strFormDatas += part;
        }
    }
    return StartRequest(info);
}

unsigned char CVNHttpClient::UploadFormData(const vn::strutf16& strUrl, const char16_t* pszName,
                                            const char16_t* pszFilePath) {
    if (strUrl.empty()) return 0;
    bool hasPath = pszFilePath != nullptr && pszFilePath[0] != 0;
    vn::strutf8 name, file;
    if (!FormPartNames(pszName, pszFilePath, name, file)) return 0;
    HttpRequestInfo info;
    if (!BeginFormUpload(vn::strutf8(strUrl), hasPath, info)) return 0;
    if (hasPath) info.strUploadFile = vn::strutf8(vn::strutf16(pszFilePath));
    if (!name.empty() && hasPath) AppendFilePartHead(name, file);
    return StartRequest(info);
}
