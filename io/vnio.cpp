// The vnio_* functions: UTF-8 names in, 0 / errno out, every failure logged under "vnfile".
#include "io/vnio.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "base/vnlog.h"
#include "io/vnfile.h"
#include "io/vnio_internal.h"
#include "io/vnio_posix_internal.h"

namespace {

int fail(int err) {
    errno = err;
    return err;
}

int illegal_argument(int line) {
    syslog(VN_LOG_ERROR, "vnfile", line, "illegal argument!");
    return fail(EINVAL);
}

// Longest mode that gets the close-on-exec flag added; longer ones pass unchanged.
constexpr size_t kModeMax = 32;

// Adds glibc's 'e' (O_CLOEXEC) to a stdio mode, before any ",ccs=" part: a stream the
// library opens must not leak into a program the client starts from another thread.
const char* cloexec_mode(const char* mode, char* buf) {
    size_t len = strlen(mode);
    if (len + 2 > kModeMax) return mode;
    size_t flags = strcspn(mode, ",");
    if (memchr(mode, 'e', flags)) return mode;
    memcpy(buf, mode, flags);
    buf[flags] = 'e';
    memcpy(buf + flags + 1, mode + flags, len - flags + 1);
    return buf;
}

}  // namespace

namespace vn {
namespace detail {

int io_check_name(const char* name, bool mode) {
    if (name[0] != '\0') return 0;
    if (mode) {
        syslog(VN_LOG_ERROR, "vnfile", __LINE__,
               "failed to convert encoding of open-mode '%s' from utf8 to utf16!", name);
    } else {
        syslog(VN_LOG_ERROR, "vnfile", __LINE__,
               "failed to convert encoding of filename '%s' from utf8 to utf16!", name);
    }
    return ENOMEM;
}

FILE* io_open_for_object(FILE* held, const char* path, const char* mode, const char* failFormat) {
    if (held) {
        syslog(VN_LOG_WARNING, "vnfile", __LINE__, "CFile object is under used!");
        return nullptr;
    }
    if (!path || !mode) {
        syslog(VN_LOG_ERROR, "vnfile", __LINE__, "illegal agurment!");
        errno = EINVAL;
        return nullptr;
    }
    FILE* stream = vnio_fopen(path, mode);
    if (!stream) {
        int err = errno;
        syslog(VN_LOG_DEBUG, "vnfile", __LINE__, failFormat, path);
        errno = err;
    }
    return stream;
}

bool io_copy_content(io::CFile& src, io::CFile& dst, long long size, void* buffer, long long chunk,
                     long long* copied) {
    *copied = 0;
    while (*copied < size) {
        long long n = size - *copied < chunk ? size - *copied : chunk;
        errno = 0;
        if (src.Read(buffer, n) != n) {
            // A source that shrank since it was measured ends without an errno.
            if (errno == 0) errno = EIO;
            return false;
        }
        errno = 0;
        if (dst.Write(buffer, n) != n) {
            if (errno == 0) errno = EIO;
            return false;
        }
        *copied += n;
    }
    return true;
}

}  // namespace detail
}  // namespace vn

FILE* vnio_fopen(const char* path, const char* mode) {
    if (!path || !mode) {
        illegal_argument(__LINE__);
        return nullptr;
    }
    int err = vn::detail::io_check_name(path, false);
    if (!err) err = vn::detail::io_check_name(mode, true);
    if (err) {
        fail(err);
        return nullptr;
    }
    char buf[kModeMax];
    return fopen(path, cloexec_mode(mode, buf));
}

int vnio_rename(const char* oldpath, const char* newpath) {
    if (!oldpath || !newpath) return illegal_argument(__LINE__);
    int err = vn::detail::io_check_name(oldpath, false);
    if (!err) err = vn::detail::io_check_name(newpath, false);
    if (err) return fail(err);
    return rename(oldpath, newpath);
}

int vnio_remove(const char* path) {
    if (!path) return illegal_argument(__LINE__);
    int err = vn::detail::io_check_name(path, false);
    if (err) return fail(err);
    return remove(path);
}

bool vnio_copyfile(const char* src, const char* dst) {
    vn::io::CFile in;
    if (!in.Open(src, "rb")) return false;
    // Chunks go straight between the kernel and the one buffer of the copy; the streams'
    // own buffers would only add a copy of every byte. setvbuf must come first.
    setvbuf(in, nullptr, _IONBF, 0);
    long long size = in.GetSize();
    if (size < 0) {
        int err = errno;
        syslog(VN_LOG_ERROR, "vnfile", __LINE__, "failed to get the size of file[%s]!", src);
        fail(err ? err : EIO);
        return false;
    }
    // Opening the destination truncates it: when it is the source under another name (or
    // the same name) that would destroy the data before a byte is copied.
    vn::detail::fs_identity src_id, dst_id;
    if (dst && vn::detail::fs_identify(in, &src_id) && vn::detail::fs_identify(dst, &dst_id) &&
        vn::detail::fs_same(src_id, dst_id)) {
        syslog(VN_LOG_ERROR, "vnfile", __LINE__, "failed to copy file[%s] onto itself[%s]!", src,
               dst);
        fail(EINVAL);
        return false;
    }
    vn::io::CFile out;
    if (!out.Open(dst, "wb")) return false;
    setvbuf(out, nullptr, _IONBF, 0);
    // Only the file created here may be removed after a failure, and only while the name
    // still leads to it: never a device (/dev/full) or a file swapped in meanwhile.
    bool removable = vn::detail::fs_identify(out, &dst_id) && dst_id.regular;

    long long chunk = size < vn::detail::kCopyChunk ? size : vn::detail::kCopyChunk;
    void* buffer = malloc(chunk > 0 ? static_cast<size_t>(chunk) : 1);
    long long copied = 0;
    bool ok = false;
    int err = ENOMEM;
    if (buffer) {
        ok = vn::detail::io_copy_content(in, out, size, buffer, vn::detail::kCopyChunk, &copied);
        err = errno;
        free(buffer);
    }
    in.Close();
    // Some file systems (NFS) report a failed write only when the file is closed.
    errno = 0;
    if (!out.Close() && ok) {
        ok = false;
        err = errno ? errno : EIO;
    }
    if (ok) return true;

    syslog(VN_LOG_ERROR, "vnfile", __LINE__, "failed to copy file[%s] to [%s] at %lld of %lld!",
           src, dst, copied, size);
    vn::detail::fs_identity now;
    if (removable && vn::detail::fs_identify(dst, &now) && vn::detail::fs_same(now, dst_id)) {
        remove(dst);
    }
    fail(err);
    return false;
}

unsigned long long vnio_fsinfo(const char* path, unsigned long long* total) {
    if (total) *total = 0;
    if (!path) {
        illegal_argument(__LINE__);
        return 0;
    }
    int err = vn::detail::io_check_name(path, false);
    if (err) {
        fail(err);
        return 0;
    }
    unsigned long long free_bytes = 0, total_bytes = 0;
    err = vn::detail::fs_volume_space(path, &free_bytes, &total_bytes);
    if (err) {
        fail(err);
        return 0;
    }
    if (total) *total = total_bytes;
    return free_bytes;
}

const char* vnio_getinstalldir() {
    // Guarded by the lock; computed once it succeeds and then kept (never freed) for the
    // life of the process, so the pointer handed out stays valid.
    static std::mutex lock;
    static char* cached = nullptr;
    std::lock_guard<std::mutex> guard(lock);
    if (cached) return cached;
    char* path = vn::detail::fs_executable_path();
    if (!path) {
        int err = errno;
        syslog(VN_LOG_ERROR, "vnfile", __LINE__, "failed to read the executable's path!");
        fail(err);
        return nullptr;
    }
    char* slash = strrchr(path, '/');
    if (!slash) {
        free(path);
        fail(ENOENT);
        return nullptr;
    }
    slash[1] = '\0';
    cached = path;
    return cached;
}

const char* vnio_getdocdir() {
    return vnio_getinstalldir();
}
