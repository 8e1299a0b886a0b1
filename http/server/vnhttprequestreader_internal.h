// Internal header (not installed): CHttpRequestReader, the request side of one server
// connection without any I/O. The channel hands it the bytes it has received; it says
// where a request head ends (for a multipart/form-data upload: where the first part's head
// ends, since that head belongs to what the caller is shown), how the body is framed, which
// received bytes are body data, and where the body ends, so that the bytes after it are the
// next request's. Everything about a request's syntax and framing is decided here, on the
// message layer (CHttpHead, CHttpBodyDecoder, CHttpMultipartReader).
//
// Thread safety: a value type owned by one channel, used on its thread.
//   CHttpRequestReader r;
//   if (r.ReadHead(buf, len, &used) == CHttpRequestReader::kHead) { consume(used); ... }
//   while (r.ReadBody(buf, len, kParts, &used, &data, &n) == CHttpRequestReader::kData) ...
#pragma once

#include <stddef.h>

#include "common/vnstream.h"
#include "net/vnhttpbody.h"
#include "net/vnhttphead.h"
#include "net/vnhttpmultipart.h"

class CHttpRequestReader {
public:
    enum Verdict {
        kNeedMore = 0,  // everything usable was consumed; more bytes are needed
        kHead = 1,      // ReadHead: a request head is complete
        kData = 2,      // ReadBody: body bytes
        kBodyDone = 3,  // ReadBody: the body is complete; what follows is the next request
        kBad = -1,      // the request breaks the protocol: answer GetErrorStatus and close
        kTooLong = -2,  // ReadHead: the head does not fit kMaxHead bytes
    };
    // What ReadBody hands out: of a multipart/form-data body the first part's content only
    // (what the server stores), or every decoded byte after the part head.
    enum BodyMode { kParts, kRaw };
    enum : size_t { kMaxHead = 2048 };

    CHttpRequestReader();

    // Looks for a complete request head at the front of p[0, n), and for a multipart body
    // also the first part's head behind it. Consumes nothing until the whole head is there:
    // kHead with *pUsed, the bytes it takes (at most kMaxHead of them, counted as received,
    // chunk framing included). kNeedMore, kBad or kTooLong otherwise.
    int ReadHead(const char* p, size_t n, size_t* pUsed);
    // After kHead: the body bytes in p[0, n). *pUsed: what was consumed (body framing
    // included). kData hands out *ppData, *pDataLen (inside p or held by the reader, valid
    // until the next call); kBodyDone: the body is complete (a multipart body also needs
    // the delimiter after its first part), *pUsed bytes were its last.
    int ReadBody(const char* p, size_t n, BodyMode nMode, size_t* pUsed, const char** ppData,
                 size_t* pDataLen);
    // Forgets the request: the next ReadHead starts a new one.
    void Reset();

    // The head as the caller is shown it (with CRLF line ends; for a multipart upload
    // followed by the body's bytes up to the first part's content).
    const vn::strutf8& GetHeadText() const { return m_strHeadText; }
    const CHttpHead& GetHead() const { return m_head; }
    // After kBad or kTooLong: the status to answer and why.
    unsigned int GetErrorStatus() const { return m_uErrorStatus; }
    const char* GetErrorText() const { return m_pszError; }

    // After kHead:
    // The request announced a body (a length above 0, or chunked).
    bool HasBody() const { return m_bHasBody; }
    bool IsBodyDone() const { return m_bBodyDone; }
    bool IsMultipart() const { return m_bMultipart; }
    // Whether the body's length is known (a Content-Length or no body), and that length as
    // the caller is told it: for a multipart upload counted from the first part's content.
    bool IsLengthKnown() const { return m_body.GetKind() != CHttpHead::kBodyChunked; }
    unsigned long long GetCallerLength() const { return m_uCallerLength; }
    // Body bytes not yet read, for a body of known length.
    unsigned long long GetBodyRemaining() const { return m_body.GetRemaining(); }
    // Whether any body byte has been received (a multipart upload's part head counts).
    bool BodyStarted() const { return m_bBodyStarted; }
    // Whether the connection may carry a next request after this one.
    bool IsKeepAlive() const { return m_bKeepAlive; }
    bool IsHeadMethod() const { return m_bHeadMethod; }
    bool ExpectsContinue() const { return m_bExpect; }
    // The head of a multipart upload is complete but its first part's head has not come:
    // a client waiting for "100 Continue" must be told to send the body first.
    bool WantsContinueForHead() const { return m_bWantsContinue; }
    // The value of the request's Range field (empty when there is none).
    const vn::strutf8& GetRange() const { return m_strRange; }

private:
    int Fail(int nVerdict, unsigned int uStatus, const char* pszText);
    // Runs the body decoder and the multipart reader over raw bytes until the first part's
    // head is complete. kHead with *pUsed raw bytes, or kNeedMore/kBad.
    int ReadPartHead(const char* p, size_t n, size_t* pUsed);
    // Hands one run of decoded body bytes (which took uStep input bytes) to the form reader;
    // what it does not take is given back to the body decoder. Adds the input bytes that
    // count as consumed to *pUsed; the form reader's verdict.
    int FeedParts(const char* pData, size_t uLen, size_t uStep, size_t* pUsed, const char** ppOut,
                  size_t* pOutLen);

    CHttpHead m_head;
    CHttpBodyDecoder m_body;
    CHttpMultipartReader m_parts;
    vn::strutf8 m_strHeadText;
    vn::strutf8 m_strRange;
    unsigned long long m_uCallerLength;
    unsigned int m_uErrorStatus;
    const char* m_pszError;  // static text
    bool m_bMultipart;
    bool m_bHasBody;
    bool m_bBodyDone;
    bool m_bBodyStarted;
    bool m_bKeepAlive;
    bool m_bHeadMethod;
    bool m_bExpect;
    bool m_bWantsContinue;
};
