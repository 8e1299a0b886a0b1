// CVNHttpClient: the options added after the designed ones (content codings, the cookie
// store, rate limits) and the start calls for any method (see vnhttpclient_internal.h).
// Setters run on the caller's threads while no request runs; the HTTP thread reads them
// when a request starts, and alone runs the pauses of the rate limits.
#include <string.h>

#include "base/vnlog.h"
#include "base/vntime.h"
#include "http/client/vnhttpclient_internal.h"
#include "http/client/vnhttpcookiejar.h"
#include "net/vnsocketi.h"

namespace {
const char kTag[] = "Http";
}  // namespace

// ---------------------------------------------------------------- options

void CVNHttpClient::SetCompressed(unsigned char bOn) {
    m_bCompressed = bOn != 0 ? 1 : 0;
}

void CVNHttpClient::GetBodyCounts(unsigned long long& uWire, unsigned long long& uDecoded) {
    uWire = m_uBodyWire;
    uDecoded = m_uBodyDecoded;
}

void CVNHttpClient::SetCookieJar(IHttpCookieJar* pJar) {
    if (pJar != nullptr) pJar->AddRef();
    IHttpCookieJar* old = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_tlsLock);
        old = m_pCookieJar;
        m_pCookieJar = pJar;
    }
    if (old != nullptr) old->Release();
}

void CVNHttpClient::TakeCookieJar() {
    IHttpCookieJar* jar = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_tlsLock);
        jar = m_pCookieJar;
        if (jar != nullptr) jar->AddRef();
    }
    if (m_pRequestJar != nullptr) m_pRequestJar->Release();
    m_pRequestJar = jar;
}

vn::strutf8 CVNHttpClient::CookieLine() {
    vn::strutf8 line;
    if (m_pRequestJar != nullptr) m_pRequestJar->GetCookie(m_strUrl.c_str(), line);
    return line;
}

void CVNHttpClient::SetRateLimit(unsigned int uRecvBytesPerSecond,
                                 unsigned int uSendBytesPerSecond) {
    m_uRecvRate = uRecvBytesPerSecond;
    m_uSendRate = uSendBytesPerSecond;
}

unsigned int CVNHttpClient::GetResponseStatus() {
    return m_uStatus;
}

// ---------------------------------------------------------------- rate limits

void CVNHttpClient::PauseRecv() {
    m_bRecvPaused = true;
    m_pSocket->SetEvent(VN_EV_READ, true);
    ArmTimer(m_recvLimit.WaitMs(), kTimerRate);
}

void CVNHttpClient::PauseSend() {
    m_bSendPaused = true;
    m_pSocket->SetEvent(VN_EV_WRITE, true);
    ArmTimer(m_sendLimit.WaitMs(), kTimerRate);
}

void CVNHttpClient::ResumeLimited() {
    if (m_pSocket == nullptr || !m_bActive || m_bCompleted) {
        m_bRecvPaused = m_bSendPaused = false;
        return;
    }
    // A pause is no silence of the peer's: the data time-out counts from now.
    if (m_bDataWanted) m_uDataTick = vn_gettickcount();
    CVNITCPSocket* socket = m_pSocket;
    if (m_bSendPaused) {
        m_bSendPaused = false;
        OnSend(socket);  // sends what the bucket allows and watches for more, or pauses again
        if (m_pSocket != socket || !m_bActive) return;
    }
    if (m_bRecvPaused) {
        m_bRecvPaused = false;
        socket->SetEvent(VN_EV_READ, false);
        // Read at once: a TLS socket may hold decrypted bytes that no readiness report
        // would announce.
        OnRecv(socket);
    }
}

// ---------------------------------------------------------------- any method

bool CVNHttpClient::IsMethodToken(const char* pszMethod) {
    // RFC 9110 token characters; CONNECT asks for a tunnel, which is not a request for a URL.
    static const char kSpecials[] = "!#$%&'*+-.^_`|~";
    if (pszMethod == nullptr || *pszMethod == '\0' || strlen(pszMethod) > 32) return false;
    if (strcmp(pszMethod, "CONNECT") == 0) return false;
    for (const char* p = pszMethod; *p != '\0'; ++p) {
        char c = *p;
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  strchr(kSpecials, c) != nullptr;
        if (!ok) return false;
    }
    return true;
}

unsigned char CVNHttpClient::StartAnyMethod(const vn::strutf16& strUrl, const char* pszMethod,
                                            HttpRequestInfo& info,
                                            const vn::strutf16& strAnswerFile) {
    if (strUrl.empty() || !IsMethodToken(pszMethod)) {
        syslog(VN_LOG_WARNING, kTag, __LINE__, "Id[%u] HttpRequest refused method [%s]", GetId(),
               pszMethod != nullptr ? pszMethod : "(null)");
        return 0;
    }
    info.strUrl = strUrl;
    if (!ClaimRunning("HttpRequest", info.strUrl)) return 0;
    info.strMethod = pszMethod;
    info.bAnyMethod = true;
    info.nMethod = strcmp(pszMethod, "POST") == 0 ? HTTPMETHOD_POST : HTTPMETHOD_GET;
    info.strDownloadFile = strAnswerFile;
    return StartRequest(info);
}

unsigned char CVNHttpClient::HttpRequest(const vn::strutf16& strUrl, const char* pszMethod,
                                         const void* pBody, unsigned int uLen,
                                         const vn::strutf16& strAnswerFile) {
    HttpRequestInfo info;
    if (pBody != nullptr && uLen > 0)
        info.body.assign(static_cast<const unsigned char*>(pBody), uLen);
    return StartAnyMethod(strUrl, pszMethod, info, strAnswerFile);
}

unsigned char CVNHttpClient::HttpRequestFile(const vn::strutf16& strUrl, const char* pszMethod,
                                             const vn::strutf16& strBodyFile,
                                             const vn::strutf16& strAnswerFile) {
    if (strBodyFile.empty()) return 0;
    HttpRequestInfo info;
    info.strUploadFile = strBodyFile;
    return StartAnyMethod(strUrl, pszMethod, info, strAnswerFile);
}
