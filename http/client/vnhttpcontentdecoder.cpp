// CHttpContentDecoder: gzip and deflate bodies undone with zlib (see
// vnhttpcontentdecoder_internal.h).
#include "http/client/vnhttpcontentdecoder_internal.h"

#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <string>

namespace {
// The coding names of one field value, lower-cased, blanks and empty list members dropped.
bool NextCoding(const char*& p, const char* end, std::string& name) {
    name.clear();
    while (p < end && name.empty()) {
        while (p < end && (*p == ' ' || *p == '\t' || *p == ','))
            ++p;
        while (p < end && *p != ',' && *p != ' ' && *p != '\t') {
            char c = *p++;
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            name += c;
        }
        while (p < end && (*p == ' ' || *p == '\t'))
            ++p;
        if (p < end && *p != ',' && !name.empty()) {
            name = "?";  // parameters or junk: not a coding this decoder knows
            return true;
        }
    }
    return !name.empty();
}
}  // namespace

CHttpContentDecoder::CHttpContentDecoder()
    : m_nCoding(kNone),
      m_pStream(nullptr),
      m_bEnded(false),
      m_bHeaderKnown(false),
      m_uPending(0),
      m_nError(kOk),
      m_pszError(""),
      m_pOut(nullptr) {}

CHttpContentDecoder::~CHttpContentDecoder() {
    Reset();
    free(m_pOut);
}

void CHttpContentDecoder::Reset() {
    if (m_pStream != nullptr) {
        inflateEnd(m_pStream);
        delete m_pStream;
        m_pStream = nullptr;
    }
    m_nCoding = kNone;
    m_bEnded = false;
    m_bHeaderKnown = false;
    m_uPending = 0;
    m_nError = kOk;
    m_pszError = "";
}

int CHttpContentDecoder::Fail(int nResult, const char* pszText) {
    m_nError = nResult;
    m_pszError = pszText;
    return nResult;
}

int CHttpContentDecoder::Start(const char* p, size_t n) {
    Reset();
    const char* end = p + n;
    std::string name;
    Coding coding = kNone;
    while (NextCoding(p, end, name)) {
        if (name == "identity") continue;
        Coding c = kNone;
        if (name == "gzip" || name == "x-gzip")
            c = kGzip;
        else if (name == "deflate")
            c = kDeflate;
        // Codings this client did not ask for (br, compress), or two applied one over the
        // other: the body cannot be given back as it was.
        if (c == kNone) return Fail(kUnsupported, "a content coding that was not asked for");
        if (coding != kNone) return Fail(kUnsupported, "more than one content coding");
        coding = c;
    }
    m_nCoding = coding;
    if (coding == kNone) return kOk;
    if (m_pOut == nullptr) {
        m_pOut = static_cast<char*>(malloc(kOutBlock));
        if (m_pOut == nullptr) return Fail(kRefused, "out of memory");
    }
    // gzip is known from its first bytes at once; deflate waits for two bytes to tell a
    // zlib wrapper from the raw stream some servers send under the same name.
    if (coding == kGzip && !Init(16 + MAX_WBITS)) return Fail(kRefused, "out of memory");
    m_bHeaderKnown = coding == kGzip;
    return kOk;
}

bool CHttpContentDecoder::Init(int nWindowBits) {
    m_pStream = new z_stream_s();
    if (inflateInit2(m_pStream, nWindowBits) != Z_OK) {
        delete m_pStream;
        m_pStream = nullptr;
        return false;
    }
    return true;
}

int CHttpContentDecoder::Feed(const char* p, size_t n, const Output& out) {
    if (m_nError != kOk) return m_nError;
    if (!IsActive()) return n == 0 || out(p, n) ? kOk : Fail(kRefused, "the target refused");
    if (!m_bHeaderKnown) {
        while (m_uPending < 2 && n > 0) {
            m_pending[m_uPending++] = static_cast<unsigned char>(*p++);
            --n;
        }
        if (m_uPending < 2) return kOk;
        // RFC 1950: compression method 8 and a check value that makes the pair a multiple
        // of 31.
        unsigned cmf = m_pending[0], flg = m_pending[1];
        bool wrapped = (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && (cmf * 256 + flg) % 31 == 0;
        if (!Init(wrapped ? MAX_WBITS : -MAX_WBITS)) return Fail(kRefused, "out of memory");
        m_bHeaderKnown = true;
        int r = Inflate(reinterpret_cast<const char*>(m_pending), 2, out);
        if (r != kOk) return r;
    }
    return Inflate(p, n, out);
}

int CHttpContentDecoder::Inflate(const char* p, size_t n, const Output& out) {
    z_stream_s* s = m_pStream;
    s->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(p));
    s->avail_in = static_cast<uInt>(n);
    do {
        if (m_bEnded) {
            if (s->avail_in == 0) break;
            // Another gzip member may follow (RFC 1952 section 2.2); anything else after
            // the end is no part of the body.
            if (m_nCoding != kGzip)
                return Fail(kMalformed, "bytes after the end of the deflate data");
            inflateReset(s);
            m_bEnded = false;
        }
        s->next_out = reinterpret_cast<Bytef*>(m_pOut);
        s->avail_out = static_cast<uInt>(kOutBlock);
        int r = inflate(s, Z_NO_FLUSH);
        size_t got = kOutBlock - s->avail_out;
        if (got > 0 && !out(m_pOut, got)) return Fail(kRefused, "the target refused the body");
        if (r == Z_STREAM_END) {
            m_bEnded = true;
            continue;
        }
        if (r == Z_BUF_ERROR && got == 0) break;  // nothing more to do with this input
        if (r != Z_OK) {
            return Fail(kMalformed,
                        m_nCoding == kGzip ? "corrupt gzip data" : "corrupt deflate data");
        }
    } while (s->avail_in > 0 || s->avail_out == 0);
    return kOk;
}
