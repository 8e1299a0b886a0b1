// Public header (part of vnbase.h).
// The process-wide levelled log. The library never writes a file or a console: each line
// is formatted on the caller's stack and handed to the output hook the application
// installs. Callable from any thread; the hook must be thread-safe.
//
//   syslog_hook(my_output);                       // once, at start-up
//   syslog(3, "demo", __LINE__, "started %d", 1);  // "[...][notice  ][main:42][demo:7]: started 1"
//
// Note: these keep their historical names with C++ linkage, so they sit beside
// syslog(3) from <syslog.h> as overloads and never replace it.
#pragma once

#include <stdarg.h>

#include "common/vnexport.h"

// Levels: a smaller number is more severe.
enum {
    VN_LOG_IMPORTANT = 0,
    VN_LOG_ERROR = 1,
    VN_LOG_WARNING = 2,
    VN_LOG_NOTICE = 3,
    VN_LOG_DEBUG = 4,
};

// Longest message part of a line before it is cut and "..." appended.
enum { VN_LOG_LINE_MAX = 10240 };

// Output hook: level, module tag, source line, the formatted line (zero-terminated, no
// newline added) and the length of its prefix (time stamps, tick, level, thread, tag).
typedef void (*vn_syslog_hook)(int level, const char* tag, int line, const char* text,
                               int prefixlen);
// Regular-time hook: seconds since 1970-01-01 00:00:00 UTC from a second clock.
typedef unsigned int (*vn_regulartime_hook)();

// Stores the threshold; lines above it are not formatted. Initially 4. Returns 0.
VN_EXPORT int syslog_setlevel(int level);
// Installs the output hook once: 0, or 17 (errno 17) when one is installed already.
VN_EXPORT int syslog_hook(vn_syslog_hook hook);
// Installs the regular-time hook once: 0, or 17 (errno 17) when one is installed already.
VN_EXPORT int sysregulartime_hook(vn_regulartime_hook hook);

// Formats and emits one line when a hook is installed and level <= threshold.
VN_EXPORT void syslog(int level, const char* tag, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// Formats and emits one line when a hook is installed; does not apply the threshold.
VN_EXPORT void syslogv(int level, const char* tag, int line, const char* format, va_list args)
    __attribute__((format(printf, 4, 0)));
