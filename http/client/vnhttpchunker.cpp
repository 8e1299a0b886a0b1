// Chunker: chunked-body decoding for the HTTP client (see vnhttpchunker_internal.h).
//
// The decoder keeps its whole state between calls, so a size line, a CR LF pair or the
// trailer may be split at any byte. Sizes are read as at most 16 hexadecimal digits and
// must fit 32 bits: a larger size is refused rather than truncated, since a truncated size
// would make the decoder take body bytes for the next size line.
#include "http/client/vnhttpchunker_internal.h"

#include <stdlib.h>
#include <string.h>

#include "base/vnconvert.h"
#include "base/vnlog.h"
#include "http/common/vndatawriter_internal.h"

namespace {
const char kTag[] = "Http";

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
}  // namespace

Chunker::Chunker(unsigned int uId)
    : m_nState(kSize),
      m_nDigits(0),
      m_uChunkSize(0),
      m_uRemaining(0),
      m_cPrev(0),
      m_pTrailer(nullptr),
      m_uTrailerLen(0),
      m_uTrailerCap(kTrailerMax),
      Id(uId),
      m_nDone(kMore),
      m_uUnused(0) {
    m_szDigits[0] = 0;
}

Chunker::~Chunker() {
    free(m_pTrailer);
}

vn::strutf8 Chunker::GetTrailer() const {
    return m_pTrailer != nullptr ? vn::strutf8(m_pTrailer, m_uTrailerLen) : vn::strutf8();
}

int Chunker::Feed(const char* p, unsigned int len, HttpResponseDataWriter* pWriter, bool bTrailer) {
    m_uUnused = 0;
    if (m_nDone != kMore) {
        m_uUnused = len;
        return m_nDone;
    }
    unsigned int i = 0;
    while (i < len) {
        switch (m_nState) {
            case kSize: {
                char c = p[i];
                if (IsHex(c)) {
                    if (m_nDigits >= MAXNUM_SIZE) {
                        syslog(VN_LOG_ERROR, kTag, __LINE__,
                               "Id[%u] Chunker HexDigit > MAXNUM_SIZE[%d]", Id, MAXNUM_SIZE);
                        return m_nDone = kError;
                    }
                    m_szDigits[m_nDigits++] = c;
                    ++i;
                    break;
                }
                // The first other byte ends the size; state 1 consumes it.
                if (m_nDigits == 0) {
                    syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] Chunker HexDigitLen = 0 [%d]", Id,
                           m_nDigits);
                    return m_nDone = kError;
                }
                m_szDigits[m_nDigits] = 0;
                char hex[MAXNUM_SIZE + 3] = "0x";
                memcpy(hex + 2, m_szDigits, static_cast<size_t>(m_nDigits) + 1);
                unsigned int size = 0;
                if (!vn_str2uint32(hex, &size)) {
                    syslog(VN_LOG_ERROR, kTag, __LINE__, "Id[%u] Chunker size [%s] > 32 bits", Id,
                           m_szDigits);
                    return m_nDone = kError;
                }
                syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] Chunker HexDigitLen = [%u]", Id, size);
                m_nDigits = 0;
                m_uChunkSize = size;
                m_uRemaining = size;
                m_cPrev = 0;
                if (size == 0 && !bTrailer) {
                    m_uUnused = len - i;
                    return m_nDone = kComplete;
                }
                // The zero chunk with a trailer: its size line ends like a data line.
                m_nState = size == 0 ? kDataEnd : kSizeLine;
                break;
            }
            case kSizeLine:
            case kDataEnd: {
                // Up to and including CR LF (chunk extensions are skipped).
                char c = p[i++];
                bool end = m_cPrev == '\r' && c == '\n';
                m_cPrev = c;
                if (!end) break;
                m_cPrev = 0;
                if (m_nState == kSizeLine) {
                    m_nState = kData;
                } else if (m_uChunkSize == 0) {
                    m_nState = kTrailer;
                    // The zero size line's CR LF counts as the start of the trailer text,
                    // so an empty trailer ends at the next CR LF.
                    if (m_pTrailer == nullptr) {
                        m_pTrailer = static_cast<char*>(malloc(m_uTrailerCap + 1));
                        if (m_pTrailer == nullptr) return m_nDone = kError;
                    }
                    memcpy(m_pTrailer, "\r\n", 2);
                    m_uTrailerLen = 2;
                    m_pTrailer[m_uTrailerLen] = 0;
                } else {
                    m_uChunkSize = 0;
                    m_nState = kSize;
                }
                break;
            }
            case kData: {
                unsigned int n = len - i;
                if (n > m_uRemaining) n = m_uRemaining;
                if (n > 0 && (pWriter == nullptr || !pWriter->Write(p + i, n))) {
                    syslog(VN_LOG_ERROR, kTag, __LINE__,
                           "Id[%u] Error Chunker Write Fail,dwLen=[%u]", Id, n);
                    return m_nDone = kError;
                }
                i += n;
                m_uRemaining -= n;
                if (m_uRemaining == 0) m_nState = kDataEnd;
                break;
            }
            case kTrailer: {
                unsigned int n = len - i;
                unsigned int room = m_uTrailerCap - m_uTrailerLen;
                unsigned int take = n < room ? n : room;
                // Search from up to three bytes before the new ones: the end may be split.
                unsigned int from = m_uTrailerLen >= 3 ? m_uTrailerLen - 3 : 0;
                memcpy(m_pTrailer + m_uTrailerLen, p + i, take);
                m_uTrailerLen += take;
                m_pTrailer[m_uTrailerLen] = 0;
                const char* end = static_cast<const char*>(
                    memmem(m_pTrailer + from, m_uTrailerLen - from, "\r\n\r\n", 4));
                if (end != nullptr) {
                    unsigned int used = static_cast<unsigned int>(end + 4 - m_pTrailer);
                    m_uUnused = (m_uTrailerLen - used) + (n - take);
                    m_uTrailerLen = used;
                    m_pTrailer[m_uTrailerLen] = 0;
                    syslog(VN_LOG_DEBUG, kTag, __LINE__, "Find \r\n\r\n,Trailer End,bComplete[%d]",
                           1);
                    return m_nDone = kComplete;
                }
                if (take < n) {
                    syslog(VN_LOG_ERROR, kTag, __LINE__,
                           "Id[%u] Error Chunker dwToReadData[%u] > m_dwTrailerBufTotalLen[%u],Let "
                           "bComplete",
                           Id, m_uTrailerLen + (n - take), m_uTrailerCap);
                    // The rest of an over-long trailer would stay in the connection and be
                    // read as the next answer, so the body cannot be taken as complete.
                    return m_nDone = kError;
                }
                i += take;
                break;
            }
            default:
                return m_nDone = kError;
        }
    }
    return kMore;
}
