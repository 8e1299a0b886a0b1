// Public header (part of vnbase.h).
// CHttpMultipartReader: the first part of a multipart/form-data body, read as the body
// streams in. An upload's first part is what the embedded server stores: this finds its
// head (after an optional preamble and the first delimiter line), then hands out its
// content exactly, up to the delimiter that ends it ("\r\n--" boundary, then CRLF or
// "--"); whatever follows (more parts, the epilogue) is consumed and ignored. Content that
// might be the start of a delimiter is held back until it is known not to be one, so no
// delimiter byte ever reaches the content and no content byte is lost, however the body
// is split.
//
// Thread safety: a value type; one thread at a time may use an object.
//   vn::strutf8 boundary;
//   if (CHttpMultipartReader::GetBoundary(head, boundary) == 1) reader.Start(boundary, 2048);
//   int r = reader.Step(p, n, &used, &data, &len);  // kHead once, then kData ..., kDone
#pragma once

#include <stddef.h>

#include <string>

#include "common/vnexport.h"
#include "common/vnstream.h"
#include "net/vnhttphead.h"

class VN_EXPORT CHttpMultipartReader {
public:
    enum Verdict {
        kNeedMore = 0,  // every byte given was consumed
        kData = 1,      // *ppData, *pDataLen: content of the first part (valid until the next step)
        kDone = 2,      // the first part ended; later steps consume everything and say kDone
        kHead = 3,      // the first part's head is complete (GetPartHead)
        kMalformed = -1,  // no delimiter line, or a part head that does not parse
    };

    CHttpMultipartReader();

    // The boundary of a multipart/form-data message: 1 with the boundary (a parameter of
    // Content-Type, quoted or not, others such as charset beside it), 0 when the message is
    // not multipart/form-data, -1 when it is but its boundary is missing or not 1 to 70 of
    // the characters RFC 2046 allows.
    static int GetBoundary(const CHttpHead& head, vn::strutf8& strBoundary);
    // The same from a Content-Type value.
    static int ParseBoundary(const char* pType, size_t uLen, vn::strutf8& strBoundary);

    // Starts on a new body. uMaxHead bounds the bytes before the first part's content
    // (preamble, delimiter line and part head).
    void Start(const vn::strutf8& strBoundary, size_t uMaxHead);
    // One step over the body bytes in[0, n). *pUsed: what it consumed.
    int Step(const char* in, size_t n, size_t* pUsed, const char** ppData, size_t* pDataLen);

    // After kHead: the part's head, and every byte of the body up to the part's content
    // (preamble, delimiter line and head, as received).
    const CHttpHead& GetPartHead() const { return m_partHead; }
    const vn::strutf8& GetLeadingBytes() const { return m_strLead; }
    bool IsDone() const { return m_nState == kStateEpilogue; }
    const char* GetErrorText() const { return m_pszError; }

private:
    enum State {
        kStateIdle,
        kStatePreamble,
        kStatePartHead,
        kStateContent,
        kStateEpilogue,
        kStateBad
    };
    int Bad(const char* pszText);
    int StepLead(const char* in, size_t n, size_t* pUsed);
    int StepContent(const char* in, size_t n, size_t* pUsed, const char** ppData, size_t* pDataLen);
    // Held-back bytes from index j on could still begin a delimiter: the first such j >= 1.
    size_t NextCandidate() const;

    State m_nState;
    std::string m_delimiter;  // "\r\n--" boundary
    size_t m_uMaxHead;
    vn::strutf8 m_strLead;  // preamble, delimiter line and part head
    size_t m_uPartHeadAt;   // where the part head starts in m_strLead
    CHttpHead m_partHead;
    std::string m_hold;      // content bytes that may begin a delimiter
    std::string m_out;       // held-back bytes handed out as content by the last step
    const char* m_pszError;  // static text
};
