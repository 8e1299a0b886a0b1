// Internal header (not installed): Chunker, the decoder of a chunked response body. It is
// fed the body bytes as they arrive, split anywhere, writes the chunk data to the
// request's data writer and says when the last chunk (and the trailer, when one was
// announced) has been read.
//
// Thread safety: one decoder per response, used on the client's HTTP thread only.
//   Chunker c(id);
//   int r = c.Feed(p, n, writer, bTrailer);   // kMore, kComplete or kError
#pragma once

#include "common/vnstream.h"

class HttpResponseDataWriter;

class Chunker {
public:
    enum Result { kError = 0, kMore = 1, kComplete = 2 };
    enum { MAXNUM_SIZE = 16, kTrailerMax = 2048 };
    enum State { kSize = 0, kSizeLine = 1, kData = 2, kDataEnd = 3, kTrailer = 4 };

    explicit Chunker(unsigned int uId);
    ~Chunker();
    Chunker(const Chunker&) = delete;
    Chunker& operator=(const Chunker&) = delete;

    // Decodes p[0, len). Chunk data goes to pWriter. With bTrailer the body ends only with
    // the empty line after the trailer. Once kComplete or kError was returned, further
    // bytes are not decoded (the same result comes back).
    int Feed(const char* p, unsigned int len, HttpResponseDataWriter* pWriter, bool bTrailer);
    // Bytes of the last Feed that were not consumed because the body ended before them.
    unsigned int GetUnusedCount() const { return m_uUnused; }
    // The trailer received (empty without one).
    vn::strutf8 GetTrailer() const;
    int GetState() const { return m_nState; }

private:
    int m_nState;
    char m_szDigits[MAXNUM_SIZE + 1];
    int m_nDigits;
    unsigned int m_uChunkSize;
    unsigned int m_uRemaining;
    char m_cPrev;
    char* m_pTrailer;  // kTrailerMax + 1 bytes, owned; allocated on first use
    unsigned int m_uTrailerLen;
    unsigned int m_uTrailerCap;
    unsigned int Id;
    int m_nDone;  // kMore while decoding, else the final result
    unsigned int m_uUnused;
};
