// Internal header (not installed): CHttpContentDecoder, the content codings of an answer's
// body (Content-Encoding gzip, x-gzip and deflate) undone with zlib as the body streams.
// The client feeds it the body bytes the message layer hands out, in any pieces, and gets
// the decoded bytes back in pieces of at most kOutBlock through a callback, so a small coded
// body that inflates to a great size never sits in memory whole.
//
// Integrity: a body is only whole when the coded stream ended exactly where the body did.
// Corrupt data, bytes after the end of the stream that are not another gzip member, and a
// stream that the body's end cuts short are all failures, never a shorter success.
//
// Thread safety: one decoder per request, on the client's HTTP thread.
//   CHttpContentDecoder d;
//   if (d.Start("gzip", 4) != CHttpContentDecoder::kOk) ...;        // kUnsupported
//   d.Feed(p, n, [&](const char* q, size_t m) { return write(q, m); });
//   if (!d.Finish()) ...;                                            // cut short
#pragma once

#include <stddef.h>

#include <functional>

struct z_stream_s;

class CHttpContentDecoder {
public:
    enum Result {
        kOk = 0,
        kUnsupported = 1,  // a coding this decoder does not know, or more than one
        kMalformed = 2,    // the coded bytes are corrupt
        kRefused = 3,      // the output callback refused a piece (the target is full)
    };
    enum : size_t { kOutBlock = 64 * 1024 };
    using Output = std::function<bool(const char*, size_t)>;

    CHttpContentDecoder();
    ~CHttpContentDecoder();
    CHttpContentDecoder(const CHttpContentDecoder&) = delete;
    CHttpContentDecoder& operator=(const CHttpContentDecoder&) = delete;

    // A new body coded as the Content-Encoding field value p[0, n) says. "identity" and an
    // empty value mean no coding (IsActive false afterwards).
    int Start(const char* p, size_t n);
    bool IsActive() const { return m_nCoding != kNone; }
    // Coded bytes in; each decoded piece goes to out before Feed returns.
    int Feed(const char* p, size_t n, const Output& out);
    // The coded body ended: true when the stream was complete.
    bool Finish() const { return !IsActive() || (m_bEnded && m_nError == kOk); }
    const char* GetErrorText() const { return m_pszError; }
    void Reset();

private:
    enum Coding { kNone, kGzip, kDeflate };
    int Fail(int nResult, const char* pszText);
    bool Init(int nWindowBits);
    int Inflate(const char* p, size_t n, const Output& out);

    Coding m_nCoding;
    z_stream_s* m_pStream;       // owned; null while no coding runs
    bool m_bEnded;               // the last member ended (more bytes must start a new one)
    bool m_bHeaderKnown;         // deflate: whether the zlib wrapper is there has been decided
    unsigned char m_pending[2];  // deflate: the first bytes, until that is decided
    unsigned m_uPending;
    int m_nError;
    const char* m_pszError;
    char* m_pOut;  // kOutBlock bytes, owned
};
