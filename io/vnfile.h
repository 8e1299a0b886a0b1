// Public header (part of vnbase.h).
// vn::io::CFile: a file opened by UTF-8 or UTF-16 name over a C stdio stream, with 64-bit
// positions and sizes. One thread at a time may use an object; the destructor closes an
// open stream.
//
//   vn::io::CFile f;
//   if (f.Open(u"/tmp/\u6587\u4ef6.bin", u"wb")) f.Write(data, n);
//   long long size = f.GetSize();                 // -1 on failure
//
// Failures are logged under the tag "vnfile". An operation on a closed object logs
// "illegal operating!" and returns false, -1 or a count of 0.
#pragma once

#include <stdio.h>

#include "common/vnexport.h"
#include "common/vnstream.h"

namespace vn {
namespace io {

class VN_EXPORT CFile {
public:
    // Seek origins, numerically SEEK_SET, SEEK_CUR and SEEK_END.
    enum eSeekWhence { eSeekBegin = 0, eSeekCurrent = 1, eSeekEnd = 2 };

    CFile();
    virtual ~CFile();
    // Copies the name only: the copy is closed. Sharing one stream would make both objects
    // close it.
    CFile(const CFile& other);
    CFile& operator=(const CFile& other);

    // Opens path (UTF-8) with a C stdio mode. False when the object already holds a
    // stream ("CFile object is under used!"), for a null argument ("illegal agurment!")
    // or when the file does not open (errno set). The name is kept with every '\' turned
    // into '/'.
    bool Open(const char* path, const char* mode);
    // The same with a UTF-16 path (and mode), converted to UTF-8.
    bool Open(const char16_t* path, const char16_t* mode);
    bool Open(const char16_t* path, const char* mode);

    // Closes any held stream (the name is forgotten too) and takes stream.
    void Attach(FILE* stream);
    // Returns the stream and forgets it without closing it.
    FILE* Detach();
    bool IsOpened() const { return m_hFile != nullptr; }
    // Closes the stream: true when it was open and fclose succeeded (buffered data
    // written). False for a closed object.
    bool Close();
    operator FILE*() const { return m_hFile; }

    bool Seek(long long offset, eSeekWhence whence);
    // The position, or -1.
    long long GetPos();
    // The size in bytes, or -1 when a seek fails. Leaves the position where it was.
    long long GetSize();
    // Cuts or extends the file (with zero bytes) to size; the position is left where it
    // was. True at once when the file has that size already.
    bool SetSize(long long size);

    // Transfer count bytes in pieces of at most 0x7FFFFFFF, until done or until a piece
    // moves nothing (end of file or error). Return the bytes moved.
    long long Read(void* buffer, long long count);
    long long Write(const void* buffer, long long count);
    bool Flush();

    // The name given to the last successful Open, with '/' separators.
    const vn::strutf16& GetFileName() const { return m_strFileName; }

    // False only when the name does not exist (no such file or folder on the way);
    // any other failure of the check, such as a denied permission, counts as existing.
    static bool IsExisted(const char* path);
    static bool IsExisted(const char16_t* path);
    // vnio_rename / vnio_remove returned 0.
    static bool Move(const char* oldpath, const char* newpath);
    static bool Move(const char16_t* oldpath, const char16_t* newpath);
    static bool Remove(const char* path);
    static bool Remove(const char16_t* path);

protected:
    bool OpenUtf8(const char* path, const char* mode, const char16_t* widename);

    FILE* m_hFile;               // null when closed
    vn::strutf16 m_strFileName;  // '/' separators only
};

}  // namespace io
}  // namespace vn
