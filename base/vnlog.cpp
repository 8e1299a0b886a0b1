// The levelled log: formats one line on the caller's stack and hands it to the
// application's output hook. Callable from any thread at once.
#include "base/vnlog.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "base/vnthread.h"
#include "base/vntime.h"

namespace {

// Hooks are installed once and never replaced; atomics keep the first install visible to
// threads that are already logging without a lock.
std::atomic<vn_syslog_hook> g_hook{nullptr};
std::atomic<vn_regulartime_hook> g_regular_hook{nullptr};
std::atomic<int> g_threshold{VN_LOG_DEBUG};

const char* const kLabels[] = {"[important   ]", "[error   ]", "[warning ]", "[notice  ]",
                               "[debug   ]"};

// Room for the line, the "..." mark and the terminator.
constexpr int kLineMax = VN_LOG_LINE_MAX;
constexpr int kBufferSize = kLineMax + 4;

// Appends a formatted piece; pos may run past kLineMax, meaning the line is full.
void append(char* line, int* pos, const char* format, ...) __attribute__((format(printf, 3, 4)));
void append(char* line, int* pos, const char* format, ...) {
    if (*pos >= kLineMax) return;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line + *pos, static_cast<size_t>(kLineMax - *pos) + 1, format, args);
    va_end(args);
    if (n < 0) n = kLineMax;
    *pos += n;
}

void append_time(char* line, int* pos, time_t when) {
    struct tm local;
    char stamp[64];
    if (localtime_r(&when, &local) == nullptr ||
        strftime(stamp, sizeof(stamp), "[%Y-%m-%d %H:%M:%S]", &local) == 0) {
        stamp[0] = '\0';
    }
    append(line, pos, "%s", stamp);
}

// Where to cut a line that overflowed at kLineMax so that no UTF-8 sequence is split: a
// sequence that would run past the limit is left out whole.
int utf8_safe_cut(const char* line) {
    int start = kLineMax - 1;
    // Walk back over at most three continuation bytes to the sequence's lead byte.
    int steps = 0;
    while (steps < 3 && start > 0 && (static_cast<unsigned char>(line[start]) & 0xC0) == 0x80) {
        --start;
        ++steps;
    }
    unsigned char lead = static_cast<unsigned char>(line[start]);
    // Length of the sequence the lead byte starts; 1 for ASCII and for bytes that are not
    // UTF-8 at all (nothing to keep together then).
    int need = 1;
    if ((lead & 0xE0) == 0xC0) {
        need = 2;
    } else if ((lead & 0xF0) == 0xE0) {
        need = 3;
    } else if ((lead & 0xF8) == 0xF0) {
        need = 4;
    }
    if ((lead & 0xC0) == 0x80) return kLineMax;  // a run of stray continuation bytes
    return start + need > kLineMax ? start : kLineMax;
}

}  // namespace

int syslog_setlevel(int level) {
    g_threshold.store(level, std::memory_order_relaxed);
    return 0;
}

int syslog_hook(vn_syslog_hook hook) {
    vn_syslog_hook expected = nullptr;
    if (!g_hook.compare_exchange_strong(expected, hook)) {
        errno = 17;
        return 17;
    }
    return 0;
}

int sysregulartime_hook(vn_regulartime_hook hook) {
    vn_regulartime_hook expected = nullptr;
    if (!g_regular_hook.compare_exchange_strong(expected, hook)) {
        errno = 17;
        return 17;
    }
    return 0;
}

void syslog(int level, const char* tag, int line, const char* format, ...) {
    if (g_hook.load(std::memory_order_acquire) == nullptr ||
        level > g_threshold.load(std::memory_order_relaxed)) {
        return;
    }
    va_list args;
    va_start(args, format);
    syslogv(level, tag, line, format, args);
    va_end(args);
}

void syslogv(int level, const char* tag, int line, const char* format, va_list args) {
    vn_syslog_hook hook = g_hook.load(std::memory_order_acquire);
    if (hook == nullptr) return;
    // Levels outside the five known ones are clamped to the nearest label.
    int label =
        level < VN_LOG_IMPORTANT ? VN_LOG_IMPORTANT : (level > VN_LOG_DEBUG ? VN_LOG_DEBUG : level);
    char text[kBufferSize];
    int pos = 0;
    text[0] = '\0';
    append_time(text, &pos, static_cast<time_t>(vn_time()));
    vn_regulartime_hook regular = g_regular_hook.load(std::memory_order_acquire);
    if (regular != nullptr) append_time(text, &pos, static_cast<time_t>(regular()));
    append(text, &pos, "[%u]%s", vn_gettickcount(), kLabels[label]);
    const char* name = vnthread_getname();
    append(text, &pos, "[%s:%d][%s:%d]: ", name != nullptr ? name : "unnamed thread",
           static_cast<int>(vnthread_selfid()), tag != nullptr ? tag : "", line);
    int prefixlen = pos < kLineMax ? pos : kLineMax;
    if (pos < kLineMax) {
        int n = format != nullptr
                    ? vsnprintf(text + pos, static_cast<size_t>(kLineMax - pos) + 1, format, args)
                    : 0;
        pos = n < 0 ? kLineMax + 1 : pos + n;
    } else if (format != nullptr && format[0] != '\0') {
        pos = kLineMax + 1;  // the prefix filled the line; the message is lost
    }
    // The message did not fit: cut at the limit (never inside a UTF-8 sequence) and mark
    // the cut with "...".
    if (pos > kLineMax) {
        int cut = utf8_safe_cut(text);
        memcpy(text + cut, "...", 4);
    }
    hook(level, tag, line, text, prefixlen);
}
