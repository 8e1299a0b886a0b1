// CHttpMultipartReader: the first part of a multipart/form-data body (see
// vnhttpmultipart.h).
#include "net/vnhttpmultipart.h"

#include <string.h>
#include <strings.h>

namespace {

// RFC 2046 section 5.1.1: bcharsnospace, plus the space, which may not end a boundary.
bool IsBoundaryChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           strchr("'()+_,-./:=? ", c) != nullptr;
}

}  // namespace

CHttpMultipartReader::CHttpMultipartReader()
    : m_nState(kStateIdle), m_uMaxHead(0), m_uPartHeadAt(0), m_pszError("") {}

int CHttpMultipartReader::GetBoundary(const CHttpHead& head, vn::strutf8& strBoundary) {
    size_t len = 0;
    const char* type = head.Find("Content-Type", &len);
    return type != nullptr ? ParseBoundary(type, len, strBoundary) : 0;
}

int CHttpMultipartReader::ParseBoundary(const char* type, size_t len, vn::strutf8& strBoundary) {
    if (type == nullptr) return 0;
    const char* semi = static_cast<const char*>(memchr(type, ';', len));
    size_t typeLen = semi != nullptr ? static_cast<size_t>(semi - type) : len;
    while (typeLen > 0 && (type[typeLen - 1] == ' ' || type[typeLen - 1] == '\t'))
        --typeLen;
    static const char kForm[] = "multipart/form-data";
    if (typeLen != sizeof(kForm) - 1 || strncasecmp(type, kForm, typeLen) != 0) return 0;
    vn::strutf8 b;
    if (!CHttpHead::GetParameter(type, len, "boundary", b)) return -1;
    unsigned n = b.length();
    if (n == 0 || n > 70 || b[n - 1] == ' ') return -1;
    for (unsigned i = 0; i < n; ++i) {
        if (!IsBoundaryChar(b[i])) return -1;
    }
    strBoundary = b;
    return 1;
}

void CHttpMultipartReader::Start(const vn::strutf8& strBoundary, size_t uMaxHead) {
    m_delimiter = "\r\n--";
    m_delimiter.append(strBoundary.c_str(), strBoundary.length());
    m_uMaxHead = uMaxHead;
    m_strLead.clear();
    m_uPartHeadAt = 0;
    m_partHead = CHttpHead();
    m_hold.clear();
    m_out.clear();
    m_pszError = "";
    m_nState = kStatePreamble;
}

int CHttpMultipartReader::Bad(const char* pszText) {
    m_nState = kStateBad;
    m_pszError = pszText;
    return kMalformed;
}

int CHttpMultipartReader::Step(const char* in, size_t n, size_t* pUsed, const char** ppData,
                               size_t* pDataLen) {
    *pUsed = 0;
    *ppData = nullptr;
    *pDataLen = 0;
    switch (m_nState) {
        case kStatePreamble:
        case kStatePartHead:
            return StepLead(in, n, pUsed);
        case kStateContent:
            return StepContent(in, n, pUsed, ppData, pDataLen);
        case kStateEpilogue:
            // Later parts and the epilogue are not stored; the body's own framing says
            // where they end.
            *pUsed = n;
            return kDone;
        case kStateBad:
            return kMalformed;
        default:
            return Bad("multipart reader not started");
    }
}

int CHttpMultipartReader::StepLead(const char* in, size_t n, size_t* pUsed) {
    size_t before = m_strLead.length();
    size_t room = m_uMaxHead > before ? m_uMaxHead - before : 0;
    size_t take = n < room ? n : room;
    if (take == 0) {
        if (n == 0) return kNeedMore;
        return Bad("the first part's head is too long");
    }
    m_strLead.append(in, static_cast<unsigned>(take));
    const char* lead = m_strLead.c_str();
    size_t len = m_strLead.length();
    if (m_nState == kStatePreamble) {
        // The first delimiter line: "--" boundary at the start of the body or after a
        // preamble's CRLF, optional blanks, CRLF.
        const char* dash = m_delimiter.c_str() + 2;
        size_t dashLen = m_delimiter.size() - 2;
        for (size_t at = 0; at + dashLen <= len; ++at) {
            if (memcmp(lead + at, dash, dashLen) != 0) continue;
            if (at != 0 && (at < 2 || lead[at - 2] != '\r' || lead[at - 1] != '\n')) continue;
            size_t q = at + dashLen;
            while (q < len && (lead[q] == ' ' || lead[q] == '\t'))
                ++q;
            if (q + 2 > len) break;  // not known yet
            if (lead[q] == '-' && lead[q + 1] == '-') return Bad("a form without parts");
            if (lead[q] != '\r' || lead[q + 1] != '\n') continue;
            m_uPartHeadAt = q + 2;
            m_nState = kStatePartHead;
            break;
        }
        if (m_nState == kStatePreamble) {
            if (len >= m_uMaxHead) return Bad("no delimiter line");
            *pUsed = take;
            return kNeedMore;
        }
    }
    size_t end = 0;
    int r = m_partHead.ParseFields(lead + m_uPartHeadAt, len - m_uPartHeadAt,
                                   m_uMaxHead - m_uPartHeadAt, &end);
    if (r == CHttpHead::kNeedMore) {
        *pUsed = take;
        return kNeedMore;
    }
    if (r != CHttpHead::kComplete) return Bad("the first part's head does not parse");
    size_t total = m_uPartHeadAt + end;
    // Bytes taken past the part head are content: they stay with the caller's input.
    m_strLead.resize(static_cast<unsigned>(total));
    *pUsed = total - before;
    m_nState = kStateContent;
    return kHead;
}

size_t CHttpMultipartReader::NextCandidate() const {
    size_t h = m_hold.size();
    for (size_t j = 1; j < h; ++j) {
        if (m_hold.compare(j, h - j, m_delimiter, 0, h - j) == 0) return j;
    }
    return h;
}

int CHttpMultipartReader::StepContent(const char* in, size_t n, size_t* pUsed, const char** ppData,
                                      size_t* pDataLen) {
    const size_t d = m_delimiter.size();
    if (m_hold.empty() && n > 0) {
        // Content up to the first place a delimiter may begin goes out in place: a whole
        // delimiter, or a start of one cut off by the end of the input.
        const void* full = memmem(in, n, m_delimiter.data(), d);
        size_t p = full != nullptr ? static_cast<size_t>(static_cast<const char*>(full) - in) : n;
        if (full == nullptr) {
            for (size_t k = (n < d ? n : d - 1); k > 0; --k) {
                if (memcmp(in + n - k, m_delimiter.data(), k) == 0) {
                    p = n - k;
                    break;
                }
            }
        }
        if (p > 0) {
            *ppData = in;
            *pDataLen = p;
            *pUsed = p;
            return kData;
        }
    }
    // A delimiter may begin with the held bytes: go on byte by byte until it is one (the
    // part ends) or is not (the held bytes are content after all).
    size_t i = 0;
    while (i < n) {
        char c = in[i];
        size_t h = m_hold.size();
        bool match;
        if (h < d) {
            match = c == m_delimiter[h];
        } else if (h == d) {
            match = c == '\r' || c == '-';
        } else {
            match = (m_hold[d] == '\r' && c == '\n') || (m_hold[d] == '-' && c == '-');
        }
        if (match) {
            m_hold += c;
            ++i;
            if (m_hold.size() == d + 2) {
                m_hold.clear();
                m_nState = kStateEpilogue;
                *pUsed = i;
                return kDone;
            }
            continue;
        }
        if (h == 0) {  // (the fast path above never leaves a non-delimiter byte here)
            *ppData = in + i;
            *pDataLen = 1;
            *pUsed = i + 1;
            return kData;
        }
        size_t j = NextCandidate();
        m_out.assign(m_hold, 0, j);
        m_hold.erase(0, j);
        *ppData = m_out.data();
        *pDataLen = j;
        *pUsed = i;
        return kData;
    }
    *pUsed = i;
    return kNeedMore;
}
