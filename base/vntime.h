// Public header (part of vnbase.h).
// Clocks, sleeping and the process-wide pseudo-random generator. All functions may be
// called from any thread. gettimeofday is the C library's own (<sys/time.h>).
#pragma once

#include <sys/time.h>

#include "common/vnexport.h"

// Seconds since 1970-01-01 00:00:00 UTC.
VN_EXPORT long long vn_time();
// Milliseconds of a monotonic clock, truncated to 32 bits (wraps after about 49 days).
VN_EXPORT unsigned int vn_gettickcount();
// Blocks the calling thread for ms milliseconds (resumes after signals). Returns 0.
VN_EXPORT int vn_msleep(unsigned int ms);
// Offset of local time from UTC in minutes, positive east of Greenwich, daylight saving
// included.
VN_EXPORT long long vn_gettimeoffsetutc();

// 0..32767 from a process-wide linear congruential generator (unlocked: concurrent
// callers may see equal values, which callers accept).
VN_EXPORT int vn_rand();
// 16 bytes: four little-endian 32-bit words, each a fresh vn_rand() value. Allocated with
// malloc; the caller frees it with free(). Null when memory runs out.
VN_EXPORT unsigned char* vn_rand16();
