// Internal header (not installed): CHttpResponseReader, the answer to one request of the
// HTTP client, read without any I/O. The client hands it the bytes it receives; it reads
// the head on the message layer (interim 1xx answers skipped), decides by the status what
// the request does next, and hands out the body through the layer's body decoder. Each
// step gives one verdict; the phase lives in one enum. The client only moves bytes, writes
// what kData hands out, and acts on the verdict.
//
// What a status means: 200 and 206 (and 204, and for a memory target 500) are a body for
// the target; 206 must continue exactly where the target ends; 301, 302, 303, 307 and 308
// redirect; 304 ends with 1; 401 and 402 with 3; 404 with 7; 503 with 8; 416 asks for the
// whole again; anything else ends with 2. A file target is never given an error answer.
//
// Thread safety: one reader per request, on the client's HTTP thread.
//   CHttpResponseReader r;
//   r.Start("GET", true, bytesHeld, url);
//   int v = r.Step(buf, len, &used, &data, &n);   // kBegin, then kData ..., then kDone
#pragma once

#include <stddef.h>

#include "common/vnstream.h"
#include "net/vnhttpbody.h"
#include "net/vnhttphead.h"

class CHttpResponseReader {
public:
    enum Verdict {
        kNeedMore = 0,  // every usable byte was consumed; more are needed
        kBegin = 1,     // a body for the target begins (IsRestart: from its first byte)
        kData = 2,      // body bytes for the target (*ppData, *pLen, inside the input)
        kDone = 3,      // the answer is complete: GetCode() is 0, or 1 for 304
        kRedirect = 4,  // send the request to GetLocation()
        kRetry = 5,     // send the request again on a new connection (IsRestart: all of it)
        kFail = 6,      // the request ends with GetCode()
    };
    enum Phase { kPhaseIdle, kPhaseHead, kPhaseBody, kPhaseOver };
    // The largest head taken (the rest of the answer is read in larger blocks).
    enum : size_t { kMaxHead = 10240 };

    CHttpResponseReader();

    // A new answer. pszMethod: the request's method; bFileTarget: the body goes into a
    // file; uHave: bytes the target already holds (a Range asked for the rest); strUrl:
    // the URL requested, which a Location is resolved against.
    // bAnySuccess: every 2xx status is a body for the target (a request for any method).
    void Start(const char* pszMethod, bool bFileTarget, unsigned long long uHave,
               const vn::strutf8& strUrl, bool bAnySuccess = false);
    // One step over the received bytes p[0, n). *pUsed: what it consumed.
    int Step(const char* p, size_t n, size_t* pUsed, const char** ppData, size_t* pLen);
    // The connection ended: kDone for a body that ends with it, kRetry for a success body
    // cut short (the rest is asked for again), kFail (3) otherwise. bClean false: a TLS
    // stream ended without close_notify, so a body that ends with the connection may have
    // been cut by someone in between: kFail (2).
    int End(bool bClean = true);
    // No byte came for the data time-out: kDone for a success body that has no length
    // (it may simply be over), else kRetry.
    int TimedOut();

    Phase GetPhase() const { return m_nPhase; }
    bool HasHead() const { return m_nPhase == kPhaseBody || m_bHeadSeen; }
    const CHttpHead& GetHead() const { return m_head; }
    unsigned int GetStatus() const { return m_head.GetStatus(); }
    unsigned int GetCode() const { return m_uCode; }
    bool IsRestart() const { return m_bRestart; }
    const vn::strutf8& GetLocation() const { return m_strLocation; }
    // The size of the whole representation (a 206's Content-Range total, else the body's
    // length), 0 when unknown; and whether the body ends by a length or the last chunk.
    unsigned long long GetTotal() const { return m_uTotal; }
    int GetBodyKind() const { return m_body.GetKind(); }
    // After kDone: whether the connection may carry the next request (the body ended
    // exactly where the next answer would begin, and neither side asked to close).
    bool IsReusable() const { return m_bReusable; }
    const CHttpHead& GetTrailers() const { return m_body.GetTrailers(); }
    const char* GetErrorText() const { return m_pszError; }

private:
    int Fail(unsigned int uCode, const char* pszText);
    // Ends the answer with a verdict that later calls repeat.
    int Finish(int nVerdict, unsigned int uCode);
    // The verdict on a final (non-1xx) head.
    int Decide();

    Phase m_nPhase;
    vn::strutf8 m_strMethod;
    bool m_bFileTarget;
    bool m_bAnySuccess;
    unsigned long long m_uHave;
    vn::strutf8 m_strUrl;
    CHttpHead m_head;
    bool m_bHeadSeen;
    CHttpBodyDecoder m_body;
    unsigned int m_uCode;
    int m_nFinal;  // the verdict that ended the answer
    bool m_bRestart;
    bool m_bReusable;
    vn::strutf8 m_strLocation;
    unsigned long long m_uTotal;
    const char* m_pszError;  // static text
};
