// Public header (part of vnbase.h).
// CHttpBodyDecoder: the body of one HTTP/1.1 message, taken out of the bytes that follow
// its head: exactly a length, the chunked coding (sizes, extensions, trailers), or
// everything until the connection ends. Fed with whatever bytes have arrived, it says how
// many of them belong to the body, hands out the body data in place (no copy), and tells
// when the body is complete, so that the bytes after it (a pipelined request, the next
// answer) are never taken for body data and body data never for a next message.
//
// Chunk lines: 1 to 20 hex digits (a size of at most 2^63 - 1), an optional extension
// after ';' (visible bytes, blanks), blanks, CRLF; data; CRLF. Trailer fields are read with
// the rules of CHttpHead, up to a bound (2048 bytes by default).
//
// Thread safety: a value type; one thread at a time may use an object.
//   CHttpBodyDecoder body;
//   body.Start(head.GetBodyKind(&len), len);
//   size_t used; const char* data; size_t n;
//   while (p < end) {
//       int r = body.Step(p, end - p, &used, &data, &n);
//       p += used;
//       if (r == CHttpBodyDecoder::kData) write(data, n);
//       else if (r != CHttpBodyDecoder::kNeedMore) break;   // kDone, or kMalformed
//   }
#pragma once

#include <stddef.h>

#include "common/vnexport.h"
#include "common/vnstream.h"
#include "net/vnhttphead.h"

class VN_EXPORT CHttpBodyDecoder {
public:
    enum Verdict {
        kNeedMore = 0,    // every byte given was consumed; the body goes on
        kData = 1,        // *ppData, *pDataLen: body bytes (inside the input, consumed)
        kDone = 2,        // the body is complete; bytes after *pUsed are not the body's
        kMalformed = -1,  // the framing is broken: the connection cannot be read further
    };
    enum : size_t { kDefaultMaxTrailer = 2048 };

    // Nothing to decode until Start.
    CHttpBodyDecoder();

    // Begins a body of the given kind (CHttpHead::BodyKind) and, for kBodyLength, length.
    // uMaxTrailer bounds the trailer section of a chunked body, its blank line included.
    void Start(int nKind, unsigned long long uLength = 0, size_t uMaxTrailer = kDefaultMaxTrailer);

    // One step over in[0, n): consumes framing bytes and at most one run of body data.
    // *pUsed is what it consumed (for kNeedMore all of n). Step again on the rest after
    // kData; kDone and kMalformed are final (further steps repeat them, consuming nothing).
    int Step(const char* in, size_t n, size_t* pUsed, const char** ppData, size_t* pDataLen);
    // The stream ended here: kDone for a body that runs until close (or one already
    // complete), kMalformed for a body cut short.
    int End();
    // Gives back the last n bytes of the data the last kData step handed out: they count
    // as not consumed (the caller keeps them in its input and steps over them again).
    // n is at most that step's *pDataLen.
    void Unread(size_t n);

    bool IsDone() const { return m_nState == kStateDone; }
    bool IsMalformed() const { return m_nState == kStateBad; }
    // The body kind given to Start.
    int GetKind() const { return m_nKind; }
    // Body bytes handed out so far.
    unsigned long long GetDecoded() const { return m_uDecoded; }
    // kBodyLength: bytes still to come.
    unsigned long long GetRemaining() const { return m_uRemaining; }
    // The trailer fields of a chunked body, once it is complete (no fields: empty).
    const CHttpHead& GetTrailers() const { return m_trailers; }
    // Why the framing was refused (static text), after kMalformed.
    const char* GetErrorText() const { return m_pszError; }

private:
    enum State {
        kStateIdle,
        kStateLength,  // counting down m_uRemaining
        kStateUntilClose,
        kStateSize,       // chunk size digits
        kStateExtension,  // after ';'
        kStateSizeBlank,  // blanks after the size
        kStateSizeLf,     // CR seen, LF expected
        kStateChunk,      // chunk data; m_uRemaining left
        kStateChunkCr,    // CRLF after the data
        kStateChunkLf,
        kStateTrailer,  // collecting the trailer section in m_strTrailer
        kStateDone,
        kStateBad,
    };
    int Bad(const char* pszText);
    int StepChunkLine(const char* in, size_t n, size_t* pUsed);
    int StepTrailer(const char* in, size_t n, size_t* pUsed);

    int m_nKind;
    State m_nState;
    unsigned long long m_uRemaining;
    unsigned long long m_uDecoded;
    unsigned int m_uDigits;
    size_t m_uLastData;  // length of the last kData run, for Unread
    size_t m_uMaxTrailer;
    vn::strutf8 m_strTrailer;
    CHttpHead m_trailers;
    const char* m_pszError;  // static text
};
