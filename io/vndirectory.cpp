// vn::io::CDirectory: folder checks, recursive creation and opening.
#include "io/vndirectory.h"

#include "io/vnio_internal.h"

#include <errno.h>
#include <string.h>

#include "base/vnlog.h"
#include "io/vnfile.h"
#include "io/vnio.h"
#include "io/vnio_posix_internal.h"

namespace vn {
namespace io {

namespace {
inline bool is_separator(char c) {
    return c == '/' || c == '\\';
}
}  // namespace

CDirectory::CDirectory() : m_hFile(nullptr) {}

CDirectory::~CDirectory() {
    if (m_hFile) fclose(m_hFile);
}

bool CDirectory::IsExisted(const char* path) {
    return CFile::IsExisted(path);
}

bool CDirectory::IsExisted(const char16_t* path) {
    return CFile::IsExisted(path);
}

bool CDirectory::Create(const char* path) {
    if (!path) {
        syslog(VN_LOG_ERROR, "vnfile", __LINE__, "illegal agurment!");
        errno = EINVAL;
        return false;
    }
    // The parent is what precedes the last separator once trailing ones are skipped. The
    // recursion is bounded by the number of separators in the name.
    size_t end = strlen(path);
    while (end > 0 && is_separator(path[end - 1]))
        --end;
    size_t cut = end;
    while (cut > 0 && !is_separator(path[cut - 1]))
        --cut;
    if (cut > 1) {
        vn::strutf8 parent(path, static_cast<unsigned>(cut - 1));
        if (!IsExisted(parent.c_str()) && !Create(parent.c_str())) {
            int err = errno;
            syslog(VN_LOG_WARNING, "vnfile", __LINE__, "failed to create path [%s]!",
                   parent.c_str());
            errno = err;
            return false;
        }
    }
    if (IsExisted(path)) {
        syslog(VN_LOG_WARNING, "vnfile", __LINE__, "path [%s] is aready existed!", path);
        errno = EEXIST;
        return false;
    }
    int err = detail::fs_mkdir(path);
    if (err) {
        errno = err;
        return false;
    }
    return true;
}

bool CDirectory::Create(const char16_t* path) {
    if (!path) return Create(static_cast<const char*>(nullptr));
    vn::strutf8 u8(path);
    return Create(u8.c_str());
}

bool CDirectory::Open(const char* path, const char* mode) {
    FILE* stream =
        vn::detail::io_open_for_object(m_hFile, path, mode, "failed to open folder [%s]!");
    if (!stream) return false;
    m_hFile = stream;
    m_strFolderName = path;
    char16_t* p = m_strFolderName.data();
    for (unsigned i = 0; i < m_strFolderName.length(); ++i) {
        if (p[i] == u'\\') p[i] = u'/';
    }
    return true;
}

bool CDirectory::Close() {
    if (!m_hFile) return false;
    int rc = fclose(m_hFile);
    m_hFile = nullptr;
    return rc == 0;
}

}  // namespace io
}  // namespace vn
