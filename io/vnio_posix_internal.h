// Internal header: the POSIX layer under the file functions (64-bit seek and tell,
// ftruncate, access, mkdir, stat, statvfs, /proc/self/exe). The rest of io/ is written
// against C stdio and these calls only. Stateless; callable from any thread.
#pragma once

#include <stdio.h>

namespace vn {
namespace detail {

// Moves the stream to offset from whence (SEEK_SET / SEEK_CUR / SEEK_END). 0 or errno.
int fs_seek(FILE* stream, long long offset, int whence);
// The stream's position, or -1 with errno.
long long fs_tell(FILE* stream);
// Cuts or extends the file under stream to size bytes. The caller has flushed the stream
// (a seek does), so no buffered write can land past the new end afterwards. 0 or errno.
int fs_set_end(FILE* stream, long long size);

// 0 when the path can be reached, else the errno of the check.
int fs_access(const char* path);
// Makes one directory, mode 0777 less the process umask. 0 or errno.
int fs_mkdir(const char* path);

// Free bytes available to this process and total bytes of the volume holding path. A path
// that does not exist yet is looked up through its nearest existing ancestor. 0 or errno.
int fs_volume_space(const char* path, unsigned long long* free_bytes,
                    unsigned long long* total_bytes);

// The absolute path of the running executable, malloc'd (the caller frees it), or null
// with errno.
char* fs_executable_path();

// Which file an open stream or a name refers to.
struct fs_identity {
    unsigned long long dev;
    unsigned long long ino;
    bool regular;
};
// False with errno when the stream or name cannot be examined (a name that does not exist).
bool fs_identify(FILE* stream, fs_identity* id);
// The size of the regular file at path, or -1 (none there, or not a regular file).
long long fs_file_size(const char* path);
// Opens a regular file for reading ("rb", close-on-exec) without ever blocking in the open:
// a FIFO or a device named by a peer's request would otherwise hold the thread for good.
// Null with errno (EINVAL for a name that is not a regular file).
FILE* fs_open_regular_read(const char* path);
// Creates path for writing ("wb", close-on-exec, mode 0666 less the umask); fails with
// EEXIST when the name is taken, so two writers never share a file. Null with errno.
FILE* fs_create_exclusive(const char* path);
bool fs_identify(const char* path, fs_identity* id);
inline bool fs_same(const fs_identity& a, const fs_identity& b) {
    return a.dev == b.dev && a.ino == b.ino;
}

}  // namespace detail
}  // namespace vn
