// Internal header (not installed): CVNHttpClient, the implementation of IHttpClient.
//
// Threads: the caller's threads make start calls and set options; every start is
// marshalled to the client's own CVNTaskIO "HttpClient" (created on first use), which owns
// the connection, the request state, the socket and connector callbacks and the timers;
// notifications are posted to the notification task the caller named and delivered to
// the sink there. The request state below "HTTP thread only" is touched by that thread,
// or by a thread that stopped it first (Stop, StopHttpThread, the destructor).
//
// Timers: a CVNTimer binds for good to the thread of its first SetTimer, and the HTTP
// thread is stopped and created again over a client's life. The client therefore arms its
// timers through a CHttpClientTimer made on each HTTP thread and deleted when that thread
// stops; the client itself only receives OnTimer.
//
// Request numbers: each accepted start (and Stop) takes a new serial. Notifications carry
// the serial of their request, so one that is still queued when Stop or a newer request
// came is dropped instead of reaching the sink for the wrong request.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/vnlock.h"
#include "http/client/vnhttpclient.h"
#include "http/client/vnhttpclientthread_internal.h"
#include "http/client/vnhttpcontentdecoder_internal.h"
#include "http/client/vnhttpratelimit_internal.h"
#include "http/client/vnhttpresponsereader_internal.h"
#include "http/client/vnhttptcpconnector_internal.h"
#include "net/vnsocketi.h"
#include "net/vntlscontext_internal.h"
#include "task/vnscopecall.h"
#include "task/vntaskcall.h"
#include "task/vntimer.h"

class CVNTaskIO;
class CDataReader;
class HttpResponseDataWriter;
class CVNHttpClient;
class CVNTLSSocket;

// The description a start call builds (m_oRequestInfo in log lines).
struct HttpRequestInfo {
    vn::strutf8 strUrl;                 // URL, or the path with a host list
    vn::strutf8 strPort;                // not empty: address by lstHosts
    std::vector<vn::strutf8> lstHosts;  // host names or dotted IPv4 texts
    unsigned int nMethod = 0;           // HTTPMETHOD_GET / HTTPMETHOD_POST
    vn::stream body;                    // request body (memory)
    vn::strutf8 strUploadFile;          // request body (file)
    vn::strutf8 strDownloadFile;        // empty: the answer goes to memory
    unsigned char bHasTime = 0;
    SYSTEMTIME time = {};
    unsigned char bResume = 0;
    unsigned char bMultipart = 0;
    int m_nRetryTimes = 0;
    int m_nRedirTimes = 0;
    unsigned int uSerial = 0;  // the request number it was accepted under
    // A start call for any method: the method's name, and every 2xx status is a success.
    vn::strutf8 strMethod;
    bool bAnyMethod = false;

    // The If-Modified-Since time, when the caller gave one.
    void SetTime(const SYSTEMTIME* pTime) {
        if (pTime == nullptr) return;
        bHasTime = 1;
        time = *pTime;
    }
};

// Per-HTTP-thread timer object: bound to the thread that made it, forwards to the client.
class CHttpClientTimer : public CVNTimer {
public:
    explicit CHttpClientTimer(CVNTimerBase* pOwner) : m_pOwner(pOwner) {}
    void OnTimer(unsigned int id) override { m_pOwner->OnTimer(id); }

private:
    CVNTimerBase* m_pOwner;  // not owned (the client)
};

class CVNHttpClient : public IHttpClient,
                      public CHttpTCPConnectorSink,
                      public CVNITCPSocketSink,
                      public CVNTimerBase {
public:
    enum { kTimerData = 100, kTimerStop = 200, kTimerRate = 300 };
    // Received bytes are read in blocks of this size; a head is at most
    // CHttpResponseReader::kMaxHead bytes of it.
    enum { kRecvBufSize = 256 * 1024 };
    enum { kMaxRetry = 3, kMaxRedirect = 5 };

    explicit CVNHttpClient(CVNTaskBase* pNotifyTask);
    ~CVNHttpClient() override;
    CVNHttpClient(const CVNHttpClient&) = delete;
    CVNHttpClient& operator=(const CVNHttpClient&) = delete;

    // ---- IHttpClient ----
    void SetSink(IHttpClientSink* pSink) override;
    void SetTimeout(unsigned int uConnectMs, unsigned int uDataMs,
                    unsigned int uRetryTimes) override;
    unsigned int GetId() override;
    void SetGBKEncoding(unsigned char bGBK) override;
    void SetUseCookie(unsigned char bUse) override;
    void SetResumeDownload(unsigned char bResume) override;
    void SetSyncRedirect(unsigned char bSync) override;
    void SetNotifyMask(unsigned char uMask) override;
    unsigned char SetUserData(unsigned long long uData) override;
    unsigned char SetUserObject(CRefCount* pObject) override;
    unsigned char GetUserData(unsigned long long& uData) override;
    unsigned char GetUserObject(CRefCount*& pObject) override;
    unsigned char SetUserParam(unsigned int uParam) override;
    unsigned int GetUserParam() override;
    unsigned char AddHeader(const vn::strutf16& strName, unsigned int uValue) override;
    unsigned char AddHeader(const vn::strutf16& strName, const vn::strutf16& strValue) override;
    unsigned char AddRawHeader(const vn::strutf16& strLine) override;
    void ClearHeaders() override;
    void AddFormData(const vn::strutf16& strName, const vn::strutf16& strValue) override;
    void ClearFormData() override;
    unsigned char IsRunning() override;
    unsigned char Download(const vn::strutf16& strPath, const vn::strutf16& strPort,
                           const vn::strutf16* pHosts, unsigned int uHostCount,
                           const vn::strutf16& strFileName, const SYSTEMTIME* pTime,
                           unsigned char bResume) override;
    unsigned char Download(const vn::strutf16& strUrl, const vn::strutf16& strFileName,
                           const SYSTEMTIME* pTime, unsigned char bResume) override;
    unsigned char Download(const vn::strutf16& strUrl, const SYSTEMTIME* pTime) override;
    unsigned char HttpRequestToBuffer(const vn::strutf16& strPath, const vn::strutf16& strPort,
                                      const vn::strutf16* pHosts, unsigned int uHostCount,
                                      unsigned int uMethod, const void* pBody,
                                      unsigned int uLen) override;
    unsigned char HttpRequestToBuffer(const vn::strutf16& strUrl, unsigned int uMethod,
                                      const void* pBody, unsigned int uLen) override;
    unsigned char Post(const char* pszHost, unsigned short uPort, const vn::strutf8& strHead,
                       const vn::strutf8& strBody) override;
    unsigned char Upload(const vn::strutf16& strUrl, const void* pData, unsigned int uLen) override;
    unsigned char Upload(const vn::strutf16& strUrl, const vn::strutf16& strFileName) override;
    unsigned char UploadFormData(const vn::strutf16& strUrl, const char16_t* pszName,
                                 const void* pData, unsigned int uLen,
                                 const char16_t* pszFileName) override;
    unsigned char UploadFormData(const vn::strutf16& strUrl, const char16_t* pszName,
                                 const char16_t* pszFilePath) override;
    void Stop() override;
    unsigned char GetResponseHead(vn::strutf16& strHead) override;
    unsigned char GetDownloadedBuffer(const void*& pData, unsigned int& uLen) override;
    unsigned char GetDownloadFileName(vn::strutf16& strName) override;
    unsigned char GetResponseHeader(const vn::strutf16& strName, unsigned int& uValue) override;
    unsigned char GetResponseHeader(const vn::strutf16& strName, vn::strutf16& strValue,
                                    unsigned char bTrim) override;
    unsigned char GetResponseFileName(vn::strutf16& strName) override;
    unsigned char SetTlsCaFile(const char* pszFile) override;
    unsigned char SetTlsCaPath(const char* pszDir) override;
    unsigned char SetTlsPins(const char* pszPins) override;
    void SetTlsVerify(unsigned char bVerify) override;
    void SetAllowDowngrade(unsigned char bAllow) override;
    int GetTlsError(vn::strutf8& strText) override;
    unsigned char AddResolve(const char* pszEntry) override;
    void SetCompressed(unsigned char bOn) override;
    void GetBodyCounts(unsigned long long& uWire, unsigned long long& uDecoded) override;
    void SetCookieJar(IHttpCookieJar* pJar) override;
    void SetRateLimit(unsigned int uRecvBytesPerSecond, unsigned int uSendBytesPerSecond) override;
    unsigned char HttpRequest(const vn::strutf16& strUrl, const char* pszMethod, const void* pBody,
                              unsigned int uLen, const vn::strutf16& strAnswerFile) override;
    unsigned char HttpRequestFile(const vn::strutf16& strUrl, const char* pszMethod,
                                  const vn::strutf16& strBodyFile,
                                  const vn::strutf16& strAnswerFile) override;
    unsigned int GetResponseStatus() override;

    // ---- sinks (HTTP thread) ----
    void OnConnect(bool bSuccess, int fd) override;
    void OnRecv(CVNITCPSocket* pSocket) override;
    void OnSend(CVNITCPSocket* pSocket) override;
    void OnClose(CVNITCPSocket* pSocket) override;
    void OnTimer(unsigned int id) override;

    // ---- marshalled calls (public for the task-call templates) ----
    // The common start (HTTP thread).
    void Request(HttpRequestInfo info);
    // Timer 200 asks the notification thread to end the HTTP thread of request uSerial.
    void StopHttpThread(unsigned int uSerial);
    void NotifyOnConnecting(unsigned int uSerial, vn::strutf16 strHost);
    void NotifyOnConnected(unsigned int uSerial);
    void NotifyOnDownloadStart(unsigned int uSerial, unsigned int uDownloaded,
                               unsigned int uContentLength);
    void NotifyOnProgress(unsigned int uSerial, unsigned long long uDone, unsigned long long uTotal,
                          unsigned int uRate);
    void NotifyOnDownloadComplete(unsigned int uSerial, unsigned int uCode);
    void NotifyOnRedirected(unsigned int uSerial, vn::strutf16 strUrl);
    void NotifyOnReConnect(unsigned int uSerial);
    // The raw post on the HTTP thread.
    void DoPost(std::string strHost, unsigned short uPort, vn::strutf8 strHead, vn::strutf8 strBody,
                unsigned int uSerial);

private:
    // ---- life cycle (vnhttpclient.cpp) ----
    // Accepts a start: a new serial, m_bRunning, the HTTP thread, the marshalled Request.
    unsigned char StartRequest(HttpRequestInfo& info);
    // Marks a request as running; false (logged as pszCall's refusal) while one runs.
    bool ClaimRunning(const char* pszCall, const vn::strutf8& strUrl);
    bool OnHttpThread() const { return m_thread.IsCurrent(); }
    // Ends the HTTP thread and frees the connection and request state (from any thread
    // but the HTTP thread itself it waits for that thread first).
    // pIdleSerial (the stop timer): only when that request is still the latest and none runs.
    void ShutdownHttpThread(const unsigned int* pIdleSerial = nullptr);
    void ResetRequestState();
    void CloseSocket();
    void NotifyComplete(unsigned int nCode);
    bool Notifying(unsigned int uSerial) const;
    void ArmTimer(unsigned int uElapse, unsigned int id);
    void KillTimer(unsigned int id);
    // Timer 100: armed with the data time-out and pushed on by each send or receive.
    void TouchDataTimer();
    void DisarmDataTimer();
    // Timer 200: ends the HTTP thread uDelay ms from now unless a request starts first.
    void ArmStopTimer(unsigned int uDelay);
    void DisarmStopTimer();
    void ReportProgress(bool bUpload);
    // The TLS settings of the request that starts: the context made from the options when
    // they changed since the last one; false (the request completed with 11) when the
    // trust settings cannot be loaded.
    bool EnsureTlsContext();
    // SetTlsCaFile and SetTlsCaPath: the option pField, "" for none.
    unsigned char SetTrust(std::string vn::detail::TlsClientOptions::*pField, const char* pszPath,
                           bool bDirectory);
    // Records why TLS was refused, for GetTlsError (VNTLS_NONE clears it).
    void SetTlsFailure(int nReason, const char* pszText);
    // Records why the TLS socket's handshake was refused.
    void TakeTlsFailure();
    // Timer 100's time-out now: the connect time-out while a TLS handshake runs.
    unsigned int CurrentTimeout() const;

    // ---- request (vnhttpclient_request.cpp) ----
    bool CrackUrl(const HttpRequestInfo& info);
    bool CreateDataReader();
    bool CanReuse();
    void ConnectServer();
    bool BuildRqHead();
    void SendRequest();
    void SendData();
    void QueueClosingBoundary();
    vn::strutf8 ClosingDelimiter() const;
    vn::strutf8 ToWire(const vn::strutf16& s) const;
    // The field name and the file name (last path component) of a form part, converted for
    // the wire; false when either holds CR, LF or a quote.
    bool FormPartNames(const char16_t* pszName, const char16_t* pszPath, vn::strutf8& strName,
                       vn::strutf8& strFile) const;
    // The start both form uploads share: the running claim, a fresh boundary and a form
    // with something to send, then a multipart POST in info. False when nothing started.
    bool BeginFormUpload(const vn::strutf8& strUrl, bool bHasBody, HttpRequestInfo& info);
    // Appends the head of a file part (with its file name) to the form.
    void AppendFilePartHead(const vn::strutf8& strName, const vn::strutf8& strFile);

    // ---- response (vnhttpclient_response.cpp) ----
    // Forgets the answer read so far.
    void ClearAnswer();
    // Clears the answer and restarts the body before the request is sent again; false
    // (completed with 2) when a form body cannot be rebuilt.
    bool PrepareResend();
    // Runs the answer's reader over the buffered bytes and acts on its verdicts.
    void ReadAnswer();
    // What the request does after a verdict of the reader that ends the answer.
    void Act(int nVerdict);
    // Keeps the final answer head for GetResponseHead and the header getters.
    void KeepHead();
    // A body for the target begins: a file target is opened only now, and started afresh
    // when the answer says so. false when the request ended.
    bool BeginBody();
    // Body bytes for the target; false (the request completed with 4) when not kept.
    bool WriteBody(const char* p, size_t len);
    // The bytes the target holds, which the next request asks the rest after (a Range).
    unsigned long long TargetHolds() const;
    void Redirect();
    void ReConnect();
    void DataTimeoutReconnect();
    bool FindResponseHeader(const char* pszName, vn::strutf8& strValue);
    // Body bytes as the message layer hands them out: decoded when the answer is coded,
    // counted, written. false when the request ended.
    bool TakeBody(const char* p, size_t len);
    // Whether the answer's Content-Encoding is to be undone (false when the request ended).
    bool BeginDecoding();
    // A coded body is only ever taken whole: a resend asks for all of it.
    void ForgetCodedPart();
    // A redirect of a request for any method: whether it goes on as a GET without a body.
    void FollowWithGet(unsigned int uStatus);
    // Keeps the cookies the answer sets in the request's store.
    void TakeCookies();

    // ---- options added later (vnhttpclient_options.cpp) ----
    // The store of the request that starts (one reference), read under the settings lock.
    void TakeCookieJar();
    // The Cookie line for the request about to be sent ("" for none).
    vn::strutf8 CookieLine();
    // Receiving and sending over the rate limit: the socket is left unwatched in that
    // direction while timer 300 waits for the bucket to refill.
    void PauseRecv();
    void PauseSend();
    void ResumeLimited();
    static bool IsMethodToken(const char* pszMethod);
    unsigned char StartAnyMethod(const vn::strutf16& strUrl, const char* pszMethod,
                                 HttpRequestInfo& info, const vn::strutf16& strAnswerFile);

    friend class CHttpClientTimer;

    // ---- identity and threads ----
    std::atomic<unsigned int> Id;
    static std::atomic<unsigned int> s_uNextId;
    CVNTaskBase* m_pNotifyTask;  // one reference held; never null
    CHttpClientThread m_thread;  // the "HttpClient" thread, made on the first request
    CScopeHolder<CVNHttpClient, 0, CRefCountSafe>* m_pHolder;  // owned (creation reference)
    std::atomic<IHttpClientSink*> m_pSink;                     // not owned

    // ---- options (caller's threads; read elsewhere) ----
    std::atomic<unsigned int> m_uConnectTimeout;
    std::atomic<unsigned int> m_uDataTimeout;
    std::atomic<unsigned int> m_uRetryAllowance;  // m_oRequestInfo.m_nRetryTimes in logs
    std::atomic<unsigned char> m_bGBK;
    std::atomic<unsigned char> m_bUseCookie;
    std::atomic<unsigned char> m_bResume;
    std::atomic<unsigned char> m_bSyncRedirect;
    std::atomic<unsigned char> m_uNotifyMask;
    unsigned long long m_uUserData;
    CRefCount* m_pUserObject;  // one reference held, or null
    unsigned int m_uUserParam;
    // Caller's thread while idle, HTTP thread during a request (handed over by the push).
    std::map<std::string, vn::strutf8> m_mapOverrides;  // lower-case name -> value
    vn::strutf8 m_strExtraHeaders;
    vn::strutf8 m_strBoundary;
    vn::strutf8 m_strFormDatas;

    // TLS settings (caller's threads), read by the HTTP thread when a request starts.
    std::mutex m_tlsLock;
    vn::detail::TlsClientOptions m_tlsOptions;  // guarded by m_tlsLock
    bool m_bTlsChanged;                         // guarded by m_tlsLock
    std::atomic<unsigned char> m_bAllowDowngrade;
    // AddResolve's entries: lower-case "host:port" -> addresses in order; guarded by
    // m_tlsLock (the lock of the settings read when a request starts).
    std::map<std::string, std::vector<std::string>> m_mapResolve;
    std::atomic<unsigned char> m_bCompressed;
    std::atomic<unsigned int> m_uRecvRate;  // bytes per second, 0 for no limit
    std::atomic<unsigned int> m_uSendRate;
    IHttpCookieJar* m_pCookieJar;  // one reference, or null; guarded by m_tlsLock
    // What the getters of any thread read about the answer being received.
    std::atomic<unsigned long long> m_uBodyWire;
    std::atomic<unsigned long long> m_uBodyDecoded;
    std::atomic<unsigned int> m_uStatus;

    // ---- request life ----
    std::atomic<unsigned char> m_bRunning;
    std::atomic<unsigned int> m_uSerial;  // the latest accepted request (or Stop)

    // ---- HTTP thread only ----
    CHttpClientTimer* m_pTimer;  // owned; bound to the current HTTP thread; null before use
    bool m_bTimerArmed[3];       // timers 100, 200, 300 armed
    unsigned int m_uDataTick;    // last send or receive, for timer 100
    bool m_bDataWanted;          // timer 100 is to time out (else it ends when it fires)
    bool m_bStopWanted;          // timer 200 is to stop the thread at m_uStopDeadline
    unsigned int m_uStopDeadline;
    unsigned int m_uStopFireTick;  // when the armed timer 200 fires
    HttpRequestInfo m_oRequestInfo;
    unsigned int m_uActiveSerial;
    bool m_bActive;  // a request is being worked on (until it completes)
    unsigned char m_bCompleted;
    unsigned char m_bMultipart;
    unsigned char m_bClosingQueued;
    vn::strutf8 m_strHost;
    std::vector<vn::strutf8> m_lstHosts;
    unsigned short m_wPort;
    vn::strutf8 m_strMethod;
    vn::strutf8 m_strUrl;
    vn::strutf8 m_strPath;
    vn::strutf8 m_strIfModifiedSince;
    vn::strutf8 strRqHead;
    unsigned int m_uRqHeadSent;
    unsigned char m_bBuildHead;
    unsigned char m_bReuse;
    bool m_bRecvOnConn;       // anything received on the connection since this request used it
    char* m_pRecvBuf;         // kRecvBufSize + 1 bytes, owned
    unsigned int m_uRecvLen;  // bytes received into m_pRecvBuf
    unsigned int m_uRecvPos;  // of which those before this were consumed
    CHttpResponseReader m_reader;
    vn::detail::CTlsContext* m_pTlsContext;  // one reference, or null before the first https
    bool m_bTls;                             // the request's URL is https
    bool m_bSocketTls;                       // the open connection speaks TLS
    bool m_bHandshaking;                     // connected, TLS handshake not over yet
    int m_nTlsError;                         // VNTlsError of the last request; guarded by m_tlsLock
    vn::strutf8 m_strTlsError;               // guarded by m_tlsLock
    vn::strutf8 strResponseHead;          // the final head as the caller reads it (GBK converted)
    unsigned long long m_uContentLength;  // the whole representation, when known (progress)
    unsigned long long m_uResumeFrom;     // bytes of the file target when the request began
    bool m_bAskWhole;                     // a 416 came: the next request asks for all of the target
    bool m_bKeepConn;            // the connection ended cleanly with the body and may be reused
    CDataReader* m_pDataReader;  // owned
    // Owned. A memory target's writer is made when the request starts; a file target's
    // only when a body for it begins, so that no other outcome touches the file.
    HttpResponseDataWriter* m_pRpDataWriter;
    CHttpTCPConnector* m_pConnector;  // owned
    CVNITCPSocket* m_pSocket;         // owned
    CVNTLSSocket* m_pTlsSocket;       // m_pSocket when it speaks TLS, else null; not owned apart
    vn::strutf8 m_strsockIP;
    unsigned short m_wsockPort;
    IHttpCookieJar* m_pRequestJar;  // the running request's store: one reference, or null
    bool m_bCompressedReq;          // the running request asked for codings
    CHttpContentDecoder m_decoder;
    bool m_bDecoding;  // the answer's body is coded and decoded on its way to the target
    CHttpRateLimit m_recvLimit;
    CHttpRateLimit m_sendLimit;
    bool m_bRecvPaused;  // the rate limit stopped reading until timer 300
    bool m_bSendPaused;  // the rate limit stopped sending until timer 300
    // Set while a synchronous OnRedirected runs: the sink may Stop or delete the client.
    std::atomic<bool*> m_pAliveFlag;
};

VN_TASK_CALL(CVNHttpClient, Request);
VN_TASK_CALL(CVNHttpClient, StopHttpThread);
VN_TASK_CALL(CVNHttpClient, NotifyOnConnecting);
VN_TASK_CALL(CVNHttpClient, NotifyOnConnected);
VN_TASK_CALL(CVNHttpClient, NotifyOnDownloadStart);
VN_TASK_CALL(CVNHttpClient, NotifyOnProgress);
VN_TASK_CALL(CVNHttpClient, NotifyOnDownloadComplete);
VN_TASK_CALL(CVNHttpClient, NotifyOnRedirected);
VN_TASK_CALL(CVNHttpClient, NotifyOnReConnect);
// The raw post's call keeps the name of the interface operation it carries.
struct vn_task_call_CVNHttpClientPost
    : ::vn::detail::task_call<vn_task_call_CVNHttpClientPost, &CVNHttpClient::DoPost> {
    using task_call::task_call;
    static constexpr const char* kName = "Post";
};
