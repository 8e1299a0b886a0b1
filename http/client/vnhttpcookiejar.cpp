// Placeholder: the cookie store is being written.
#include "http/client/vnhttpcookiejar.h"

IHttpCookieJar::~IHttpCookieJar() = default;

IHttpCookieJar* vn_create_cookiejar() {
    return nullptr;
}
