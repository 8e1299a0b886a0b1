// CHttpHead: strict parsing of HTTP/1.1 message heads (see vnhttphead.h).
#include "net/vnhttphead.h"

#include <string.h>

namespace {

// RFC 9110 section 5.6.2: tchar.
bool IsTchar(unsigned char c) {
    static const bool* table = [] {
        static bool t[256] = {};
        for (int c = '0'; c <= '9'; ++c)
            t[c] = true;
        for (int c = 'a'; c <= 'z'; ++c)
            t[c] = t[c - 'a' + 'A'] = true;
        for (const char* s = "!#$%&'*+-.^_`|~"; *s != '\0'; ++s)
            t[static_cast<unsigned char>(*s)] = true;
        return t;
    }();
    return table[c];
}

bool IsVchar(unsigned char c) {
    return c >= 0x21 && c <= 0x7e;
}

// A byte of a field value or a reason phrase: visible, obs-text, space or tab.
bool IsValueByte(unsigned char c) {
    return IsVchar(c) || c >= 0x80 || c == ' ' || c == '\t';
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(const char* a, size_t n, const char* b) {
    size_t i = 0;
    for (; i < n; ++i) {
        if (b[i] == '\0' || Lower(a[i]) != Lower(b[i])) return false;
    }
    return b[i] == '\0';
}

void Trim(const char*& p, size_t& n) {
    while (n > 0 && IsBlank(*p)) {
        ++p;
        --n;
    }
    while (n > 0 && IsBlank(p[n - 1]))
        --n;
}

// vn::strutf8 takes a length of 0 for "up to the terminator"; an empty run must clear.
void AssignRun(vn::strutf8& s, const char* p, size_t n) {
    if (n == 0) {
        s.clear();
    } else {
        s.assign(p, static_cast<unsigned>(n));
    }
}

// "HTTP/d.d" at p[0, 8).
bool ParseVersion(const char* p, size_t n, int* pMajor, int* pMinor) {
    if (n < 8 || memcmp(p, "HTTP/", 5) != 0 || !IsDigit(p[5]) || p[6] != '.' || !IsDigit(p[7])) {
        return false;
    }
    *pMajor = p[5] - '0';
    *pMinor = p[7] - '0';
    return true;
}

// Where the blank line that ends a head lies in p[from, n): the index just past it, or 0
// when it has not arrived. A blank line is a line feed followed by an optional CR and a
// line feed.
size_t FindHeadEnd(const char* p, size_t n, size_t from) {
    for (size_t i = from; i < n;) {
        const void* lf = memchr(p + i, '\n', n - i);
        if (lf == nullptr) return 0;
        size_t j = static_cast<size_t>(static_cast<const char*>(lf) - p);
        if (j + 1 < n && p[j + 1] == '\n') return j + 2;
        if (j + 2 < n && p[j + 1] == '\r' && p[j + 2] == '\n') return j + 3;
        i = j + 1;
    }
    return 0;
}

}  // namespace

CHttpHead::CHttpHead() {
    Reset();
}

void CHttpHead::Reset() {
    m_strText.clear();
    m_fields.clear();
    m_strMethod.clear();
    m_strTarget.clear();
    m_strReason.clear();
    m_nMajor = m_nMinor = 0;
    m_uStatus = 0;
    m_uErrorStatus = 0;
    m_pszError = "";
    m_bChunked = false;
    m_bHasLength = false;
    m_uLength = 0;
}

int CHttpHead::ParseRequest(const char* p, size_t n, size_t uMaxLen, size_t* pUsed) {
    return Parse(kRequest, p, n, uMaxLen, pUsed);
}

int CHttpHead::ParseResponse(const char* p, size_t n, size_t uMaxLen, size_t* pUsed) {
    return Parse(kResponse, p, n, uMaxLen, pUsed);
}

int CHttpHead::ParseFields(const char* p, size_t n, size_t uMaxLen, size_t* pUsed) {
    return Parse(kFields, p, n, uMaxLen, pUsed);
}

bool CHttpHead::Fail(unsigned int uStatus, const char* pszText) {
    m_uErrorStatus = uStatus;
    m_pszError = pszText;
    return false;
}

int CHttpHead::Parse(Kind nKind, const char* p, size_t n, size_t uMaxLen, size_t* pUsed) {
    Reset();
    if (p == nullptr) n = 0;
    size_t start = 0;
    if (nKind == kRequest) {
        // A server should ignore empty lines before a request line (RFC 9112 section 2.2):
        // some clients send a CRLF after a body.
        for (;;) {
            if (start < n && p[start] == '\n') {
                ++start;
            } else if (start + 1 < n && p[start] == '\r' && p[start + 1] == '\n') {
                start += 2;
            } else {
                break;
            }
        }
        // Nothing that can start a request line: no need to wait for the rest of it.
        if (start < n && !IsTchar(static_cast<unsigned char>(p[start])) &&
            !(p[start] == '\r' && start + 1 == n)) {
            Fail(400, "illegal request line");
            return kMalformed;
        }
    }
    size_t end = 0;
    if (nKind == kFields && n >= 1 && p[0] == '\n') {
        end = 1;
    } else if (nKind == kFields && n >= 2 && p[0] == '\r' && p[1] == '\n') {
        end = 2;
    } else {
        end = FindHeadEnd(p, n, start);
    }
    if (end == 0 || end > uMaxLen) {
        if (end == 0 && n < uMaxLen) return kNeedMore;
        m_uErrorStatus = 431;
        m_pszError = "head too long";
        return kTooLong;
    }

    // Lines, each without its line end; the text keeps them with CRLF.
    m_strText.reserve(static_cast<unsigned>(end - start + 64));
    bool first = nKind != kFields;
    for (size_t i = start; i < end;) {
        const char* nl = static_cast<const char*>(memchr(p + i, '\n', end - i));
        size_t lineEnd = static_cast<size_t>(nl - p);
        size_t len = lineEnd - i;
        if (len > 0 && p[i + len - 1] == '\r') --len;
        const char* line = p + i;
        i = lineEnd + 1;
        unsigned at = m_strText.length();
        if (len > 0) m_strText.append(line, static_cast<unsigned>(len));
        m_strText.append("\r\n", 2);
        if (len == 0) break;  // the blank line
        const char* kept = m_strText.c_str() + at;
        if (first) {
            if (!ParseStartLine(nKind, kept, len)) return kMalformed;
            first = false;
        } else if (!ParseField(kept, len)) {
            return kMalformed;
        }
    }
    if (first) {
        Fail(400, "no start line");
        return kMalformed;
    }
    if (!CheckFraming(nKind)) return kMalformed;
    *pUsed = end;
    return kComplete;
}

bool CHttpHead::ParseStartLine(Kind nKind, const char* p, size_t n) {
    if (nKind == kRequest) {
        size_t i = 0;
        while (i < n && IsTchar(static_cast<unsigned char>(p[i])))
            ++i;
        if (i == 0 || i >= n || p[i] != ' ') return Fail(400, "illegal request line");
        AssignRun(m_strMethod, p, i);
        size_t t = ++i;
        while (i < n && IsVchar(static_cast<unsigned char>(p[i])))
            ++i;
        if (i == t || i >= n || p[i] != ' ') return Fail(400, "illegal request target");
        AssignRun(m_strTarget, p + t, i - t);
        ++i;
        if (n - i != 8 || !ParseVersion(p + i, n - i, &m_nMajor, &m_nMinor)) {
            return Fail(400, "illegal HTTP version");
        }
        if (m_nMajor != 1) return Fail(505, "HTTP version not supported");
        return true;
    }
    // Status line: HTTP/d.d SP 3DIGIT [SP reason]. Servers that leave out the reason are
    // common enough to be taken.
    if (!ParseVersion(p, n, &m_nMajor, &m_nMinor) || n < 12 || p[8] != ' ' || !IsDigit(p[9]) ||
        !IsDigit(p[10]) || !IsDigit(p[11]) || (n > 12 && p[12] != ' ')) {
        return Fail(400, "illegal status line");
    }
    if (m_nMajor != 1) return Fail(505, "HTTP version not supported");
    m_uStatus = static_cast<unsigned>((p[9] - '0') * 100 + (p[10] - '0') * 10 + (p[11] - '0'));
    // Status codes run from 100 (RFC 9110 section 15); a smaller one is no status at all.
    if (m_uStatus < 100) return Fail(400, "illegal status code");
    for (size_t i = 13; i < n; ++i) {
        if (!IsValueByte(static_cast<unsigned char>(p[i]))) {
            return Fail(400, "illegal reason phrase");
        }
    }
    if (n > 13) AssignRun(m_strReason, p + 13, n - 13);
    return true;
}

bool CHttpHead::ParseField(const char* p, size_t n) {
    // A line that starts with a blank continues the previous one (obs-fold); RFC 9112
    // section 5.2 lets a server refuse it, and a second reading of it is how requests get
    // smuggled past a front end.
    if (IsBlank(p[0])) return Fail(400, "obsolete line folding");
    size_t i = 0;
    while (i < n && IsTchar(static_cast<unsigned char>(p[i])))
        ++i;
    // No white space between a name and its colon (RFC 9112 section 5.1).
    if (i == 0 || i >= n || p[i] != ':') return Fail(400, "illegal header name");
    size_t nameLen = i++;
    const char* v = p + i;
    size_t vn = n - i;
    Trim(v, vn);
    for (size_t k = 0; k < vn; ++k) {
        if (!IsValueByte(static_cast<unsigned char>(v[k]))) {
            return Fail(400, "illegal header value");
        }
    }
    const char* base = m_strText.c_str();
    Field f;
    f.uName = static_cast<unsigned>(p - base);
    f.uNameLen = static_cast<unsigned>(nameLen);
    f.uValue = static_cast<unsigned>(v - base);
    f.uValueLen = static_cast<unsigned>(vn);
    m_fields.push_back(f);
    return true;
}

bool CHttpHead::CheckFraming(Kind nKind) {
    unsigned int hosts = 0;
    bool sawEncoding = false;
    const char* lengthText = nullptr;  // the first length as written
    size_t lengthLen = 0;
    for (unsigned int i = 0; i < m_fields.size(); ++i) {
        size_t nameLen = 0, valueLen = 0;
        const char* name = GetFieldName(i, &nameLen);
        const char* value = GetFieldValue(i, &valueLen);
        if (EqualNoCase(name, nameLen, "content-length")) {
            unsigned long long len = 0;
            const char* text = nullptr;
            size_t textLen = 0;
            if (!ParseContentLength(value, valueLen, &len)) {
                return Fail(400, "bad Content-Length");
            }
            ContentLengthText(value, valueLen, &text, &textLen);
            if (m_bHasLength && (textLen != lengthLen || memcmp(text, lengthText, textLen) != 0)) {
                return Fail(400, "conflicting Content-Length");
            }
            m_bHasLength = true;
            m_uLength = len;
            lengthText = text;
            lengthLen = textLen;
        } else if (EqualNoCase(name, nameLen, "transfer-encoding")) {
            // Only the chunked coding alone is understood; anything else cannot be framed,
            // and a second field would be read differently by another parser.
            if (sawEncoding) return Fail(501, "multiple Transfer-Encoding fields");
            sawEncoding = true;
            if (!EqualNoCase(value, valueLen, "chunked")) {
                return Fail(501, "unsupported Transfer-Encoding");
            }
            m_bChunked = true;
        } else if (EqualNoCase(name, nameLen, "host")) {
            ++hosts;
        }
    }
    if (nKind == kRequest) {
        // RFC 9112 section 3.2: exactly one Host in an HTTP/1.1 request, never two.
        if (hosts > 1) return Fail(400, "more than one Host");
        if (hosts == 0 && m_nMinor >= 1) return Fail(400, "no Host in an HTTP/1.1 request");
    }
    return true;
}

const char* CHttpHead::GetFieldName(unsigned int i, size_t* pLen) const {
    if (i >= m_fields.size()) {
        if (pLen != nullptr) *pLen = 0;
        return nullptr;
    }
    if (pLen != nullptr) *pLen = m_fields[i].uNameLen;
    return m_strText.c_str() + m_fields[i].uName;
}

const char* CHttpHead::GetFieldValue(unsigned int i, size_t* pLen) const {
    if (i >= m_fields.size()) {
        if (pLen != nullptr) *pLen = 0;
        return nullptr;
    }
    if (pLen != nullptr) *pLen = m_fields[i].uValueLen;
    return m_strText.c_str() + m_fields[i].uValue;
}

const char* CHttpHead::Find(const char* pszName, size_t* pLen) const {
    if (pszName == nullptr) return nullptr;
    const char* base = m_strText.c_str();
    for (const Field& f : m_fields) {
        if (EqualNoCase(base + f.uName, f.uNameLen, pszName)) {
            if (pLen != nullptr) *pLen = f.uValueLen;
            return base + f.uValue;
        }
    }
    return nullptr;
}

bool CHttpHead::Find(const char* pszName, vn::strutf8& strValue) const {
    size_t len = 0;
    const char* v = Find(pszName, &len);
    if (v == nullptr) return false;
    AssignRun(strValue, v, len);
    return true;
}

unsigned int CHttpHead::Count(const char* pszName) const {
    if (pszName == nullptr) return 0;
    unsigned int count = 0;
    const char* base = m_strText.c_str();
    for (const Field& f : m_fields) {
        if (EqualNoCase(base + f.uName, f.uNameLen, pszName)) ++count;
    }
    return count;
}

bool CHttpHead::HasToken(const char* pszName, const char* pszToken) const {
    if (pszName == nullptr || pszToken == nullptr) return false;
    const char* base = m_strText.c_str();
    for (const Field& f : m_fields) {
        if (!EqualNoCase(base + f.uName, f.uNameLen, pszName)) continue;
        const char* v = base + f.uValue;
        const char* end = v + f.uValueLen;
        while (v < end) {
            const char* comma =
                static_cast<const char*>(memchr(v, ',', static_cast<size_t>(end - v)));
            const char* stop = comma != nullptr ? comma : end;
            const char* e = v;
            size_t n = static_cast<size_t>(stop - v);
            Trim(e, n);
            if (EqualNoCase(e, n, pszToken)) return true;
            v = stop + 1;
        }
    }
    return false;
}

int CHttpHead::GetBodyKind(unsigned long long* pLength, const char* pszRequestMethod) const {
    if (pLength != nullptr) *pLength = 0;
    bool response = m_uStatus != 0;
    if (response) {
        bool head = pszRequestMethod != nullptr && strcmp(pszRequestMethod, "HEAD") == 0;
        bool connect = pszRequestMethod != nullptr && strcmp(pszRequestMethod, "CONNECT") == 0;
        if (m_uStatus < 200 || m_uStatus == 204 || m_uStatus == 304 || head ||
            (connect && m_uStatus < 300)) {
            return kBodyNone;
        }
    }
    // Chunked wins over a length (RFC 9112 section 6.3, item 3).
    if (m_bChunked) return kBodyChunked;
    if (m_bHasLength) {
        if (pLength != nullptr) *pLength = m_uLength;
        return kBodyLength;
    }
    return response ? kBodyUntilClose : kBodyNone;
}

bool CHttpHead::IsKeepAlive() const {
    // A message framed by both fields may have been read another way by whoever forwarded
    // it: nothing after it on this connection can be trusted (RFC 9112 section 6.3).
    if (m_bChunked && m_bHasLength) return false;
    if (HasToken("Connection", "close")) return false;
    if (m_nMajor == 1 && m_nMinor == 0) return HasToken("Connection", "keep-alive");
    return true;
}

bool CHttpHead::ParseContentLength(const char* p, size_t n, unsigned long long* pValue) {
    const char* text = nullptr;
    size_t len = 0;
    if (!ContentLengthText(p, n, &text, &len)) return false;
    unsigned long long v = 0;
    for (size_t i = 0; i < len; ++i) {
        if (!IsDigit(text[i])) return false;
        unsigned digit = static_cast<unsigned>(text[i] - '0');
        if (v > (0x7FFFFFFFFFFFFFFFull - digit) / 10) return false;
        v = v * 10 + digit;
    }
    *pValue = v;
    return true;
}

bool CHttpHead::ContentLengthText(const char* p, size_t n, const char** ppText, size_t* pLen) {
    if (p == nullptr) return false;
    // Every element of the list is the same text: "5, 05" is refused as two lengths, as
    // another reader may not take a leading zero the same way.
    const char* first = nullptr;
    size_t firstLen = 0;
    const char* end = p + n;
    for (const char* e = p; e <= end;) {
        const char* comma = static_cast<const char*>(memchr(e, ',', static_cast<size_t>(end - e)));
        const char* stop = comma != nullptr ? comma : end;
        const char* d = e;
        size_t len = static_cast<size_t>(stop - e);
        Trim(d, len);
        if (len == 0) return false;
        if (first == nullptr) {
            first = d;
            firstLen = len;
        } else if (len != firstLen || memcmp(d, first, len) != 0) {
            return false;
        }
        e = stop + 1;
    }
    if (first == nullptr) return false;
    *ppText = first;
    *pLen = firstLen;
    return true;
}

bool CHttpHead::GetParameter(const char* p, size_t n, const char* pszName, vn::strutf8& strValue) {
    if (p == nullptr || pszName == nullptr) return false;
    const char* end = p + n;
    // The type ("multipart/form-data", "form-data") runs to the first ';'.
    const char* s = static_cast<const char*>(memchr(p, ';', n));
    if (s == nullptr) return false;
    while (s < end) {
        // OWS ";" OWS [ name "=" value ]
        while (s < end && IsBlank(*s))
            ++s;
        if (s == end) break;
        if (*s != ';') return false;
        ++s;
        while (s < end && IsBlank(*s))
            ++s;
        if (s == end || *s == ';') continue;
        const char* name = s;
        while (s < end && IsTchar(static_cast<unsigned char>(*s)))
            ++s;
        size_t nameLen = static_cast<size_t>(s - name);
        // Blanks around '=' are not in the grammar, but old peers send them and they make
        // no value ambiguous.
        while (s < end && IsBlank(*s))
            ++s;
        if (nameLen == 0 || s == end || *s != '=') return false;
        ++s;
        while (s < end && IsBlank(*s))
            ++s;
        vn::strutf8 value;
        if (s < end && *s == '"') {
            // quoted-string: qdtext or a backslash and the byte it quotes.
            ++s;
            const char* run = s;
            bool closed = false;
            while (s < end) {
                if (*s == '"') {
                    closed = true;
                    break;
                }
                if (*s == '\\') {
                    if (s > run) value.append(run, static_cast<unsigned>(s - run));
                    if (++s == end) return false;
                    run = s;
                }
                ++s;
            }
            if (!closed) return false;
            if (s > run) value.append(run, static_cast<unsigned>(s - run));
            ++s;
        } else {
            // A token; boundaries that are not tokens ("===a==") are common enough unquoted
            // to be taken up to the next ';' or blank.
            const char* v = s;
            while (s < end && *s != ';' && !IsBlank(*s) && *s != '"' &&
                   IsVchar(static_cast<unsigned char>(*s))) {
                ++s;
            }
            if (s == v) return false;
            value.assign(v, static_cast<unsigned>(s - v));
        }
        if (EqualNoCase(name, nameLen, pszName)) {
            strValue = value;
            return true;
        }
    }
    return false;
}
