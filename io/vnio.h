// Public header (part of vnbase.h).
// File-system functions over UTF-8 path names: open, rename, remove, copy, volume space
// and the executable's folder. Names go to the kernel as the UTF-8 bytes they are. Every
// failure is logged under the tag "vnfile" and left in errno. Callable from any thread.
//
//   FILE* f = vnio_fopen("/tmp/\xe6\x96\x87.txt", "wb");  // null + errno on failure
//   if (!vnio_copyfile("a.bin", "b.bin")) { ...errno says why... }
//   const char* dir = vnio_getinstalldir();                // "/opt/client/bin/"
#pragma once

#include <stdio.h>

#include "common/vnexport.h"

// Opens path with a C stdio mode ("rb", "wb", "ab", "r+b", ...); the stream is not
// inherited by child processes. Null on failure: 22 (errno) for a null argument, 12 for
// an empty path or mode, otherwise the errno of fopen.
VN_EXPORT FILE* vnio_fopen(const char* path, const char* mode);

// Renames (moves) a file; an existing file at newpath is replaced. 0 on success; 22 for a
// null argument, 12 for an empty name (errno set to the same), or -1 with errno from
// rename(2).
VN_EXPORT int vnio_rename(const char* oldpath, const char* newpath);

// Removes a file (or an empty directory). 0 on success; 22 for a null path, 12 for an
// empty one (errno set to the same), or -1 with errno from remove(3).
VN_EXPORT int vnio_remove(const char* path);

// Copies the whole content of src into dst (created, or truncated when it exists). True
// only when every byte was read and written and dst was closed without error. On failure
// errno says why and a partly written dst is removed (a regular file only: a device such
// as /dev/full is left alone). A dst that is src itself (same file under any name) is
// refused with 22 before anything is truncated.
VN_EXPORT bool vnio_copyfile(const char* src, const char* dst);

// Free bytes available to this process on the volume that holds path (which need not
// exist yet); the volume's size goes to *total when total is not null. 0 on failure
// (errno set; *total set to 0).
VN_EXPORT unsigned long long vnio_fsinfo(const char* path, unsigned long long* total);

// The folder of the running executable with a trailing '/', for example
// "/opt/client/bin/". Worked out on the first successful call and kept for the life of the
// process; null (errno set, logged) when it cannot be found.
VN_EXPORT const char* vnio_getinstalldir();
// The folder for the user's documents: the same as vnio_getinstalldir().
VN_EXPORT const char* vnio_getdocdir();
