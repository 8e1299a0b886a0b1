// CVNHttpClient: the interface operations, the life cycle of a request, notifications and
// timers (see vnhttpclient_internal.h). Request building is in vnhttpclient_request.cpp,
// response handling in vnhttpclient_response.cpp.
#include "http/client/vnhttpclient_internal.h"
#include "http/client/vnhttpcookiejar.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <utility>

#include "base/vnlog.h"
#include "base/vntime.h"
#include "fevent/vntaskio.h"
#include "http/client/vnhttpclientutil_internal.h"
#include "http/common/vndatareader_internal.h"
#include "http/common/vndatawriter_internal.h"
#include "io/vnio_posix_internal.h"
#include "net/vntlssocket_internal.h"

namespace {
const char kTag[] = "Http";
constexpr unsigned int kStopDelayOk = 120000;
constexpr unsigned int kStopDelayFail = 2000;

}  // namespace

std::atomic<unsigned int> CVNHttpClient::s_uNextId{0};

IHttpClientSink::~IHttpClientSink() {}
IHttpClient::~IHttpClient() {}

IHttpClient* vn_create_httpclient(CVNTaskBase* pNotifyTask) {
    if (pNotifyTask == nullptr) return nullptr;
    return new (std::nothrow) CVNHttpClient(pNotifyTask);
}

CVNHttpClient::CVNHttpClient(CVNTaskBase* pNotifyTask)
    : Id(0),
      m_pNotifyTask(pNotifyTask),
      m_pHolder(new CScopeHolder<CVNHttpClient, 0, CRefCountSafe>(this)),
      m_pSink(nullptr),
      m_uConnectTimeout(5000),
      m_uDataTimeout(60000),
      m_uRetryAllowance(0),
      m_bGBK(0),
      m_bUseCookie(1),
      m_bResume(0),
      m_bSyncRedirect(0),
      m_uNotifyMask(0x08),
      m_uUserData(0),
      m_pUserObject(nullptr),
      m_uUserParam(0xFFFFFFFFu),
      m_bTlsChanged(true),
      m_bAllowDowngrade(0),
      m_bCompressed(0),
      m_uRecvRate(0),
      m_uSendRate(0),
      m_pCookieJar(nullptr),
      m_uBodyWire(0),
      m_uBodyDecoded(0),
      m_uStatus(0),
      m_bRunning(0),
      m_uSerial(0),
      m_pTimer(nullptr),
      m_bTimerArmed{false, false, false},
      m_uDataTick(0),
      m_bDataWanted(false),
      m_bStopWanted(false),
      m_uStopDeadline(0),
      m_uStopFireTick(0),
      m_uActiveSerial(0),
      m_bActive(false),
      m_bCompleted(0),
      m_bMultipart(0),
      m_bClosingQueued(0),
      m_wPort(0),
      m_uRqHeadSent(0),
      m_bBuildHead(1),
      m_bReuse(0),
      m_bRecvOnConn(false),
      m_pRecvBuf(nullptr),
      m_uRecvLen(0),
      m_uRecvPos(0),
      m_pTlsContext(nullptr),
      m_bTls(false),
      m_bSocketTls(false),
      m_bHandshaking(false),
      m_nTlsError(VNTLS_NONE),
      m_uContentLength(0),
      m_uResumeFrom(0),
      m_bAskWhole(false),
      m_bKeepConn(true),
      m_pDataReader(nullptr),
      m_pRpDataWriter(nullptr),
      m_pConnector(nullptr),
      m_pSocket(nullptr),
      m_pTlsSocket(nullptr),
      m_wsockPort(0),
      m_pRequestJar(nullptr),
      m_bCompressedReq(false),
      m_bDecoding(false),
      m_bRecvPaused(false),
      m_bSendPaused(false),
      m_pAliveFlag(nullptr) {
    m_pNotifyTask->AddRef();
}

CVNHttpClient::~CVNHttpClient() {
    // First: calls still queued for this client (on either thread) find no owner.
    m_pHolder->Clear();
    // Deleted by the sink of a synchronous redirect: the frame below must not touch us.
    bool* alive = m_pAliveFlag.load();
    if (alive != nullptr && OnHttpThread()) *alive = false;
    Stop();
    ClearHeaders();
    m_pHolder->Release();
    m_pHolder = nullptr;
    if (m_pUserObject != nullptr) m_pUserObject->Release();
    if (m_pTlsContext != nullptr) m_pTlsContext->Release();
    if (m_pCookieJar != nullptr) m_pCookieJar->Release();
    m_pNotifyTask->Release();
}

// ---------------------------------------------------------------- options

void CVNHttpClient::SetSink(IHttpClientSink* pSink) {
    m_pSink = pSink;
}

void CVNHttpClient::SetTimeout(unsigned int uConnectMs, unsigned int uDataMs,
                               unsigned int uRetryTimes) {
    m_uConnectTimeout = uConnectMs;
    m_uDataTimeout = uDataMs;
    m_uRetryAllowance = uRetryTimes;
}

// ---------------------------------------------------------------- TLS options

namespace {
// A trust file or directory the caller names must be there to read now: a typo is better
// reported by the setter than as every later request's refusal.
bool Readable(const char* pszPath, bool bDirectory) {
    struct stat st;
    if (stat(pszPath, &st) != 0 || access(pszPath, R_OK) != 0) return false;
    return bDirectory ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
}
}  // namespace

unsigned char CVNHttpClient::SetTrust(std::string vn::detail::TlsClientOptions::*pField,
                                      const char* pszPath, bool bDirectory) {
    bool none = pszPath == nullptr || *pszPath == '\0';
    if (!none && !Readable(pszPath, bDirectory)) return 0;
    std::lock_guard<std::mutex> lock(m_tlsLock);
    m_tlsOptions.*pField = none ? "" : pszPath;
    m_bTlsChanged = true;
    return 1;
}

unsigned char CVNHttpClient::SetTlsCaFile(const char* pszFile) {
    return SetTrust(&vn::detail::TlsClientOptions::strCaFile, pszFile, false);
}

unsigned char CVNHttpClient::SetTlsCaPath(const char* pszDir) {
    return SetTrust(&vn::detail::TlsClientOptions::strCaPath, pszDir, true);
}

unsigned char CVNHttpClient::SetTlsPins(const char* pszPins) {
    std::vector<std::string> pins;
    if (pszPins != nullptr && *pszPins != '\0' &&
        !vn::detail::CTlsContext::ParsePins(pszPins, &pins)) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(m_tlsLock);
    m_tlsOptions.pins = std::move(pins);
    m_bTlsChanged = true;
    return 1;
}

void CVNHttpClient::SetTlsVerify(unsigned char bVerify) {
    std::lock_guard<std::mutex> lock(m_tlsLock);
    if (m_tlsOptions.bVerify != (bVerify != 0)) {
        m_tlsOptions.bVerify = bVerify != 0;
        m_bTlsChanged = true;
    }
    if (!m_tlsOptions.bVerify) {
        syslog(VN_LOG_WARNING, kTag, __LINE__, "Id[%u] TLS certificates are not checked", GetId());
    }
}

void CVNHttpClient::SetAllowDowngrade(unsigned char bAllow) {
    m_bAllowDowngrade = bAllow != 0 ? 1 : 0;
}

unsigned char CVNHttpClient::AddResolve(const char* pszEntry) {
    if (pszEntry == nullptr) {
        std::lock_guard<std::mutex> lock(m_tlsLock);
        m_mapResolve.clear();
        return 1;
    }
    std::string key;
    std::vector<std::string> addrs;
    if (!vn::detail::HttpParseResolve(pszEntry, &key, &addrs)) return 0;
    std::lock_guard<std::mutex> lock(m_tlsLock);
    m_mapResolve[key] = std::move(addrs);
    return 1;
}

int CVNHttpClient::GetTlsError(vn::strutf8& strText) {
    std::lock_guard<std::mutex> lock(m_tlsLock);
    strText = m_strTlsError;
    return m_nTlsError;
}

bool CVNHttpClient::EnsureTlsContext() {
    vn::detail::TlsClientOptions options;
    {
        std::lock_guard<std::mutex> lock(m_tlsLock);
        if (m_pTlsContext != nullptr && !m_bTlsChanged) return true;
        options = m_tlsOptions;
    }
    std::string error;
    vn::detail::CTlsContext* ctx = vn::detail::CTlsContext::NewClient(options, &error);
    if (ctx == nullptr) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] TLS settings refused: %s", GetId(),
               error.c_str());
        SetTlsFailure(VNTLS_UNTRUSTED, error.c_str());
        return false;
    }
    // Connections made with the old settings keep their own reference.
    if (m_pTlsContext != nullptr) m_pTlsContext->Release();
    m_pTlsContext = ctx;
    std::lock_guard<std::mutex> lock(m_tlsLock);
    m_bTlsChanged = false;
    return true;
}

void CVNHttpClient::SetTlsFailure(int nReason, const char* pszText) {
    std::lock_guard<std::mutex> lock(m_tlsLock);
    m_nTlsError = nReason;
    m_strTlsError = pszText;
}

void CVNHttpClient::TakeTlsFailure() {
    std::string text;
    int reason = m_pTlsSocket->GetError(&text);
    if (reason == VNTLS_NONE) {
        reason = VNTLS_PROTOCOL;
        text = "the connection ended during the handshake";
    }
    SetTlsFailure(reason, text.c_str());
}

unsigned int CVNHttpClient::CurrentTimeout() const {
    return m_bHandshaking ? m_uConnectTimeout.load() : m_uDataTimeout.load();
}

unsigned int CVNHttpClient::GetId() {
    return Id;
}

void CVNHttpClient::SetGBKEncoding(unsigned char bGBK) {
    m_bGBK = bGBK;
}

void CVNHttpClient::SetUseCookie(unsigned char bUse) {
    m_bUseCookie = bUse;
}

void CVNHttpClient::SetResumeDownload(unsigned char bResume) {
    m_bResume = bResume != 0 ? 1 : 0;
}

void CVNHttpClient::SetSyncRedirect(unsigned char bSync) {
    m_bSyncRedirect = bSync;
}

void CVNHttpClient::SetNotifyMask(unsigned char uMask) {
    m_uNotifyMask = uMask;
}

unsigned char CVNHttpClient::SetUserData(unsigned long long uData) {
    m_uUserData = uData;
    return 1;
}

unsigned char CVNHttpClient::SetUserObject(CRefCount* pObject) {
    if (pObject != nullptr) pObject->AddRef();
    if (m_pUserObject != nullptr) m_pUserObject->Release();
    m_pUserObject = pObject;
    return 1;
}

unsigned char CVNHttpClient::GetUserData(unsigned long long& uData) {
    uData = m_uUserData;
    return 1;
}

unsigned char CVNHttpClient::GetUserObject(CRefCount*& pObject) {
    if (m_pUserObject == nullptr) return 0;
    m_pUserObject->AddRef();
    pObject = m_pUserObject;
    return 1;
}

unsigned char CVNHttpClient::SetUserParam(unsigned int uParam) {
    m_uUserParam = uParam;
    return 1;
}

unsigned int CVNHttpClient::GetUserParam() {
    return m_uUserParam;
}

unsigned char CVNHttpClient::AddHeader(const vn::strutf16& strName, unsigned int uValue) {
    vn::strutf8 v;
    v.format("%u", uValue);
    return AddHeader(strName, vn::strutf16(v));
}

unsigned char CVNHttpClient::AddHeader(const vn::strutf16& strName, const vn::strutf16& strValue) {
    vn::strutf8 name(strName), value(strValue);
    name.trim();
    value.trim();
    if (name.empty() || value.empty()) return 0;
    // A line break inside would let the caller's text start a header of its own.
    if (vn::detail::HttpHasCrLf(name) || vn::detail::HttpHasCrLf(value)) return 0;
    vn::strutf8 lower(name);
    lower.tolower();
    if (lower == "accept" || lower == "user-agent" || lower == "pragma") {
        m_mapOverrides[std::string(lower.c_str())] = value;
        return 1;
    }
    m_strExtraHeaders += name;
    m_strExtraHeaders += ":";
    m_strExtraHeaders += value;
    m_strExtraHeaders += "\r\n";
    return 1;
}

unsigned char CVNHttpClient::AddRawHeader(const vn::strutf16& strLine) {
    vn::strutf8 line(strLine);
    line.trim();
    if (line.empty() || vn::detail::HttpHasCrLf(line)) return 0;
    m_strExtraHeaders += line;
    m_strExtraHeaders += "\r\n";
    return 1;
}

void CVNHttpClient::ClearHeaders() {
    m_mapOverrides.clear();
    m_strExtraHeaders.clear();
}

void CVNHttpClient::ClearFormData() {
    m_strBoundary.clear();
    m_strFormDatas.clear();
}

unsigned char CVNHttpClient::IsRunning() {
    return m_bRunning;
}

// ---------------------------------------------------------------- start calls

namespace {
std::vector<vn::strutf8> ToHostList(const vn::strutf16* pHosts, unsigned int n) {
    std::vector<vn::strutf8> v;
    for (unsigned int i = 0; pHosts != nullptr && i < n; ++i) {
        vn::strutf8 h(pHosts[i]);
        h.trim();
        if (!h.empty()) v.push_back(h);
    }
    return v;
}
}  // namespace

unsigned char CVNHttpClient::Download(const vn::strutf16& strPath, const vn::strutf16& strPort,
                                      const vn::strutf16* pHosts, unsigned int uHostCount,
                                      const vn::strutf16& strFileName, const SYSTEMTIME* pTime,
                                      unsigned char bResume) {
    HttpRequestInfo info;
    info.lstHosts = ToHostList(pHosts, uHostCount);
    if (info.lstHosts.empty()) {
        syslog(VN_LOG_WARNING, kTag, __LINE__, "Id[%u] Download:strHost is empty", GetId());
        return 0;
    }
    if (strFileName.empty()) {
        syslog(VN_LOG_WARNING, kTag, __LINE__, "Id[%u] Download:strFileName is empty", GetId());
        return 0;
    }
    unsigned char expected = 0;
    if (!m_bRunning.compare_exchange_strong(expected, 1)) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] Download is Running", GetId());
        return 0;
    }
    info.strUrl = strPath;
    info.strPort = strPort;
    info.nMethod = HTTPMETHOD_GET;
    info.strDownloadFile = strFileName;
    info.SetTime(pTime);
    info.bResume = bResume;
    return StartRequest(info);
}

unsigned char CVNHttpClient::Download(const vn::strutf16& strUrl, const vn::strutf16& strFileName,
                                      const SYSTEMTIME* pTime, unsigned char bResume) {
    if (strUrl.empty() || strFileName.empty()) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] Error Download,Param Error", GetId());
        return 0;
    }
    HttpRequestInfo info;
    info.strUrl = strUrl;
    if (!ClaimRunning("Download", info.strUrl)) return 0;
    info.nMethod = HTTPMETHOD_GET;
    info.strDownloadFile = strFileName;
    info.SetTime(pTime);
    info.bResume = bResume;
    return StartRequest(info);
}

unsigned char CVNHttpClient::Download(const vn::strutf16& strUrl, const SYSTEMTIME* pTime) {
    if (strUrl.empty()) return 0;
    HttpRequestInfo info;
    info.strUrl = strUrl;
    if (!ClaimRunning("Download", info.strUrl)) return 0;
    info.nMethod = HTTPMETHOD_GET;
    info.SetTime(pTime);
    return StartRequest(info);
}

unsigned char CVNHttpClient::HttpRequestToBuffer(const vn::strutf16& strPath,
                                                 const vn::strutf16& strPort,
                                                 const vn::strutf16* pHosts,
                                                 unsigned int uHostCount, unsigned int uMethod,
                                                 const void* pBody, unsigned int uLen) {
    HttpRequestInfo info;
    info.lstHosts = ToHostList(pHosts, uHostCount);
    if (info.lstHosts.empty()) {
        syslog(VN_LOG_WARNING, kTag, __LINE__, "Id[%u]  HttpRequestToBuffer:strHost is empty",
               GetId());
        return 0;
    }
    if (uMethod != HTTPMETHOD_GET && uMethod != HTTPMETHOD_POST) {
        syslog(VN_LOG_WARNING, kTag, __LINE__,
               "Id[%u]  HttpRequestToBuffer:nMethod[%d] should be HTTPMETHOD_GET[%d] or "
               "HTTPMETHOD_POST[%d]",
               GetId(), static_cast<int>(uMethod), HTTPMETHOD_GET, HTTPMETHOD_POST);
        return 0;
    }
    unsigned char expected = 0;
    if (!m_bRunning.compare_exchange_strong(expected, 1)) {
        syslog(VN_LOG_ERROR, kTag, __LINE__,
               "Id[%u]  HttpRequestToBuffer:Error HttpRequestToBuffer, m_bRunning[%d]", GetId(), 1);
        return 0;
    }
    info.strUrl = strPath;
    info.strPort = strPort;
    info.nMethod = uMethod;
    if (pBody != nullptr && uLen > 0)
        info.body.assign(static_cast<const unsigned char*>(pBody), uLen);
    return StartRequest(info);
}

unsigned char CVNHttpClient::HttpRequestToBuffer(const vn::strutf16& strUrl, unsigned int uMethod,
                                                 const void* pBody, unsigned int uLen) {
    if (strUrl.empty() || (uMethod != HTTPMETHOD_GET && uMethod != HTTPMETHOD_POST)) return 0;
    HttpRequestInfo info;
    info.strUrl = strUrl;
    if (!ClaimRunning("HttpRequestToBuffer", info.strUrl)) return 0;
    info.nMethod = uMethod;
    if (pBody != nullptr && uLen > 0)
        info.body.assign(static_cast<const unsigned char*>(pBody), uLen);
    return StartRequest(info);
}

unsigned char CVNHttpClient::Post(const char* pszHost, unsigned short uPort,
                                  const vn::strutf8& strHead, const vn::strutf8& strBody) {
    if (pszHost == nullptr) return 0;
    unsigned int serial = ++m_uSerial;
    CVNTaskIO* task = m_thread.Acquire();
    if (task == nullptr) return 0;
    // The host text is copied into the call: the caller's buffer may be gone when it runs.
    unsigned char ok = vn_task_call_CVNHttpClientPost::Marshal(
        task, m_pHolder, this, std::string(pszHost), uPort, strHead, strBody, serial);
    task->Release();
    return ok;
}

unsigned char CVNHttpClient::Upload(const vn::strutf16& strUrl, const void* pData,
                                    unsigned int uLen) {
    if (strUrl.empty() || pData == nullptr || uLen == 0) return 0;
    HttpRequestInfo info;
    info.strUrl = strUrl;
    if (!ClaimRunning("Upload", info.strUrl)) return 0;
    info.nMethod = HTTPMETHOD_POST;
    info.body.assign(static_cast<const unsigned char*>(pData), uLen);
    return StartRequest(info);
}

unsigned char CVNHttpClient::Upload(const vn::strutf16& strUrl, const vn::strutf16& strFileName) {
    if (strUrl.empty() || strFileName.empty()) return 0;
    HttpRequestInfo info;
    info.strUrl = strUrl;
    if (!ClaimRunning("Upload", info.strUrl)) return 0;
    info.nMethod = HTTPMETHOD_POST;
    info.strUploadFile = strFileName;
    return StartRequest(info);
}

bool CVNHttpClient::ClaimRunning(const char* pszCall, const vn::strutf8& strUrl) {
    unsigned char expected = 0;
    if (m_bRunning.compare_exchange_strong(expected, 1)) return true;
    syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] Error %s,m_bRunning[%d] [%s]", GetId(), pszCall, 1,
           strUrl.c_str());
    return false;
}

unsigned char CVNHttpClient::StartRequest(HttpRequestInfo& info) {
    info.uSerial = ++m_uSerial;
    CVNTaskIO* task = m_thread.Acquire();
    if (task == nullptr) {
        m_bRunning = 0;
        return 0;
    }
    unsigned char ok = vn_task_call_CVNHttpClientRequest::Marshal(task, m_pHolder, this, info);
    task->Release();
    if (!ok) m_bRunning = 0;
    return ok;
}

// ---------------------------------------------------------------- the common start

void CVNHttpClient::Request(HttpRequestInfo info) {
    VN_DCHECK(OnHttpThread());
    Id = s_uNextId++;
    DisarmStopTimer();
    syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] Request [%s]....", GetId(), info.strUrl.c_str());
    ResetRequestState();
    m_oRequestInfo = std::move(info);
    const HttpRequestInfo& rq = m_oRequestInfo;
    m_oRequestInfo.m_nRetryTimes = 0;
    m_oRequestInfo.m_nRedirTimes = 0;
    m_uActiveSerial = rq.uSerial;
    m_bActive = true;
    m_bMultipart = rq.bMultipart;
    SetTlsFailure(VNTLS_NONE, "");
    TakeCookieJar();
    m_bCompressedReq = m_bCompressed != 0;
    m_recvLimit.Start(m_uRecvRate);
    m_sendLimit.Start(m_uSendRate);
    if (!CrackUrl(rq)) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] Error CrackUrl [%s] Fail", GetId(),
               rq.strUrl.c_str());
        NotifyComplete(HTTPRESULT_BAD_URL);
        return;
    }
    if (m_bTls && !EnsureTlsContext()) {
        NotifyComplete(HTTPRESULT_TLS_FAILED);
        return;
    }
    // A memory target's writer starts now; a file target is not touched before a body for
    // it begins (a refused connection, an error answer or a time-out leave it as it was).
    // Resuming, the bytes it holds are asked after.
    if (rq.strDownloadFile.empty()) {
        m_pRpDataWriter = new HttpResponseDataWriter(GetId());
    } else if (m_bResume || rq.bResume) {
        long long size = vn::detail::fs_file_size(rq.strDownloadFile.c_str());
        m_uResumeFrom = size > 0 ? static_cast<unsigned long long>(size) : 0;
    }
    if (rq.bHasTime) m_strIfModifiedSince = vn::detail::HttpIfModifiedSinceLine(rq.time);
    if (!rq.strMethod.empty())
        m_strMethod = rq.strMethod;
    else
        m_strMethod = rq.nMethod == HTTPMETHOD_GET ? "GET" : "POST";
    if (!CreateDataReader()) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] Error DataReader File Open fail", GetId());
        NotifyComplete(HTTPRESULT_BAD_URL);
        return;
    }
    NotifyOnConnecting(m_uActiveSerial, vn::strutf16(m_strHost));
    m_bReuse = 0;
    if (CanReuse()) {
        m_bReuse = 1;
        NotifyOnConnected(m_uActiveSerial);
        SendRequest();
    } else {
        ConnectServer();
    }
}

void CVNHttpClient::DoPost(std::string strHost, unsigned short uPort, vn::strutf8 strHead,
                           vn::strutf8 strBody, unsigned int uSerial) {
    VN_DCHECK(OnHttpThread());
    Id = s_uNextId++;
    DisarmStopTimer();
    ResetRequestState();
    m_oRequestInfo = HttpRequestInfo();
    m_oRequestInfo.uSerial = uSerial;
    m_uActiveSerial = uSerial;
    m_bActive = true;
    SetTlsFailure(VNTLS_NONE, "");
    m_bTls = false;
    m_pRpDataWriter = new HttpResponseDataWriter(GetId());
    if (!strBody.empty()) {
        m_pDataReader = new CDataReader(GetId());
        m_pDataReader->SetBuffer(strBody.c_str(), strBody.length());
    }
    m_strHost.assign(strHost.c_str(), static_cast<unsigned>(strHost.size()));
    m_lstHosts.assign(1, m_strHost);
    m_wPort = uPort;
    m_strUrl.format("http://%s:%u/", strHost.c_str(), uPort);
    m_oRequestInfo.strUrl = m_strUrl;
    m_strMethod = "GET";
    strRqHead = strHead;
    m_bBuildHead = 0;
    // A raw post never reuses the kept connection.
    ConnectServer();
}

void CVNHttpClient::ResetRequestState() {
    m_strHost.clear();
    m_lstHosts.clear();
    m_wPort = 0;
    m_strMethod.clear();
    m_strUrl.clear();
    m_strPath.clear();
    m_strIfModifiedSince.clear();
    strRqHead.clear();
    m_uRqHeadSent = 0;
    m_bBuildHead = 1;
    m_oRequestInfo.m_nRetryTimes = 0;
    m_oRequestInfo.m_nRedirTimes = 0;
    m_bMultipart = 0;
    m_bClosingQueued = 0;
    m_bCompleted = 0;
    m_bActive = false;
    m_bRecvOnConn = false;
    m_uResumeFrom = 0;
    m_bAskWhole = false;
    ClearAnswer();
    delete m_pDataReader;
    m_pDataReader = nullptr;
    delete m_pRpDataWriter;
    m_pRpDataWriter = nullptr;
    delete m_pConnector;
    m_pConnector = nullptr;
    if (m_pRequestJar != nullptr) m_pRequestJar->Release();
    m_pRequestJar = nullptr;
    m_bCompressedReq = false;
    m_uStatus = 0;
}

void CVNHttpClient::CloseSocket() {
    // Close first: over TLS it ends the session with close_notify, so the server sees an
    // orderly end rather than a cut.
    if (m_pSocket != nullptr) m_pSocket->Close();
    delete m_pSocket;  // closes the descriptor; safe inside the socket's own callback
    m_pSocket = nullptr;
    m_pTlsSocket = nullptr;
    m_bSocketTls = false;
    m_bHandshaking = false;
    m_bRecvPaused = m_bSendPaused = false;
}

// ---------------------------------------------------------------- completion

void CVNHttpClient::NotifyComplete(unsigned int nCode) {
    if (!m_bActive) return;  // one result per request
    m_bActive = false;
    if (m_pRpDataWriter != nullptr) {
        // Staged bytes that cannot be written make a success a write failure.
        if (!m_pRpDataWriter->Flush() && nCode == HTTPRESULT_OK) nCode = HTTPRESULT_WRITE_FAILED;
        m_pRpDataWriter->CloseFile();
    }
    delete m_pDataReader;
    m_pDataReader = nullptr;
    ClearHeaders();
    ClearFormData();
    unsigned int delay;
    if (nCode == HTTPRESULT_OK || nCode == HTTPRESULT_NOT_MODIFIED) {
        if (m_reader.GetTrailers().GetFieldCount() != 0) {
            syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] strTrailer[%s]", GetId(),
                   m_reader.GetTrailers().GetText().c_str());
        }
        // A body that ended by silence, or with bytes after it, leaves the connection in an
        // unknown state: it is not kept for the next request.
        if (!m_bKeepConn) CloseSocket();
        syslog(VN_LOG_DEBUG, kTag, __LINE__,
               "Id[%u] Success NotifyComplete nRetCode[%d] Connection bClose[%d]", GetId(),
               static_cast<int>(nCode), m_pSocket == nullptr ? 1 : 0);
        delay = kStopDelayOk;
    } else {
        CloseSocket();
        syslog(VN_LOG_ERROR, kTag, __LINE__,
               "Id[%u] $$$$$$$$$$$$$$$$$$$$$$ Fail NotifyComplete nError[%d]", GetId(),
               static_cast<int>(nCode));
        delay = kStopDelayFail;
    }
    m_bCompleted = 1;
    ArmStopTimer(delay);
    DisarmDataTimer();
    NotifyOnDownloadComplete(m_uActiveSerial, nCode);
}

// ---------------------------------------------------------------- stopping

void CVNHttpClient::StopHttpThread(unsigned int uSerial) {
    if (CVNTaskBase::GetCurrentTask() != m_pNotifyTask) {
        // A task thread cannot stop itself: the notification thread does it.
        vn_task_call_CVNHttpClientStopHttpThread::Post(m_pNotifyTask, m_pHolder, this, nullptr,
                                                       uSerial);
        return;
    }
    // Unless a newer request (or Stop) came meanwhile: its thread stays.
    ShutdownHttpThread(&uSerial);
}

void CVNHttpClient::ShutdownHttpThread(const unsigned int* pIdleSerial) {
    m_thread.Shutdown(
        [&] {
            // The stop timer's request: only while no newer request (or Stop) came meanwhile.
            return pIdleSerial == nullptr || (*pIdleSerial == m_uSerial.load() && !m_bRunning);
        },
        [&] {
            CloseSocket();
            ResetRequestState();
            delete m_pTimer;  // its thread stopped (or is the current one): no timer runs
            m_pTimer = nullptr;
            m_bTimerArmed[0] = m_bTimerArmed[1] = m_bTimerArmed[2] = false;
            m_bDataWanted = m_bStopWanted = false;
            free(m_pRecvBuf);
            m_pRecvBuf = nullptr;
        });
}

void CVNHttpClient::Stop() {
    ++m_uSerial;           // notifications still queued are for a request that no longer exists
    ShutdownHttpThread();  // the completed flag goes with the request state
    m_bRunning = 0;
}

// ---------------------------------------------------------------- timers

void CVNHttpClient::ArmTimer(unsigned int uElapse, unsigned int id) {
    if (m_pTimer == nullptr) m_pTimer = new CHttpClientTimer(this);
    m_pTimer->SetTimer(uElapse, id);
    m_bTimerArmed[id / 100 - 1] = true;
}

void CVNHttpClient::KillTimer(unsigned int id) {
    if (m_pTimer != nullptr) m_pTimer->KillTimer(id);
    m_bTimerArmed[id / 100 - 1] = false;
}

// Both timers are kept armed lazily. Arming and killing a timer queues and cancels a
// delayed task, and a request would otherwise do that four times; instead the wanted
// deadline is recorded, and a timer that fires early (or is no longer wanted) re-arms for
// the rest (or ends) when it fires.

void CVNHttpClient::TouchDataTimer() {
    m_uDataTick = vn_gettickcount();
    m_bDataWanted = true;
    if (!m_bTimerArmed[0]) ArmTimer(CurrentTimeout(), kTimerData);
}

void CVNHttpClient::DisarmDataTimer() {
    m_bDataWanted = false;
}

void CVNHttpClient::ArmStopTimer(unsigned int uDelay) {
    unsigned int now = vn_gettickcount();
    m_uStopDeadline = now + uDelay;
    m_bStopWanted = true;
    // Re-armed only when the armed one would fire after the new deadline.
    if (!m_bTimerArmed[1] || static_cast<int>(m_uStopFireTick - m_uStopDeadline) > 0) {
        ArmTimer(uDelay, kTimerStop);
        m_uStopFireTick = m_uStopDeadline;
    }
}

void CVNHttpClient::DisarmStopTimer() {
    m_bStopWanted = false;
}

void CVNHttpClient::OnTimer(unsigned int id) {
    VN_DCHECK(OnHttpThread());
    unsigned int now = vn_gettickcount();
    if (id == kTimerData) {
        if (!m_bDataWanted || !m_bActive) {
            KillTimer(kTimerData);
            return;
        }
        unsigned int timeout = CurrentTimeout();
        unsigned int elapsed = now - m_uDataTick;
        if (elapsed < timeout) {
            ArmTimer(timeout - elapsed, kTimerData);
            return;
        }
        KillTimer(kTimerData);
        m_bDataWanted = false;
        if (m_bHandshaking) {
            // A peer that accepted and never finished the handshake: no connection was made.
            syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] TLS handshake with [%s] timed out [%u]ms",
                   GetId(), m_strHost.c_str(), timeout);
            NotifyComplete(HTTPRESULT_CONNECT_FAILED);
            return;
        }
        syslog(VN_LOG_WARNING, kTag, __LINE__, "Id[%u] Data Receive Time Out [%u]s!", GetId(),
               timeout);
        int v = m_reader.TimedOut();
        if (v == CHttpResponseReader::kRetry) {
            ForgetCodedPart();
            DataTimeoutReconnect();
        } else {
            Act(v);
        }
        return;
    }
    if (id == kTimerStop) {
        if (!m_bStopWanted) {
            KillTimer(kTimerStop);
            return;
        }
        int left = static_cast<int>(m_uStopDeadline - now);
        if (left > 0) {
            ArmTimer(static_cast<unsigned int>(left), kTimerStop);
            m_uStopFireTick = m_uStopDeadline;
            return;
        }
        syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u], Timer of stop task timeout[%u]", GetId(), id);
        KillTimer(kTimerStop);
        m_bStopWanted = false;
        CloseSocket();
        StopHttpThread(m_uActiveSerial);
        return;
    }
    if (id == kTimerRate) {
        KillTimer(kTimerRate);
        ResumeLimited();
        return;
    }
    syslog(VN_LOG_WARNING, kTag, __LINE__, "Id[%u] Timer[%u] Out, but NOT be processed!", GetId(),
           id);
}

// ---------------------------------------------------------------- notifications

bool CVNHttpClient::Notifying(unsigned int uSerial) const {
    return uSerial == m_uSerial.load();
}

void CVNHttpClient::NotifyOnConnecting(unsigned int uSerial, vn::strutf16 strHost) {
    if (!(m_uNotifyMask & HTTPNOTIFY_CONNECTING)) return;
    if (CVNTaskBase::GetCurrentTask() != m_pNotifyTask) {
        vn_task_call_CVNHttpClientNotifyOnConnecting::Post(m_pNotifyTask, m_pHolder, this, nullptr,
                                                           uSerial, strHost);
        return;
    }
    if (!Notifying(uSerial)) return;
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "Id[%u] notify OnConnecting", GetId());
    IHttpClientSink* sink = m_pSink;
    if (sink != nullptr) sink->OnConnecting(this, strHost);
}

void CVNHttpClient::NotifyOnConnected(unsigned int uSerial) {
    if (!(m_uNotifyMask & HTTPNOTIFY_CONNECTED)) return;
    if (CVNTaskBase::GetCurrentTask() != m_pNotifyTask) {
        vn_task_call_CVNHttpClientNotifyOnConnected::Post(m_pNotifyTask, m_pHolder, this, nullptr,
                                                          uSerial);
        return;
    }
    if (!Notifying(uSerial)) return;
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "Id[%u] notify NotifyOnConnected", GetId());
    IHttpClientSink* sink = m_pSink;
    if (sink != nullptr) sink->OnConnected(this);
}

void CVNHttpClient::NotifyOnDownloadStart(unsigned int uSerial, unsigned int uDownloaded,
                                          unsigned int uContentLength) {
    if (!(m_uNotifyMask & HTTPNOTIFY_DOWNLOADSTART)) return;
    if (CVNTaskBase::GetCurrentTask() != m_pNotifyTask) {
        vn_task_call_CVNHttpClientNotifyOnDownloadStart::Post(
            m_pNotifyTask, m_pHolder, this, nullptr, uSerial, uDownloaded, uContentLength);
        return;
    }
    if (!Notifying(uSerial)) return;
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "Id[%u] notify OnDownloadStart", GetId());
    IHttpClientSink* sink = m_pSink;
    if (sink != nullptr) sink->OnDownloadStart(this, uDownloaded, uContentLength);
}

void CVNHttpClient::NotifyOnProgress(unsigned int uSerial, unsigned long long uDone,
                                     unsigned long long uTotal, unsigned int uRate) {
    if (!(m_uNotifyMask & HTTPNOTIFY_PROGRESS)) return;
    if (CVNTaskBase::GetCurrentTask() != m_pNotifyTask) {
        vn_task_call_CVNHttpClientNotifyOnProgress::Post(m_pNotifyTask, m_pHolder, this, nullptr,
                                                         uSerial, uDone, uTotal, uRate);
        return;
    }
    if (!Notifying(uSerial)) return;
    IHttpClientSink* sink = m_pSink;
    if (sink == nullptr) {
        syslog(VN_LOG_DEBUG, kTag, __LINE__, "NotifyOnProgress m_pSink == NULL");
        return;
    }
    sink->OnProgress(this, uDone, uTotal, uRate);
}

void CVNHttpClient::NotifyOnDownloadComplete(unsigned int uSerial, unsigned int uCode) {
    if (CVNTaskBase::GetCurrentTask() != m_pNotifyTask) {
        vn_task_call_CVNHttpClientNotifyOnDownloadComplete::Post(m_pNotifyTask, m_pHolder, this,
                                                                 nullptr, uSerial, uCode);
        return;
    }
    if (!Notifying(uSerial)) return;
    // The request is over: the client takes the next start call (from inside the sink
    // too), which reuses the kept connection.
    m_bRunning = 0;
    syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u]  notify OnDownloadComplete dwCode[%u]", GetId(),
           uCode);
    IHttpClientSink* sink = m_pSink;
    if (sink != nullptr) sink->OnDownloadComplete(this, uCode);  // may delete this
}

void CVNHttpClient::NotifyOnRedirected(unsigned int uSerial, vn::strutf16 strUrl) {
    if (CVNTaskBase::GetCurrentTask() != m_pNotifyTask) {
        vn_task_call_CVNHttpClientNotifyOnRedirected::Post(m_pNotifyTask, m_pHolder, this, nullptr,
                                                           uSerial, strUrl);
        return;
    }
    if (!Notifying(uSerial)) return;
    IHttpClientSink* sink = m_pSink;
    if (sink != nullptr) sink->OnRedirected(this, strUrl);
}

void CVNHttpClient::NotifyOnReConnect(unsigned int uSerial) {
    if (CVNTaskBase::GetCurrentTask() != m_pNotifyTask) {
        vn_task_call_CVNHttpClientNotifyOnReConnect::Post(m_pNotifyTask, m_pHolder, this, nullptr,
                                                          uSerial);
        return;
    }
    if (!Notifying(uSerial)) return;
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "Id[%u] notify OnReConnect", GetId());
}

void CVNHttpClient::ReportProgress(bool bUpload) {
    if (!(m_uNotifyMask & HTTPNOTIFY_PROGRESS)) return;
    unsigned long long done, total, moved;
    unsigned int start;
    if (bUpload) {
        if (m_pDataReader == nullptr) return;
        done = m_pDataReader->GetPosition();
        total = m_pDataReader->GetLength();
        moved = m_pDataReader->GetSentBytes();
        start = m_pDataReader->GetStartTick();
    } else {
        if (m_pRpDataWriter == nullptr) return;
        done = m_pRpDataWriter->GetLength();
        total = m_uContentLength;
        moved = m_pRpDataWriter->GetWrittenBytes();
        start = m_pRpDataWriter->GetStartTick();
        if (m_bDecoding) {
            // The announced length counts coded bytes: so does the progress against it.
            done = moved = m_uBodyWire;
        }
    }
    unsigned int ms = vn_gettickcount() - start;
    unsigned long long rate = ms == 0 ? 0 : moved * 1000 / ms;
    NotifyOnProgress(m_uActiveSerial, done, total,
                     rate > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<unsigned int>(rate));
}
