// CHttpRequestReader: the request side of one server connection (see
// vnhttprequestreader_internal.h).
#include "http/server/vnhttprequestreader_internal.h"

#include <string.h>

CHttpRequestReader::CHttpRequestReader() {
    Reset();
}

void CHttpRequestReader::Reset() {
    m_strHeadText.clear();
    m_strRange.clear();
    m_uCallerLength = 0;
    m_uErrorStatus = 0;
    m_pszError = "";
    m_bMultipart = false;
    m_bHasBody = false;
    m_bBodyDone = true;
    m_bBodyStarted = false;
    m_bKeepAlive = false;
    m_bHeadMethod = false;
    m_bExpect = false;
    m_bWantsContinue = false;
    m_body.Start(CHttpHead::kBodyNone);
}

int CHttpRequestReader::Fail(int nVerdict, unsigned int uStatus, const char* pszText) {
    m_uErrorStatus = uStatus;
    m_pszError = pszText;
    return nVerdict;
}

int CHttpRequestReader::ReadHead(const char* p, size_t n, size_t* pUsed) {
    // Nothing is consumed before the whole head is there, so each call starts afresh over
    // the bytes buffered so far (at most kMaxHead of them).
    Reset();
    *pUsed = 0;
    size_t headUsed = 0;
    int r = m_head.ParseRequest(p, n, kMaxHead, &headUsed);
    if (r == CHttpHead::kNeedMore) return kNeedMore;
    if (r == CHttpHead::kTooLong) return Fail(kTooLong, 431, "request head too long");
    if (r != CHttpHead::kComplete)
        return Fail(kBad, m_head.GetErrorStatus(), m_head.GetErrorText());

    unsigned long long length = 0;
    int kind = m_head.GetBodyKind(&length);
    m_body.Start(kind, length);
    m_bBodyDone = m_body.IsDone();
    m_bHasBody = !m_bBodyDone;
    m_bKeepAlive = m_head.IsKeepAlive();
    m_bHeadMethod = m_head.GetMethod() == "HEAD";
    m_bExpect = m_head.ExpectsContinue();
    m_head.Find("Range", m_strRange);

    vn::strutf8 boundary;
    int form = CHttpMultipartReader::GetBoundary(m_head, boundary);
    if (form < 0) return Fail(kBad, 400, "bad multipart boundary");
    if (form == 0) {
        m_strHeadText = m_head.GetText();
        m_uCallerLength = kind == CHttpHead::kBodyLength ? length : 0;
        *pUsed = headUsed;
        return kHead;
    }
    if (m_bBodyDone) return Fail(kBad, 400, "a form without a body");
    m_bMultipart = true;
    m_parts.Start(boundary, kMaxHead - headUsed);
    size_t partUsed = 0;
    r = ReadPartHead(p + headUsed, n - headUsed, &partUsed);
    if (r == kNeedMore) {
        // The part head belongs to what the caller is shown; a client that waits for
        // "100 Continue" before it sends any of the body has to be asked for it first.
        m_bWantsContinue = m_bExpect && n == headUsed;
        if (n >= kMaxHead) return Fail(kTooLong, 431, "request head too long");
        return kNeedMore;
    }
    if (r != kHead) return r;
    // The bound counts the bytes as they came, chunk framing included, as the channel's
    // reads do: the verdict then never depends on how the bytes were split.
    if (headUsed + partUsed > kMaxHead) return Fail(kTooLong, 431, "request head too long");
    m_bBodyStarted = true;
    m_strHeadText = m_head.GetText();
    m_strHeadText += m_parts.GetLeadingBytes();
    unsigned long long lead = m_parts.GetLeadingBytes().length();
    m_uCallerLength = kind == CHttpHead::kBodyLength && length > lead ? length - lead : 0;
    *pUsed = headUsed + partUsed;
    return kHead;
}

int CHttpRequestReader::ReadPartHead(const char* p, size_t n, size_t* pUsed) {
    size_t used = 0;
    for (;;) {
        size_t step = 0;
        const char* data = nullptr;
        size_t len = 0;
        int r = m_body.Step(p + used, n - used, &step, &data, &len);
        if (r == CHttpBodyDecoder::kNeedMore) {
            *pUsed = used + step;
            return kNeedMore;
        }
        if (r == CHttpBodyDecoder::kMalformed) return Fail(kBad, 400, m_body.GetErrorText());
        if (r == CHttpBodyDecoder::kDone)
            return Fail(kBad, 400, "the form ended before its first part");
        const char* out = nullptr;
        size_t outLen = 0;
        int m = FeedParts(data, len, step, &used, &out, &outLen);
        if (m == CHttpMultipartReader::kMalformed) return Fail(kBad, 400, m_parts.GetErrorText());
        if (m == CHttpMultipartReader::kHead) {
            *pUsed = used;
            return kHead;
        }
    }
}

int CHttpRequestReader::FeedParts(const char* pData, size_t uLen, size_t uStep, size_t* pUsed,
                                  const char** ppOut, size_t* pOutLen) {
    size_t taken = 0;
    int m = m_parts.Step(pData, uLen, &taken, ppOut, pOutLen);
    if (m == CHttpMultipartReader::kMalformed) return m;
    // What the form reader did not take stays in the caller's input, to be decoded again.
    if (taken < uLen) m_body.Unread(uLen - taken);
    *pUsed += uStep - (uLen - taken);
    return m;
}

int CHttpRequestReader::ReadBody(const char* p, size_t n, BodyMode nMode, size_t* pUsed,
                                 const char** ppData, size_t* pDataLen) {
    *pUsed = 0;
    *ppData = nullptr;
    *pDataLen = 0;
    if (m_bBodyDone) return kBodyDone;
    size_t used = 0;
    for (;;) {
        size_t step = 0;
        const char* data = nullptr;
        size_t len = 0;
        int r = m_body.Step(p + used, n - used, &step, &data, &len);
        if (r == CHttpBodyDecoder::kMalformed) return Fail(kBad, 400, m_body.GetErrorText());
        if (r == CHttpBodyDecoder::kNeedMore) {
            *pUsed = used + step;
            return kNeedMore;
        }
        if (r == CHttpBodyDecoder::kDone) {
            *pUsed = used + step;
            m_bBodyDone = true;
            // A stored upload needs its first part whole: a form cut off inside it is not
            // one to store.
            if (m_bMultipart && nMode == kParts && !m_parts.IsDone()) {
                return Fail(kBad, 400, "the form ended inside its first part");
            }
            return kBodyDone;
        }
        m_bBodyStarted = true;
        if (!m_bMultipart || nMode == kRaw) {
            *pUsed = used + step;
            *ppData = data;
            *pDataLen = len;
            return kData;
        }
        const char* out = nullptr;
        size_t outLen = 0;
        int m = FeedParts(data, len, step, &used, &out, &outLen);
        if (m == CHttpMultipartReader::kMalformed) return Fail(kBad, 400, m_parts.GetErrorText());
        if (m == CHttpMultipartReader::kData) {
            *pUsed = used;
            *ppData = out;
            *pDataLen = outLen;
            return kData;
        }
    }
}
