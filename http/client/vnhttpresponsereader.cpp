// CHttpResponseReader: the answer to one request of the HTTP client (see
// vnhttpresponsereader_internal.h).
#include "http/client/vnhttpresponsereader_internal.h"

#include "http/client/vnhttpclient.h"
#include "http/client/vnhttpclientutil_internal.h"
#include "net/vnhttprange.h"

CHttpResponseReader::CHttpResponseReader()
    : m_nPhase(kPhaseIdle),
      m_bFileTarget(false),
      m_bAnySuccess(false),
      m_uHave(0),
      m_bHeadSeen(false),
      m_uCode(HTTPRESULT_FAILED),
      m_nFinal(kFail),
      m_bRestart(false),
      m_bReusable(false),
      m_uTotal(0),
      m_pszError("") {}

void CHttpResponseReader::Start(const char* pszMethod, bool bFileTarget, unsigned long long uHave,
                                const vn::strutf8& strUrl, bool bAnySuccess) {
    m_nPhase = kPhaseHead;
    m_bAnySuccess = bAnySuccess;
    m_strMethod = pszMethod;
    m_bFileTarget = bFileTarget;
    m_uHave = uHave;
    m_strUrl = strUrl;
    m_head = CHttpHead();
    m_bHeadSeen = false;
    m_body.Start(CHttpHead::kBodyNone);
    m_uCode = HTTPRESULT_FAILED;
    m_nFinal = kFail;
    m_bRestart = false;
    m_bReusable = false;
    m_strLocation.clear();
    m_uTotal = 0;
    m_pszError = "";
}

int CHttpResponseReader::Fail(unsigned int uCode, const char* pszText) {
    m_pszError = pszText;
    m_bReusable = false;
    return Finish(kFail, uCode);
}

int CHttpResponseReader::Finish(int nVerdict, unsigned int uCode) {
    m_nPhase = kPhaseOver;
    m_nFinal = nVerdict;
    m_uCode = uCode;
    return nVerdict;
}

int CHttpResponseReader::Step(const char* p, size_t n, size_t* pUsed, const char** ppData,
                              size_t* pLen) {
    *pUsed = 0;
    *ppData = nullptr;
    *pLen = 0;
    size_t used = 0;
    while (m_nPhase == kPhaseHead) {
        size_t len = 0;
        int r = m_head.ParseResponse(p + used, n - used, kMaxHead, &len);
        if (r == CHttpHead::kNeedMore) {
            *pUsed = used;
            return kNeedMore;
        }
        if (r == CHttpHead::kTooLong) return Fail(HTTPRESULT_FAILED, "answer head too long");
        if (r != CHttpHead::kComplete) return Fail(HTTPRESULT_FAILED, m_head.GetErrorText());
        used += len;
        unsigned int status = m_head.GetStatus();
        if (status >= 200) {
            m_bHeadSeen = true;
            *pUsed = used;
            int verdict = Decide();
            // An answer without a body (304) that came with bytes after it leaves the
            // connection out of step, as a body would.
            if (verdict == kDone && used != n) m_bReusable = false;
            return verdict;
        }
        // An interim answer (100 Continue, 103 Early Hints): the final one follows on the
        // same connection (RFC 9110 section 15.2). A protocol switch is not for this client.
        if (status == 101) return Fail(HTTPRESULT_FAILED, "switching protocols");
    }
    // After a verdict nothing more belongs to this answer.
    if (m_nPhase != kPhaseBody) return m_nFinal;
    const char* data = nullptr;
    size_t len = 0;
    int r = m_body.Step(p, n, pUsed, &data, &len);
    if (r == CHttpBodyDecoder::kData) {
        *ppData = data;
        *pLen = len;
        return kData;
    }
    if (r == CHttpBodyDecoder::kNeedMore) return kNeedMore;
    if (r == CHttpBodyDecoder::kMalformed) return Fail(HTTPRESULT_FAILED, m_body.GetErrorText());
    // Bytes after the body in the same read are nobody's answer: the connection is out of
    // step and is not used again.
    m_bReusable = m_head.IsKeepAlive() && *pUsed == n;
    return Finish(kDone, HTTPRESULT_OK);
}

int CHttpResponseReader::Decide() {
    unsigned int status = m_head.GetStatus();
    // A memory target takes a 500's page as the designed client did (the caller reads the
    // status); a file target is never given an error page.
    bool success =
        status == 200 || status == 206 || status == 204 || (m_bAnySuccess && status / 100 == 2);
    if (success || (status == 500 && !m_bFileTarget)) {
        unsigned long long len = 0;
        int kind = m_head.GetBodyKind(&len, m_strMethod.c_str());
        m_bRestart = true;
        m_uTotal = kind == CHttpHead::kBodyLength ? len : 0;
        if (status == 206) {
            // A part must continue the target exactly, or it would be written at the wrong
            // offset.
            size_t n = 0;
            const char* range = m_head.Find("Content-Range", &n);
            unsigned long long first = 0, last = 0;
            long long total = -1;
            if (range == nullptr ||
                !CHttpRange::ParseContentRange(range, n, &first, &last, &total) ||
                first != m_uHave || (kind == CHttpHead::kBodyLength && len != last - first + 1)) {
                return Fail(HTTPRESULT_FAILED, "a part that does not continue the target");
            }
            m_bRestart = false;
            m_uTotal = total >= 0 ? static_cast<unsigned long long>(total) : 0;
        }
        m_body.Start(kind, len);
        m_nPhase = kPhaseBody;
        return kBegin;
    }
    switch (status) {
        case 301:
        case 302:
        case 303:
        case 307:
        case 308: {
            vn::strutf8 location;
            if (!m_head.Find("Location", location) || location.empty()) {
                return Fail(HTTPRESULT_NOT_FOUND, "a redirect without a Location");
            }
            vn::strutf8 url;
            if (!vn::detail::HttpResolveRedirect(m_strUrl, location, url)) {
                return Fail(HTTPRESULT_NOT_FOUND, "a Location that is not a usable http URL");
            }
            if (url == m_strUrl) return Fail(HTTPRESULT_NOT_FOUND, "a redirect to the same URL");
            m_strLocation = url;
            return Finish(kRedirect, HTTPRESULT_FAILED);
        }
        case 304:
            m_bReusable = m_head.IsKeepAlive();
            return Finish(kDone, HTTPRESULT_NOT_MODIFIED);
        case 401:
        case 402:
            return Fail(HTTPRESULT_UNAUTHORIZED, "not authorised");
        case 404:
            return Fail(HTTPRESULT_NOT_FOUND, "not found");
        case 503:
            return Fail(HTTPRESULT_UNAVAILABLE, "unavailable");
        case 416:
            // What the target holds is not a prefix the server knows: ask for all of it.
            m_bRestart = true;
            return Finish(kRetry, HTTPRESULT_FAILED);
        default:
            return Fail(HTTPRESULT_FAILED, "an error answer");
    }
}

int CHttpResponseReader::End(bool bClean) {
    if (m_nPhase == kPhaseHead || m_nPhase == kPhaseIdle) {
        return Fail(HTTPRESULT_UNAUTHORIZED, "closed before an answer");
    }
    if (m_nPhase == kPhaseOver) return m_nFinal;
    m_bReusable = false;
    if (!bClean && m_body.GetKind() == CHttpHead::kBodyUntilClose) {
        return Fail(HTTPRESULT_FAILED, "the body ended without close_notify (truncated?)");
    }
    if (m_body.End() == CHttpBodyDecoder::kDone) return Finish(kDone, HTTPRESULT_OK);
    unsigned int status = m_head.GetStatus();
    if (status != 200 && status != 206)
        return Fail(HTTPRESULT_UNAUTHORIZED, "closed inside the body");
    // Cut short: the rest is asked for on a new connection.
    m_bRestart = false;
    return Finish(kRetry, HTTPRESULT_FAILED);
}

int CHttpResponseReader::TimedOut() {
    if (m_nPhase == kPhaseOver) return m_nFinal;
    unsigned int status = m_head.GetStatus();
    m_bReusable = false;
    if (m_nPhase == kPhaseBody && (status == 200 || status == 206) &&
        m_body.GetKind() == CHttpHead::kBodyUntilClose) {
        return Finish(kDone, HTTPRESULT_OK);  // a body without a length may simply be over
    }
    m_bRestart = false;
    return Finish(kRetry, HTTPRESULT_FAILED);
}
