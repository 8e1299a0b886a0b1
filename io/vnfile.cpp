// vn::io::CFile: the stream wrapper, its 64-bit positions and the static name helpers.
#include "io/vnfile.h"

#include <errno.h>
#include <string.h>

#include "base/vnlog.h"
#include "io/vnio.h"
#include "io/vnio_internal.h"
#include "io/vnio_posix_internal.h"

namespace vn {
namespace io {

namespace {

// One fread/fwrite moves at most this much, so a count never overflows a signed 32-bit
// length in the runtime underneath.
constexpr long long kMaxPiece = 0x7FFFFFFF;

void log_closed(int line) {
    syslog(VN_LOG_ERROR, "vnfile", line, "illegal operating!");
}

void keep_slashes(vn::strutf16& name) {
    char16_t* p = name.data();
    for (unsigned i = 0; i < name.length(); ++i) {
        if (p[i] == u'\\') p[i] = u'/';
    }
}

// stdio reports a transfer cut short by a signal as an error; such a piece is retried.
bool interrupted(FILE* stream) {
    if (!ferror(stream) || errno != EINTR) return false;
    clearerr(stream);
    return true;
}

}  // namespace

CFile::CFile() : m_hFile(nullptr) {}

CFile::~CFile() {
    if (m_hFile) fclose(m_hFile);
}

CFile::CFile(const CFile& other) : m_hFile(nullptr), m_strFileName(other.m_strFileName) {}

CFile& CFile::operator=(const CFile& other) {
    if (this != &other) {
        if (m_hFile) fclose(m_hFile);
        m_hFile = nullptr;
        m_strFileName = other.m_strFileName;
    }
    return *this;
}

bool CFile::Open(const char* path, const char* mode) {
    return OpenUtf8(path, mode, nullptr);
}

bool CFile::Open(const char16_t* path, const char16_t* mode) {
    if (!path || !mode) return OpenUtf8(nullptr, nullptr, nullptr);
    vn::strutf8 u8mode(mode);
    return Open(path, u8mode.c_str());
}

bool CFile::Open(const char16_t* path, const char* mode) {
    if (!path || !mode) return OpenUtf8(nullptr, nullptr, nullptr);
    vn::strutf8 u8path(path);
    return OpenUtf8(u8path.c_str(), mode, path);
}

bool CFile::OpenUtf8(const char* path, const char* mode, const char16_t* widename) {
    FILE* stream = vn::detail::io_open_for_object(m_hFile, path, mode, "failed to open file[%s]!");
    if (!stream) return false;
    m_hFile = stream;
    // A UTF-16 name is kept as given rather than round-tripped through UTF-8.
    if (widename) {
        m_strFileName = widename;
    } else {
        m_strFileName = path;
    }
    keep_slashes(m_strFileName);
    return true;
}

void CFile::Attach(FILE* stream) {
    if (m_hFile) fclose(m_hFile);
    m_hFile = stream;
    m_strFileName.clear();
}

FILE* CFile::Detach() {
    FILE* stream = m_hFile;
    m_hFile = nullptr;
    return stream;
}

bool CFile::Close() {
    if (!m_hFile) return false;
    // The stream is gone after fclose whatever it returns; only the result is kept.
    int rc = fclose(m_hFile);
    m_hFile = nullptr;
    return rc == 0;
}

bool CFile::Seek(long long offset, eSeekWhence whence) {
    if (!m_hFile) {
        log_closed(__LINE__);
        return false;
    }
    int err = detail::fs_seek(m_hFile, offset, static_cast<int>(whence));
    if (err) errno = err;
    return err == 0;
}

long long CFile::GetPos() {
    if (!m_hFile) {
        log_closed(__LINE__);
        return -1;
    }
    return detail::fs_tell(m_hFile);
}

long long CFile::GetSize() {
    if (!m_hFile) {
        log_closed(__LINE__);
        return -1;
    }
    long long pos = detail::fs_tell(m_hFile);
    if (pos < 0) return -1;
    if (detail::fs_seek(m_hFile, 0, SEEK_END) != 0) return -1;
    long long size = detail::fs_tell(m_hFile);
    if (detail::fs_seek(m_hFile, pos, SEEK_SET) != 0) return -1;
    return size;
}

bool CFile::SetSize(long long size) {
    if (!m_hFile) {
        log_closed(__LINE__);
        return false;
    }
    long long current = GetSize();
    if (current < 0) return false;
    if (current == size) return true;
    long long pos = detail::fs_tell(m_hFile);
    if (pos < 0) return false;
    // The seek also writes out buffered data, which would otherwise land after the cut
    // and lengthen the file again.
    int err = detail::fs_seek(m_hFile, size, SEEK_SET);
    if (err) {
        errno = err;
        return false;
    }
    int set_err = detail::fs_set_end(m_hFile, size);
    int back_err = detail::fs_seek(m_hFile, pos, SEEK_SET);
    if (set_err || back_err) {
        errno = set_err ? set_err : back_err;
        return false;
    }
    return true;
}

long long CFile::Read(void* buffer, long long count) {
    if (!m_hFile) {
        log_closed(__LINE__);
        return 0;
    }
    if (count <= 0) return 0;
    if (!buffer) {
        syslog(VN_LOG_ERROR, "vnfile", __LINE__, "illegal agurment!");
        return 0;
    }
    char* p = static_cast<char*>(buffer);
    long long total = 0;
    while (total < count) {
        long long piece = count - total < kMaxPiece ? count - total : kMaxPiece;
        size_t n = fread(p + total, 1, static_cast<size_t>(piece), m_hFile);
        if (n == 0) {
            if (interrupted(m_hFile)) continue;
            break;
        }
        total += static_cast<long long>(n);
    }
    return total;
}

long long CFile::Write(const void* buffer, long long count) {
    if (!m_hFile) {
        log_closed(__LINE__);
        return 0;
    }
    if (count <= 0) return 0;
    if (!buffer) {
        syslog(VN_LOG_ERROR, "vnfile", __LINE__, "illegal agurment!");
        return 0;
    }
    const char* p = static_cast<const char*>(buffer);
    long long total = 0;
    while (total < count) {
        long long piece = count - total < kMaxPiece ? count - total : kMaxPiece;
        size_t n = fwrite(p + total, 1, static_cast<size_t>(piece), m_hFile);
        if (n == 0) {
            if (interrupted(m_hFile)) continue;
            break;
        }
        total += static_cast<long long>(n);
    }
    return total;
}

bool CFile::Flush() {
    if (!m_hFile) {
        log_closed(__LINE__);
        return false;
    }
    return fflush(m_hFile) == 0;
}

bool CFile::IsExisted(const char* path) {
    if (!path) {
        syslog(VN_LOG_ERROR, "vnfile", __LINE__, "illegal agurment!");
        return false;
    }
    // ENOTDIR is this platform's "no such file" for a name under a regular file.
    int err = detail::fs_access(path);
    return err != ENOENT && err != ENOTDIR;
}

bool CFile::IsExisted(const char16_t* path) {
    if (!path) return IsExisted(static_cast<const char*>(nullptr));
    vn::strutf8 u8(path);
    return IsExisted(u8.c_str());
}

bool CFile::Move(const char* oldpath, const char* newpath) {
    return vnio_rename(oldpath, newpath) == 0;
}

bool CFile::Move(const char16_t* oldpath, const char16_t* newpath) {
    if (!oldpath || !newpath) return vnio_rename(nullptr, nullptr) == 0;
    vn::strutf8 u8old(oldpath);
    vn::strutf8 u8new(newpath);
    return vnio_rename(u8old.c_str(), u8new.c_str()) == 0;
}

bool CFile::Remove(const char* path) {
    return vnio_remove(path) == 0;
}

bool CFile::Remove(const char16_t* path) {
    if (!path) return vnio_remove(nullptr) == 0;
    vn::strutf8 u8(path);
    return vnio_remove(u8.c_str()) == 0;
}

}  // namespace io
}  // namespace vn
