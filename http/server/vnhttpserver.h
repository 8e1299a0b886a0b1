// Public header (part of vnbase.h).
// The embedded HTTP/1.1 server: one per process (GetHttpServerInstance). The caller opens
// listening ports, registers request types (prefixes of the request head, such as
// "GET /file") on a port with a CHttpRequestNotify, and hears of every matching request.
// For each it answers with exactly one of Refuse, Accept_SendBuf, Accept_SendFile,
// Accept_RecvFile, Accept_RecvBuff, Post or Cancel; progress and the one completion of an
// accepted transfer come back through the CHttpNotify given with the answer. Ids name
// connections (the requests of one kept connection share an id), but an answer is taken
// only while the connection's current request waits for one: a second or late answer is
// never written, and completes with code 2. Requests the protocol refuses (no Host in an
// HTTP/1.1 request, a bad Content-Length, obs-fold, ...) are answered by the server itself
// and never reported; pipelined requests are answered in order.
//
// Thread safety: every operation may be called from any thread. The answering operations
// are posted to the server thread "HttpSvr" and return before they take effect (called on
// "HttpSvr", for instance from inside OnRequest, they run at once). Every notify call runs
// on "HttpSvr", one at a time. Notify objects stay the caller's and must outlive their
// registration (CHttpRequestNotify) or their transfer (CHttpNotify).
//   IHttpServer* s = GetHttpServerInstance();
//   unsigned short port = 0;
//   s->Listen(0, 0, &port);                          // a port of the kernel's choice
//   s->RegisterRequest("GET /files/", port, &myRequestNotify);
//   // in myRequestNotify.OnRequest(id, ...): s->Accept_SendFile(id, path, &myNotify, false);
#pragma once

#include "base/vnexport.h"
#include "common/vnstream.h"

// Told of each request whose head matched a registered type. Runs on "HttpSvr".
class VN_EXPORT CHttpRequestNotify {
public:
    CHttpRequestNotify() {}
    CHttpRequestNotify(const CHttpRequestNotify&) {}
    CHttpRequestNotify& operator=(const CHttpRequestNotify&) { return *this; }
    virtual ~CHttpRequestNotify();
    // strType: the registered type that matched (empty for "*.*"); strHead: the complete
    // request head (for a multipart upload also the first part's head). Both are valid
    // during the call only. Answer with exactly one operation for uId.
    virtual void OnRequest(unsigned long long uId, const vn::strutf8& strType,
                           const vn::strutf8& strHead, vn::strutf8 strLocalIP,
                           vn::strutf8 strPeerIP, unsigned short uPeerPort) = 0;
};

// Told of the progress and the completion of one accepted transfer. Runs on "HttpSvr".
class VN_EXPORT CHttpNotify {
public:
    CHttpNotify() {}
    CHttpNotify(const CHttpNotify&) {}
    CHttpNotify& operator=(const CHttpNotify&) { return *this; }
    virtual ~CHttpNotify();
    // At most once a second, when the accepting call asked for progress.
    virtual void OnProgress(unsigned long long uId, unsigned long long uDone,
                            unsigned long long uTotal, unsigned int uSpeed) = 0;
    // Once per accepted transfer. strData: the body received by Accept_RecvBuff, else
    // empty. nCode: 0 success, 1 time-out, 2 closed (or the id names no request waiting
    // for an answer), 3 head too long, 4 writing the body failed (also: a body over the
    // memory bound, answered 413), 5 range or reading the data failed (an unsatisfiable
    // range is answered 416), 6 the file to send did not open (or is not a regular file),
    // 7 the file to receive into did not open, 8 the request body broke its framing
    // (answered 400).
    virtual void OnComplete(unsigned long long uId, const vn::strutf8& strHead,
                            const vn::strutf8& strData, int nCode) = 0;
};

class VN_EXPORT IHttpServer {
public:
    IHttpServer() {}
    IHttpServer(const IHttpServer&) {}
    IHttpServer& operator=(const IHttpServer&) { return *this; }
    virtual ~IHttpServer();

    // Whether a listening socket for uPort is in place (any of them, for a port listening on
    // several addresses). Any thread.
    virtual bool IsListening(unsigned short uPort) = 0;
    // Binds the first free port of [uFirst, uLast] (0, 0: the kernel's choice) on every
    // local address of both families (one dual-stack IPv6 socket; IPv4 alone on a machine
    // without IPv6), listens with a backlog of 300 and writes the port. Any thread.
    virtual bool Listen(unsigned short uFirst, unsigned short uLast, unsigned short* pPort) = 0;
    // Closes the port (every socket it listens with) and forgets every type registered on it.
    virtual void StopListen(unsigned short uPort) = 0;
    virtual void RegisterRequest(const vn::strutf8& strRequestType, unsigned short uPort,
                                 CHttpRequestNotify* pNotify) = 0;
    // Unregistering the last type of a port closes the port.
    virtual void UnRegisterRequest(const vn::strutf8& strRequestType, unsigned short uPort) = 0;
    // Answers nCode with strText as the body and closes the connection; no completion.
    virtual void Refuse(unsigned long long uId, const vn::strutf8& strText, int nCode) = 0;
    // Answers 200 with the bytes of strData; a GET with a valid Range gets 206 with that
    // range, an unsatisfiable one 416 (completion code 5). A HEAD request gets the head only.
    virtual void Accept_SendBuf(unsigned long long uId, const vn::strutf8& strData,
                                CHttpNotify* pNotify, bool bProgress) = 0;
    // Receives the request body (of a form: its first part's content) into a new file beside
    // strPath that replaces strPath once complete, then answers 200 with strBody. A receive
    // that fails leaves nothing under strPath. A client that waits for "100 Continue" is
    // told to send the body.
    virtual void Accept_RecvFile(unsigned long long uId, const vn::strutf8& strBody,
                                 const vn::strutf8& strPath, CHttpNotify* pNotify,
                                 bool bProgress) = 0;
    // Receives the request body into memory (OnComplete's strData); strText is not used. No
    // answer is sent: the request still waits for one (Post or Accept_SendBuf, typically
    // from OnComplete).
    virtual void Accept_RecvBuff(unsigned long long uId, const vn::strutf8& strText,
                                 CHttpNotify* pNotify, bool bProgress) = 0;
    // Answers 200, or 206 for a valid Range (416 and code 5 for an unsatisfiable one), with
    // the regular file at strPath; anything else completes with code 6 at once.
    virtual void Accept_SendFile(unsigned long long uId, const vn::strutf8& strPath,
                                 CHttpNotify* pNotify, bool bProgress) = 0;
    // Sends strHead (a complete answer head, empty line included) and strBody as they are.
    virtual void Post(unsigned long long uId, const vn::strutf8& strHead,
                      const vn::strutf8& strBody, CHttpNotify* pNotify, bool bProgress) = 0;
    // Closes the connection without any report.
    virtual void Cancel(unsigned long long uId) = 0;
    // Addresses of the connection's two ends: dotted for IPv4 (an IPv4 peer of a dual-stack
    // port included), IPv6 text otherwise ("::1"); the output is left alone for an id the
    // server no longer holds. Any thread.
    virtual void GetLocalIP(unsigned long long uId, vn::strutf8& strIP) = 0;
    virtual void GetPeerIP(unsigned long long uId, vn::strutf8& strIP) = 0;
    // The Content-Length of the request head (multipart: from the first data byte of the
    // first part); 0 for an id the server no longer holds, and 0 for a chunked body (whose
    // length nobody knows before its last chunk): GetRequestBodyLength tells them apart.
    // Any thread.
    virtual unsigned long long GetRequestContentLen(unsigned long long uId) = 0;

    // ---- Added after the designed operations ----

    // The request body's length: 1 with *pLen set when it is known (a Content-Length, as
    // GetRequestContentLen gives it; 0 for a request without a body), 0 when it is not (a
    // chunked body, which ends with its last chunk), -1 for an id the server no longer
    // holds. Any thread.
    virtual int GetRequestBodyLength(unsigned long long uId, unsigned long long* pLen) = 0;
    // Bounds the bytes of request bodies the server holds in memory for Accept_RecvBuff,
    // across all connections (default 256 MiB). A body that would pass the bound is
    // answered 413 and its transfer completes with code 4. Any thread.
    virtual void SetMemoryLimit(unsigned long long uBytes) = 0;
    // Listen, with TLS on every connection of the port: pszCertFile holds the certificate
    // chain (the server's own first) and pszKeyFile its private key, both PEM. TLS 1.2 at
    // least, forward-secret AEAD suites only, sessions resumed. Everything else is as on a
    // plain port. false when nothing listens (no free port, or the certificate or key does
    // not load: the log says why). Any thread.
    virtual bool ListenTls(unsigned short uFirst, unsigned short uLast, unsigned short* pPort,
                           const char* pszCertFile, const char* pszKeyFile) = 0;
    // Listen on the given addresses only: pszAddresses is a comma-separated list of numeric
    // addresses of either family ("127.0.0.1,::1"; null or "" is every address, as Listen).
    // All of them get the same port: the first of [uFirst, uLast] free on every one of them
    // and held by no other listening call of this server, even on other addresses (0, 0: the
    // kernel's choice for the first address, taken by the others). TLS as ListenTls when
    // pszCertFile or pszKeyFile is given (non-empty), plain otherwise. StopListen closes all
    // of the port's sockets. false, with nothing listening, for a list with anything that is
    // not an address, an address this machine does not have, no free port, or a certificate
    // or key that does not load. Any thread.
    virtual bool ListenAt(const char* pszAddresses, unsigned short uFirst, unsigned short uLast,
                          unsigned short* pPort, const char* pszCertFile,
                          const char* pszKeyFile) = 0;
};

// The process's one server, created by the first call (safe from several threads).
VN_EXPORT IHttpServer* GetHttpServerInstance();
