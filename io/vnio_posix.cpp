// The POSIX layer under the file functions (see vnio_posix_internal.h).
#include "io/vnio_posix_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

namespace vn {
namespace detail {

int fs_seek(FILE* stream, long long offset, int whence) {
    // off_t is 64 bits wide: the library is built with _FILE_OFFSET_BITS=64.
    static_assert(sizeof(off_t) == sizeof(long long), "64-bit file offsets");
    return fseeko(stream, static_cast<off_t>(offset), whence) == 0 ? 0 : errno;
}

long long fs_tell(FILE* stream) {
    return static_cast<long long>(ftello(stream));
}

int fs_set_end(FILE* stream, long long size) {
    int fd = fileno(stream);
    if (fd < 0) return errno;
    // ftruncate may be interrupted by a signal handler installed without SA_RESTART.
    for (;;) {
        if (ftruncate(fd, static_cast<off_t>(size)) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

int fs_access(const char* path) {
    return access(path, F_OK) == 0 ? 0 : errno;
}

int fs_mkdir(const char* path) {
    return mkdir(path, 0777) == 0 ? 0 : errno;
}

int fs_volume_space(const char* path, unsigned long long* free_bytes,
                    unsigned long long* total_bytes) {
    // statvfs needs an existing name, while callers ask about the volume that will hold a
    // file before they create it: climb to the nearest ancestor that exists.
    std::string probe(path);
    struct statvfs vfs;
    for (;;) {
        if (statvfs(probe.c_str(), &vfs) == 0) break;
        int err = errno;
        if (err != ENOENT) return err;
        while (!probe.empty() && probe.back() == '/')
            probe.pop_back();
        size_t slash = probe.rfind('/');
        if (slash == std::string::npos) {
            if (probe == ".") return err;
            probe = ".";
        } else {
            probe.resize(slash == 0 ? 1 : slash);
        }
    }
    // f_bavail, not f_bfree: the blocks reserved for root are not free to the client.
    unsigned long long unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
    *free_bytes = static_cast<unsigned long long>(vfs.f_bavail) * unit;
    *total_bytes = static_cast<unsigned long long>(vfs.f_blocks) * unit;
    return 0;
}

char* fs_executable_path() {
    // readlink does not say whether it cut the name: grow until the name fits with room to
    // spare. The bound keeps a broken /proc from making this loop forever.
    for (size_t size = 256; size <= (1u << 20); size *= 2) {
        char* buf = static_cast<char*>(malloc(size));
        if (!buf) {
            errno = ENOMEM;
            return nullptr;
        }
        ssize_t n = readlink("/proc/self/exe", buf, size);
        if (n < 0) {
            int err = errno;
            free(buf);
            errno = err;
            return nullptr;
        }
        if (static_cast<size_t>(n) < size) {
            buf[n] = '\0';
            return buf;
        }
        free(buf);
    }
    errno = ENAMETOOLONG;
    return nullptr;
}

namespace {
void fill_identity(const struct stat& st, fs_identity* id) {
    id->dev = static_cast<unsigned long long>(st.st_dev);
    id->ino = static_cast<unsigned long long>(st.st_ino);
    id->regular = S_ISREG(st.st_mode);
}
}  // namespace

bool fs_identify(FILE* stream, fs_identity* id) {
    struct stat st;
    int fd = fileno(stream);
    if (fd < 0 || fstat(fd, &st) != 0) return false;
    fill_identity(st, id);
    return true;
}

bool fs_identify(const char* path, fs_identity* id) {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    fill_identity(st, id);
    return true;
}

long long fs_file_size(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<long long>(st.st_size);
}

FILE* fs_open_regular_read(const char* path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    int err = fstat(fd, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : EINVAL);
    if (err != 0) {
        close(fd);
        errno = err;
        return nullptr;
    }
    // Reads of a regular file never wait anyway; the flag only mattered for the open.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE* stream = fdopen(fd, "rb");
    if (stream == nullptr) {
        int err = errno;
        close(fd);
        errno = err;
    }
    return stream;
}

FILE* fs_create_exclusive(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr) {
        int err = errno;
        close(fd);
        errno = err;
    }
    return stream;
}

}  // namespace detail
}  // namespace vn
