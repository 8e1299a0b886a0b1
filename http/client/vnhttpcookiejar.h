// Public header (part of vnbase.h).
// A cookie store for the HTTP client: it keeps the cookies answers set (Set-Cookie) and
// gives the Cookie line a request sends, by the rules of RFC 6265 (domain and path matching,
// host-only cookies, Max-Age and Expires, Secure only over https, nothing set for a public
// suffix), and saves and loads them in the Netscape cookie-file format that curl reads and
// writes (--cookie / --cookie-jar). Session cookies are saved with expiry 0, as curl does.
//
// Thread safety: every call is safe from any thread (one lock inside), so clients on
// several HTTP threads may share one store. The store is reference counted: the creator
// holds the first reference; each client given the store holds one more.
//   IHttpCookieJar* jar = vn_create_cookiejar();
//   jar->Load("/home/me/cookies.txt");
//   client->SetCookieJar(jar);   // client takes its own reference
//   ... later: jar->Save("/home/me/cookies.txt"); jar->Release();
#pragma once

#include "common/vnexport.h"
#include "common/vnstream.h"
#include "task/vnrefcount.h"

class VN_EXPORT IHttpCookieJar : public CRefCountSafe {
public:
    ~IHttpCookieJar() override;
    // Takes one Set-Cookie field value that came in an answer to pszUrl (http or https).
    // 1 when the cookie was stored, replaced or (expired) removed; an expired cookie with
    // nothing to remove is taken too (1). 0 when refused: no http(s) URL, no '=' or an
    // empty name, control bytes, a Domain the host is not in or that is a public suffix,
    // Secure in a plain-http answer, a plain-http answer touching a stored Secure cookie,
    // a "__Secure-" or "__Host-" name without what its prefix demands.
    virtual unsigned char SetCookie(const char* pszUrl, const char* pszSetCookie) = 0;
    // The value of the Cookie line for a request to pszUrl ("name=value; ..." in the RFC's
    // order), empty when no cookie applies; 0 for a URL that is not http or https.
    virtual unsigned char GetCookie(const char* pszUrl, vn::strutf8& strCookie) = 0;
    // Adds the cookies of a Netscape cookie file (expired ones skipped, a later line with
    // the same domain, path and name replacing an earlier); 0 when it cannot be read, and
    // then nothing is added. Lines are read as curl reads them (a path's trailing '/' is
    // dropped); malformed ones and cookies the rules refuse (a public-suffix domain, a
    // broken prefix) are skipped.
    virtual unsigned char Load(const char* pszFile) = 0;
    // Writes every unexpired cookie to a Netscape cookie file (replacing it as a whole,
    // never leaving half a file); 0 when it cannot be written.
    virtual unsigned char Save(const char* pszFile) = 0;
    virtual void Clear() = 0;
    virtual unsigned int GetCount() = 0;
};

// A new, empty store (reference count 1, the caller's); null only when memory runs out.
VN_EXPORT IHttpCookieJar* vn_create_cookiejar();
