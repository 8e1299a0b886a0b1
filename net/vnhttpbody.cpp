// CHttpBodyDecoder: message body framing (see vnhttpbody.h).
#include "net/vnhttpbody.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Digits of one chunk size. Sixteen significant digits already pass any length a peer can
// send, and an unbounded run would let the count wrap; leading zeros fit in the rest.
constexpr unsigned int kMaxSizeDigits = 20;

}  // namespace

CHttpBodyDecoder::CHttpBodyDecoder()
    : m_nKind(CHttpHead::kBodyNone),
      m_nState(kStateIdle),
      m_uRemaining(0),
      m_uDecoded(0),
      m_uDigits(0),
      m_uLastData(0),
      m_uMaxTrailer(kDefaultMaxTrailer),
      m_pszError("") {}

void CHttpBodyDecoder::Start(int nKind, unsigned long long uLength, size_t uMaxTrailer) {
    m_nKind = nKind;
    m_uRemaining = 0;
    m_uDecoded = 0;
    m_uDigits = 0;
    m_uLastData = 0;
    m_uMaxTrailer = uMaxTrailer;
    m_strTrailer.clear();
    m_trailers = CHttpHead();
    m_pszError = "";
    switch (nKind) {
        case CHttpHead::kBodyLength:
            m_uRemaining = uLength;
            m_nState = uLength == 0 ? kStateDone : kStateLength;
            break;
        case CHttpHead::kBodyChunked:
            m_nState = kStateSize;
            break;
        case CHttpHead::kBodyUntilClose:
            m_nState = kStateUntilClose;
            break;
        default:
            m_nKind = CHttpHead::kBodyNone;
            m_nState = kStateDone;
            break;
    }
}

int CHttpBodyDecoder::Bad(const char* pszText) {
    m_nState = kStateBad;
    m_pszError = pszText;
    return kMalformed;
}

int CHttpBodyDecoder::Step(const char* in, size_t n, size_t* pUsed, const char** ppData,
                           size_t* pDataLen) {
    *pUsed = 0;
    *ppData = nullptr;
    *pDataLen = 0;
    m_uLastData = 0;
    size_t used = 0;
    for (;;) {
        switch (m_nState) {
            case kStateIdle:
            case kStateDone:
                *pUsed = used;
                return m_nState == kStateDone ? kDone : kNeedMore;
            case kStateBad:
                *pUsed = used;
                return kMalformed;
            case kStateLength:
            case kStateChunk:
            case kStateUntilClose: {
                size_t left = n - used;
                if (left == 0) {
                    *pUsed = used;
                    return kNeedMore;
                }
                size_t take = left;
                if (m_nState != kStateUntilClose && m_uRemaining < take) {
                    take = static_cast<size_t>(m_uRemaining);
                }
                *ppData = in + used;
                *pDataLen = take;
                m_uLastData = take;
                used += take;
                m_uDecoded += take;
                if (m_nState != kStateUntilClose) {
                    m_uRemaining -= take;
                    if (m_uRemaining == 0) {
                        m_nState = m_nState == kStateLength ? kStateDone : kStateChunkCr;
                    }
                }
                *pUsed = used;
                return kData;
            }
            case kStateChunkCr:
            case kStateChunkLf: {
                if (used == n) {
                    *pUsed = used;
                    return kNeedMore;
                }
                char c = in[used++];
                if (m_nState == kStateChunkCr) {
                    if (c != '\r') return Bad("chunk data not followed by CRLF");
                    m_nState = kStateChunkLf;
                } else {
                    if (c != '\n') return Bad("chunk data not followed by CRLF");
                    m_nState = kStateSize;
                    m_uDigits = 0;
                    m_uRemaining = 0;
                }
                break;
            }
            case kStateTrailer: {
                size_t step = 0;
                int r = StepTrailer(in + used, n - used, &step);
                used += step;
                if (r != kDone) {
                    *pUsed = used;
                    return r;
                }
                break;
            }
            default: {  // the chunk size line
                size_t step = 0;
                int r = StepChunkLine(in + used, n - used, &step);
                used += step;
                if (r == kMalformed || (r == kNeedMore && used == n)) {
                    *pUsed = used;
                    return r;
                }
                break;
            }
        }
    }
}

int CHttpBodyDecoder::StepChunkLine(const char* in, size_t n, size_t* pUsed) {
    size_t i = 0;
    for (; i < n; ++i) {
        char c = in[i];
        switch (m_nState) {
            case kStateSize: {
                int v = HexValue(c);
                if (v >= 0) {
                    if (++m_uDigits > kMaxSizeDigits ||
                        m_uRemaining > (0x7FFFFFFFFFFFFFFFull >> 4)) {
                        *pUsed = i;
                        return Bad("chunk size too large");
                    }
                    m_uRemaining = m_uRemaining * 16 + static_cast<unsigned>(v);
                    continue;
                }
                if (m_uDigits == 0) {
                    *pUsed = i;
                    return Bad("no chunk size");
                }
                if (c == ';') {
                    m_nState = kStateExtension;
                } else if (c == ' ' || c == '\t') {
                    m_nState = kStateSizeBlank;
                } else if (c == '\r') {
                    m_nState = kStateSizeLf;
                } else {
                    *pUsed = i;
                    return Bad("illegal chunk size");
                }
                continue;
            }
            case kStateExtension:
                // Extensions are skipped; control bytes (a lone CR or LF above all) would
                // end the line for one parser and not for another.
                if (c == '\r') {
                    m_nState = kStateSizeLf;
                } else if (!(c == '\t' || (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f))) {
                    *pUsed = i;
                    return Bad("illegal chunk extension");
                }
                continue;
            case kStateSizeBlank:
                if (c == '\r') {
                    m_nState = kStateSizeLf;
                } else if (c != ' ' && c != '\t') {
                    *pUsed = i;
                    return Bad("illegal chunk size line");
                }
                continue;
            case kStateSizeLf:
                if (c != '\n') {
                    *pUsed = i;
                    return Bad("chunk size line not ended by CRLF");
                }
                *pUsed = i + 1;
                if (m_uRemaining == 0) {
                    m_nState = kStateTrailer;
                    m_strTrailer.clear();
                } else {
                    m_nState = kStateChunk;
                }
                return kDone;  // the line is complete
            default:
                *pUsed = i;
                return Bad("chunk decoder state");
        }
    }
    *pUsed = i;
    return kNeedMore;
}

int CHttpBodyDecoder::StepTrailer(const char* in, size_t n, size_t* pUsed) {
    // The trailer section is collected whole (it is small and bounded) and read by the
    // head parser's field rules. Only the bytes up to its blank line are taken.
    size_t before = m_strTrailer.length();
    size_t room = m_uMaxTrailer > before ? m_uMaxTrailer - before : 0;
    size_t take = n < room ? n : room;
    if (take == 0 && n > 0) {
        *pUsed = 0;
        return Bad("trailer section too long");
    }
    if (take > 0) m_strTrailer.append(in, static_cast<unsigned>(take));
    size_t end = 0;
    int r =
        m_trailers.ParseFields(m_strTrailer.c_str(), m_strTrailer.length(), m_uMaxTrailer, &end);
    if (r == CHttpHead::kNeedMore) {
        *pUsed = take;
        return kNeedMore;
    }
    if (r != CHttpHead::kComplete) {
        *pUsed = take;
        return Bad(r == CHttpHead::kTooLong ? "trailer section too long" : "illegal trailer field");
    }
    // Bytes collected past the blank line belong to what follows the body.
    *pUsed = end - before;
    m_nState = kStateDone;
    return kDone;
}

void CHttpBodyDecoder::Unread(size_t n) {
    if (n == 0 || n > m_uLastData) return;
    m_uLastData -= n;
    m_uDecoded -= n;
    if (m_nState == kStateUntilClose) return;
    // The run came from a length or a chunk; a step that ended either is taken back too.
    if (m_nState == kStateDone) m_nState = kStateLength;
    if (m_nState == kStateChunkCr) m_nState = kStateChunk;
    m_uRemaining += n;
}

int CHttpBodyDecoder::End() {
    if (m_nState == kStateUntilClose) m_nState = kStateDone;
    if (m_nState == kStateDone) return kDone;
    if (m_nState != kStateBad) Bad("the stream ended inside the body");
    return kMalformed;
}
