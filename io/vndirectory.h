// Public header (part of vnbase.h).
// vn::io::CDirectory: folder checks and recursive creation by UTF-8 or UTF-16 name, and a
// folder opened as a stdio stream. The static functions may be called from any thread;
// one thread at a time may use an object.
//
//   vn::io::CDirectory::Create("/home/u/.client/cache/img/");   // parents made as needed
//   if (vn::io::CDirectory::IsExisted(u"/home/u/\u6587\u4ef6")) { ... }
#pragma once

#include <stdio.h>

#include "common/vnexport.h"
#include "common/vnstream.h"

namespace vn {
namespace io {

class VN_EXPORT CDirectory {
public:
    CDirectory();
    // Closes an open stream.
    virtual ~CDirectory();
    // Not copyable: two owners of one stream would close it twice.
    CDirectory(const CDirectory&) = delete;
    CDirectory& operator=(const CDirectory&) = delete;

    // As vn::io::CFile::IsExisted.
    static bool IsExisted(const char* path);
    static bool IsExisted(const char16_t* path);

    // Makes the folder path and every missing parent, each with mode 0777 less the umask.
    // Trailing '/' or '\' are allowed, and both count as separators. False for a null path
    // ("illegal agurment!"), when a parent cannot be made ("failed to create path [%s]!"),
    // when path exists already ("path [%s] is aready existed!") or when mkdir fails
    // (errno set).
    static bool Create(const char* path);
    static bool Create(const char16_t* path);

    // Opens the folder through vnio_fopen with a stdio mode ("r"). False when the object
    // holds a stream already, for a null argument, or when it does not open.
    bool Open(const char* path, const char* mode);
    bool IsOpened() const { return m_hFile != nullptr; }
    // True when a stream was open and closed cleanly.
    bool Close();
    // The name given to the last successful Open, with '/' separators.
    const char16_t* GetFolderName() const { return m_strFolderName.c_str(); }

protected:
    FILE* m_hFile;                 // null when closed
    vn::strutf16 m_strFolderName;  // '/' separators only
};

}  // namespace io
}  // namespace vn
