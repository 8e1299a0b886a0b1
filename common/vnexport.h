// Public header (part of vnbase.h).
// The export macro of libvnbase.so and the library's invariant checks. The library is
// built with hidden visibility; only what carries VN_EXPORT is part of its ABI.
#pragma once

#define VN_EXPORT __attribute__((visibility("default")))

namespace vn {
namespace detail {
// Prints "file:line: what" to stderr and aborts. Used for broken invariants only,
// never for bad input from callers or peers.
[[noreturn]] VN_EXPORT void fatal(const char* file, int line, const char* what);
}  // namespace detail
}  // namespace vn

// Aborts in every build type: the condition guards memory safety or data integrity.
#define VN_CHECK(cond) \
    ((cond) ? (void)0 : ::vn::detail::fatal(__FILE__, __LINE__, "check failed: " #cond))

// Debug-only assertion for cheap invariants on hot paths.
#ifdef NDEBUG
#define VN_DCHECK(cond) ((void)0)
#else
#define VN_DCHECK(cond) VN_CHECK(cond)
#endif
