// A program that uses the installed library beside the system headers whose names it
// shares (syslog(3), gettimeofday, OpenSSL's MD5, zlib's crc32): both sides must compile,
// link and be called correctly.
// The one-shot MD5() is deprecated in OpenSSL 3 but still what callers use.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <syslog.h>
#include <sys/time.h>
#include <openssl/md5.h>
#include <zlib.h>

#include <stdio.h>
#include <string.h>

#include "vnbase.h"

static int g_lines = 0;
static void hook(int, const char*, int, const char* text, int) {
    if (strstr(text, "consumer says 7")) ++g_lines;
}

int main() {
    // The C library's syslog(3): must not reach the vnbase hook.
    openlog("vnbase-consumer", LOG_PID, LOG_USER);
    syslog(LOG_DEBUG, "consumer %s", "check");
    closelog();

    if (syslog_hook(hook) != 0) return 1;
    syslog(3, "consumer", __LINE__, "consumer says %d", 7);
    if (g_lines != 1) {
        fprintf(stderr, "vnbase syslog did not reach the hook\n");
        return 1;
    }

    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0 || tv.tv_sec < 1600000000) return 1;

    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5(reinterpret_cast<const unsigned char*>("abc"), 3, digest);
    if (digest[0] != 0x90) return 1;
    if (crc32(0, reinterpret_cast<const Bytef*>("123456789"), 9) != 0xCBF43926UL) return 1;
    return 0;
}
