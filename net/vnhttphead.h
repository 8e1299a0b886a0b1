// Public header (part of vnbase.h).
// CHttpHead: one HTTP/1.1 message head (a request line or a status line, then header
// fields, or a bare field block such as a multipart part head or chunked trailers), parsed
// strictly from received bytes. The embedded server, the HTTP client, the CONNECT proxy
// client and vnhttp all read heads through it, so every rule about a head (line endings,
// field syntax, Content-Length, Transfer-Encoding, Host, Connection) lives here once.
//
// What it accepts: CRLF or a bare LF as a line end (the text it keeps has CRLF only);
// "HTTP/1.x"; field names that are tokens, directly followed by ':'; field values of
// visible bytes, spaces and tabs. What it refuses: obs-fold (a line that starts with a
// blank), white space before a colon, control bytes, a request target with blanks or
// non-ASCII bytes, a Content-Length that is not one decimal number (a list of identical
// numbers is one number), a Transfer-Encoding other than a single "chunked", and an
// HTTP/1.1 request without exactly one Host.
//
// Thread safety: a value type; one thread at a time may use an object.
//   CHttpHead head;
//   size_t used = 0;
//   int r = head.ParseRequest(buf, len, 2048, &used);   // kNeedMore: read more first
//   if (r == CHttpHead::kComplete && head.Find("Content-Type") != nullptr) ...
#pragma once

#include <stddef.h>

#include <vector>

#include "common/vnexport.h"
#include "common/vnstream.h"

class VN_EXPORT CHttpHead {
public:
    // Results of the Parse calls.
    enum Result {
        kComplete = 1,    // a whole, valid head; *pUsed bytes belong to it
        kNeedMore = 0,    // no blank line yet: read more and parse again
        kMalformed = -1,  // the head breaks the grammar or its framing rules
        kTooLong = -2,    // uMaxLen bytes hold no complete head
    };
    // How the body of a message is delimited (GetBodyKind).
    enum BodyKind {
        kBodyNone = 0,        // no body at all
        kBodyLength = 1,      // exactly the length given
        kBodyChunked = 2,     // chunked transfer coding
        kBodyUntilClose = 3,  // a response body that ends with the connection
    };

    CHttpHead();

    // A request head at the front of p[0, n). Empty lines before the request line are
    // skipped (they count in *pUsed and in uMaxLen). On kComplete *pUsed is the number of
    // bytes the head took, its blank line included; nothing is written otherwise.
    int ParseRequest(const char* p, size_t n, size_t uMaxLen, size_t* pUsed);
    // A response head (status line, fields). A status line may lack its reason phrase.
    int ParseResponse(const char* p, size_t n, size_t uMaxLen, size_t* pUsed);
    // Header fields only, up to and including the blank line that ends them (which may
    // come at once: no fields).
    int ParseFields(const char* p, size_t n, size_t uMaxLen, size_t* pUsed);

    // After kMalformed or kTooLong: the status a server answers with (400, 431, 501 or
    // 505) and a short text saying what was wrong.
    unsigned int GetErrorStatus() const { return m_uErrorStatus; }
    const char* GetErrorText() const { return m_pszError; }

    // The head as parsed, every line ending written as CRLF, blank line included.
    const vn::strutf8& GetText() const { return m_strText; }
    // Request line (empty for a response or a field block).
    const vn::strutf8& GetMethod() const { return m_strMethod; }
    const vn::strutf8& GetTarget() const { return m_strTarget; }
    // "HTTP/<major>.<minor>" of the start line.
    int GetVersionMajor() const { return m_nMajor; }
    int GetVersionMinor() const { return m_nMinor; }
    // Status line (0 and empty for a request or a field block).
    unsigned int GetStatus() const { return m_uStatus; }
    const vn::strutf8& GetReason() const { return m_strReason; }

    // Fields in the order received; names as received, values without surrounding blanks.
    unsigned int GetFieldCount() const { return static_cast<unsigned int>(m_fields.size()); }
    // Name and value of field i as pointer and length into GetText().
    const char* GetFieldName(unsigned int i, size_t* pLen) const;
    const char* GetFieldValue(unsigned int i, size_t* pLen) const;
    // The value of the first field named pszName (ASCII case ignored) as pointer and length
    // into GetText(); null when there is none.
    const char* Find(const char* pszName, size_t* pLen = nullptr) const;
    // The same, copied; false (strValue untouched) when there is none.
    bool Find(const char* pszName, vn::strutf8& strValue) const;
    // How many fields are named pszName.
    unsigned int Count(const char* pszName) const;
    // Whether the comma-separated elements of the fields named pszName hold pszToken
    // (ASCII case ignored), as "close" in "Connection: keep-alive, close".
    bool HasToken(const char* pszName, const char* pszToken) const;

    // The body that follows this head. For a response, pszRequestMethod is the method of
    // the request it answers (HEAD and a successful CONNECT take no body); 1xx, 204 and 304
    // answers have none. *pLength: the length for kBodyLength, else 0.
    int GetBodyKind(unsigned long long* pLength, const char* pszRequestMethod = nullptr) const;
    // Whether the connection may carry another message after this one: HTTP/1.1 unless
    // "Connection: close", HTTP/1.0 only with "Connection: keep-alive"; never after a
    // message framed by both Transfer-Encoding and Content-Length (a smuggling attempt).
    bool IsKeepAlive() const;
    // The request announced "Expect: 100-continue".
    bool ExpectsContinue() const { return HasToken("Expect", "100-continue"); }

    // A Content-Length value: one decimal number, or a comma-separated list of it written
    // the same way each time (RFC 9110 section 8.6), at most 2^63 - 1. false for anything
    // else. Several Content-Length fields must agree the same way.
    static bool ParseContentLength(const char* p, size_t n, unsigned long long* pValue);
    // The parameter pszName of a field value such as "multipart/form-data; boundary=x" or
    // "form-data; name=\"a\"; filename=\"b c\"" (RFC 9110 section 5.6.6: name matched without
    // case, value a token or a quoted string, which is unescaped; blanks around '=' are
    // taken). false when absent or when the parameters do not parse.
    static bool GetParameter(const char* p, size_t n, const char* pszName, vn::strutf8& strValue);

private:
    struct Field {
        unsigned int uName, uNameLen, uValue, uValueLen;  // offsets into m_strText
    };
    enum Kind { kRequest, kResponse, kFields };

    int Parse(Kind nKind, const char* p, size_t n, size_t uMaxLen, size_t* pUsed);
    // Records why the head is refused; false.
    bool Fail(unsigned int uStatus, const char* pszText);
    bool ParseStartLine(Kind nKind, const char* p, size_t n);
    bool ParseField(const char* p, size_t n);
    bool CheckFraming(Kind nKind);
    // The one number a Content-Length value lists, as written; false for an empty element
    // or elements that differ.
    static bool ContentLengthText(const char* p, size_t n, const char** ppText, size_t* pLen);
    void Reset();

    vn::strutf8 m_strText;
    std::vector<Field> m_fields;
    vn::strutf8 m_strMethod;
    vn::strutf8 m_strTarget;
    vn::strutf8 m_strReason;
    int m_nMajor;
    int m_nMinor;
    unsigned int m_uStatus;
    unsigned int m_uErrorStatus;
    const char* m_pszError;  // static text
    bool m_bChunked;         // Transfer-Encoding: chunked
    bool m_bHasLength;       // a valid Content-Length
    unsigned long long m_uLength;
};
