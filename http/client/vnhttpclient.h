// Public header (part of vnbase.h).
// The asynchronous HTTP/1.1 client. A caller that lives on a task thread of its own (the
// notification thread) creates a client with vn_create_httpclient, gives it a sink, sets
// headers, time-outs and options, and starts one request at a time: a download into a
// file or into memory, a buffer request, an upload, a multipart form upload or a raw post.
// All network work runs on a private CVNTaskIO named "HttpClient" that the client creates
// on first use; every notification reaches the sink on the notification thread, and every
// accepted request ends in exactly one OnDownloadComplete.
//
// Thread safety: start calls may come from any thread (they are marshalled to the HTTP
// thread); setters and getters are plain field accesses, so change options only while no
// request runs. Sink calls run on the notification thread (OnRedirected runs on the HTTP
// thread when synchronous redirects are on). Deleting the client, or calling Stop, from
// inside a sink call on the notification thread is safe.
//   IHttpClient* c = vn_create_httpclient(myTask);    // myTask: the notification thread
//   c->SetSink(this);
//   c->Download(u"http://127.0.0.1:8080/a.bin", u"/tmp/a.bin", nullptr, 0);
//   // later, on myTask: OnDownloadComplete(c, 0)
#pragma once

#include "base/vnexport.h"
#include "common/vnstream.h"
#include "net/vntls.h"

class CVNTaskBase;
class CRefCount;
class IHttpCookieJar;

// The Windows SYSTEMTIME record: eight unsigned 16-bit fields.
struct SYSTEMTIME {
    unsigned short wYear;
    unsigned short wMonth;      // 1..12
    unsigned short wDayOfWeek;  // 0 = Sunday .. 6 = Saturday
    unsigned short wDay;
    unsigned short wHour;
    unsigned short wMinute;
    unsigned short wSecond;
    unsigned short wMilliseconds;
};

// Methods of HttpRequestToBuffer.
enum { HTTPMETHOD_GET = 0, HTTPMETHOD_POST = 1 };

// Bits of SetNotifyMask (the default mask, 0x08, enables none of them). OnRedirected and
// OnDownloadComplete are always delivered.
enum {
    HTTPNOTIFY_CONNECTING = 0x01,
    HTTPNOTIFY_CONNECTED = 0x02,
    HTTPNOTIFY_DOWNLOADSTART = 0x04,
    HTTPNOTIFY_PROGRESS = 0x10,
};

// Result codes of OnDownloadComplete.
enum {
    HTTPRESULT_OK = 0,              // the body is complete
    HTTPRESULT_NOT_MODIFIED = 1,    // 304
    HTTPRESULT_FAILED = 2,          // general failure, malformed answer, budgets used up
    HTTPRESULT_UNAUTHORIZED = 3,    // 401/402, or closed before a 200/206 status
    HTTPRESULT_WRITE_FAILED = 4,    // opening, truncating or writing the target failed
    HTTPRESULT_CONNECT_FAILED = 5,  // no connection could be made
    HTTPRESULT_NOT_FOUND = 7,       // 404, or a redirect without a usable Location
    HTTPRESULT_UNAVAILABLE = 8,     // 503
    HTTPRESULT_BAD_URL = 10,        // URL not crackable, upload source missing or empty
    HTTPRESULT_TLS_FAILED = 11,     // the TLS handshake failed or the certificate was refused
};

class IHttpClient;

// The caller's notification interface; every call runs on the notification thread.
class VN_EXPORT IHttpClientSink {
public:
    virtual ~IHttpClientSink();
    virtual void OnConnecting(IHttpClient* pClient, const vn::strutf16& strHost) = 0;
    virtual void OnConnected(IHttpClient* pClient) = 0;
    // Bytes already in the download target, and the announced content length.
    virtual void OnDownloadStart(IHttpClient* pClient, unsigned int uDownloaded,
                                 unsigned int uContentLength) = 0;
    virtual void OnProgress(IHttpClient* pClient, unsigned long long uDone,
                            unsigned long long uTotal, unsigned int uBytesPerSecond) = 0;
    // The new URL; with synchronous redirects the sink may change it (HTTP thread).
    virtual void OnRedirected(IHttpClient* pClient, vn::strutf16& strUrl) = 0;
    virtual void OnDownloadComplete(IHttpClient* pClient, unsigned int uCode) = 0;
};

// Strings are UTF-16 unless stated; boolean results are bytes (1 success, 0 failure).
class VN_EXPORT IHttpClient {
public:
    virtual ~IHttpClient();
    virtual void SetSink(IHttpClientSink* pSink) = 0;
    // Connect time-out, data time-out (ms) and the data-time-out reconnect allowance.
    virtual void SetTimeout(unsigned int uConnectMs, unsigned int uDataMs,
                            unsigned int uRetryTimes) = 0;
    virtual unsigned int GetId() = 0;
    virtual void SetGBKEncoding(unsigned char bGBK) = 0;
    virtual void SetUseCookie(unsigned char bUse) = 0;
    virtual void SetResumeDownload(unsigned char bResume) = 0;
    virtual void SetSyncRedirect(unsigned char bSync) = 0;
    virtual void SetNotifyMask(unsigned char uMask) = 0;
    virtual unsigned char SetUserData(unsigned long long uData) = 0;
    virtual unsigned char SetUserObject(CRefCount* pObject) = 0;
    virtual unsigned char GetUserData(unsigned long long& uData) = 0;
    // Adds a reference to the returned object; 0 when none is set.
    virtual unsigned char GetUserObject(CRefCount*& pObject) = 0;
    virtual unsigned char SetUserParam(unsigned int uParam) = 0;
    virtual unsigned int GetUserParam() = 0;
    virtual unsigned char AddHeader(const vn::strutf16& strName, unsigned int uValue) = 0;
    // Accept, User-Agent and Pragma replace the default line for the next request; other
    // names are appended. Names or values holding CR or LF are refused.
    virtual unsigned char AddHeader(const vn::strutf16& strName, const vn::strutf16& strValue) = 0;
    virtual unsigned char AddRawHeader(const vn::strutf16& strLine) = 0;
    virtual void ClearHeaders() = 0;
    virtual void AddFormData(const vn::strutf16& strName, const vn::strutf16& strValue) = 0;
    virtual void ClearFormData() = 0;
    virtual unsigned char IsRunning() = 0;
    // GET into a file, addressed by a host list, port text and path.
    virtual unsigned char Download(const vn::strutf16& strPath, const vn::strutf16& strPort,
                                   const vn::strutf16* pHosts, unsigned int uHostCount,
                                   const vn::strutf16& strFileName, const SYSTEMTIME* pTime,
                                   unsigned char bResume) = 0;
    // GET into a file.
    virtual unsigned char Download(const vn::strutf16& strUrl, const vn::strutf16& strFileName,
                                   const SYSTEMTIME* pTime, unsigned char bResume) = 0;
    // GET into memory (GetDownloadedBuffer after completion).
    virtual unsigned char Download(const vn::strutf16& strUrl, const SYSTEMTIME* pTime) = 0;
    virtual unsigned char HttpRequestToBuffer(const vn::strutf16& strPath,
                                              const vn::strutf16& strPort,
                                              const vn::strutf16* pHosts, unsigned int uHostCount,
                                              unsigned int uMethod, const void* pBody,
                                              unsigned int uLen) = 0;
    virtual unsigned char HttpRequestToBuffer(const vn::strutf16& strUrl, unsigned int uMethod,
                                              const void* pBody, unsigned int uLen) = 0;
    // Sends strHead byte for byte, then strBody, to host:port; the answer goes to memory.
    virtual unsigned char Post(const char* pszHost, unsigned short uPort,
                               const vn::strutf8& strHead, const vn::strutf8& strBody) = 0;
    virtual unsigned char Upload(const vn::strutf16& strUrl, const void* pData,
                                 unsigned int uLen) = 0;
    virtual unsigned char Upload(const vn::strutf16& strUrl, const vn::strutf16& strFileName) = 0;
    virtual unsigned char UploadFormData(const vn::strutf16& strUrl, const char16_t* pszName,
                                         const void* pData, unsigned int uLen,
                                         const char16_t* pszFileName) = 0;
    virtual unsigned char UploadFormData(const vn::strutf16& strUrl, const char16_t* pszName,
                                         const char16_t* pszFilePath) = 0;
    // Ends the HTTP thread, drops the connection and all request state; no notification.
    virtual void Stop() = 0;
    virtual unsigned char GetResponseHead(vn::strutf16& strHead) = 0;
    // The memory body of the last request; valid until the next start call or Stop.
    virtual unsigned char GetDownloadedBuffer(const void*& pData, unsigned int& uLen) = 0;
    virtual unsigned char GetDownloadFileName(vn::strutf16& strName) = 0;
    virtual unsigned char GetResponseHeader(const vn::strutf16& strName, unsigned int& uValue) = 0;
    virtual unsigned char GetResponseHeader(const vn::strutf16& strName, vn::strutf16& strValue,
                                            unsigned char bTrim) = 0;
    // In: the name of the header that carries the file name; out: the file name.
    virtual unsigned char GetResponseFileName(vn::strutf16& strName) = 0;

    // ---- Added after the designed operations: https ----
    // https:// URLs work in every start call. The peer's certificate is checked against the
    // system's trusted authorities and the host name (or IP address) asked for; these
    // settings apply from the next request on, like the others, set while none runs.
    // Trusts the authorities in a PEM file, or in a directory of them, besides the system's
    // (null or "" removes it); false when it cannot be read.
    virtual unsigned char SetTlsCaFile(const char* pszFile) = 0;
    virtual unsigned char SetTlsCaPath(const char* pszDir) = 0;
    // Public-key pins in curl's form: "sha256//BASE64", several separated by ';' (null or ""
    // removes them). A certificate must then carry one of those keys, whatever else holds.
    // false (nothing changes) for a malformed pin.
    virtual unsigned char SetTlsPins(const char* pszPins) = 0;
    // Turns the certificate and name checks off (pins still apply). Only an explicit call
    // does this.
    virtual void SetTlsVerify(unsigned char bVerify) = 0;
    // Lets a redirect lead from https to plain http (refused with 7 otherwise).
    virtual void SetAllowDowngrade(unsigned char bAllow) = 0;
    // Why the last request ended with HTTPRESULT_TLS_FAILED: a VNTlsError (net/vntls.h) and
    // a text; VNTLS_NONE when it did not.
    virtual int GetTlsError(vn::strutf8& strText) = 0;

    // ---- Added after the designed operations: addresses ----
    // Pins where a host name leads, in curl's --resolve form "HOST:PORT:ADDR[,ADDR...]"
    // (addresses of either family, an IPv6 one with or without brackets; tried in the order
    // connections are tried, see the connector): requests to HOST on PORT connect there
    // without asking the resolver, and a URL still names HOST (Host header, certificate
    // check). A later entry for the same HOST:PORT replaces the earlier; null clears all.
    // false (nothing changes) for a malformed entry. Set while no request runs.
    virtual unsigned char AddResolve(const char* pszEntry) = 0;

    // ---- Added after the designed operations: codings, cookies, rate limits, methods ----
    // Asks for gzip and deflate ("Accept-Encoding: gzip, deflate") and decodes a body that
    // comes with either coding as it streams, into a file or memory alike. A body that is
    // corrupt, cut short or coded in a way not asked for ends with 2; a memory target is
    // bounded as always, so a body that inflates past it ends with 4. Resuming a coded body
    // starts it afresh (a range of coded bytes cannot be appended to decoded ones). Off by
    // default: bodies are stored as they come, as designed.
    virtual void SetCompressed(unsigned char bOn) = 0;
    // The body of the current or last answer so far: bytes as they came on the wire (after
    // chunking, before decoding) and bytes given to the target. Any thread; OnProgress of a
    // coded body reports the wire figure against the announced length.
    virtual void GetBodyCounts(unsigned long long& uWire, unsigned long long& uDecoded) = 0;
    // The cookie store the client sends from and keeps received cookies in, when the cookie
    // flag (SetUseCookie) is on; one reference is taken and the previous store released.
    // Several clients may share one store. Null (the default): no cookies are kept.
    virtual void SetCookieJar(IHttpCookieJar* pJar) = 0;
    // Bytes per second for the bodies received and sent, 0 for no limit; a request keeps
    // to the rate over any few seconds, sleeping in between rather than spinning.
    virtual void SetRateLimit(unsigned int uRecvBytesPerSecond,
                              unsigned int uSendBytesPerSecond) = 0;
    // Any method (an RFC 9110 token: "HEAD", "PUT", "DELETE", "PATCH", ...) with a body from
    // memory (pBody, uLen; none when uLen is 0) and the answer into the file strAnswerFile,
    // truncated when its body begins, or into memory when it is empty. Every 2xx status
    // completes with 0 (GetResponseStatus tells which); other statuses as for downloads. A
    // HEAD answer has no body. 303 turns the request into a GET without a body.
    virtual unsigned char HttpRequest(const vn::strutf16& strUrl, const char* pszMethod,
                                      const void* pBody, unsigned int uLen,
                                      const vn::strutf16& strAnswerFile) = 0;
    // The same with the body read from the file strBodyFile (result 10 when it cannot be
    // opened).
    virtual unsigned char HttpRequestFile(const vn::strutf16& strUrl, const char* pszMethod,
                                          const vn::strutf16& strBodyFile,
                                          const vn::strutf16& strAnswerFile) = 0;
    // The status of the last final answer, 0 before one came.
    virtual unsigned int GetResponseStatus() = 0;
};

// A new client that notifies on pNotifyTask (one reference is taken), or null for a null
// task. The caller deletes it through the interface.
VN_EXPORT IHttpClient* vn_create_httpclient(CVNTaskBase* pNotifyTask);
