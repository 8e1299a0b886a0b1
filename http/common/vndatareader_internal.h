// Internal header (not installed): CDataReader, the source of a request body (HTTP client)
// or of an answer body (server channel): a memory copy or a file, handed out in blocks of
// at most 64 KiB. Only what the socket accepted is confirmed with Advance, so a block sent
// in part is handed out again from its unsent rest.
//
// Thread safety: one reader per request or transfer, used on the thread of its owner.
//   CDataReader r(id);
//   r.SetFileName("/tmp/up.bin");
//   const char* p; unsigned int n;
//   while (!r.IsEnd() && r.GetNextBlock(p, n)) r.Advance(send(p, n));
#pragma once

#include "common/vnstream.h"

namespace vn {
namespace io {
class CFile;
}
}  // namespace vn

class CDataReader {
public:
    static constexpr unsigned int kBlockSize = 65536;
    enum { kModeFile = 0, kModeMemory = 1 };

    // uId names the owner in log lines ("Id[%u]").
    explicit CDataReader(unsigned int uId);
    ~CDataReader();
    CDataReader(const CDataReader&) = delete;
    CDataReader& operator=(const CDataReader&) = delete;

    // Opens the file (UTF-8 name) for reading; false (logged) when it does not open, is not
    // a regular file (the open never blocks on a FIFO) or is empty.
    bool SetFileName(const char* pszFileName);
    // Copies the bytes; false for null data or zero length.
    bool SetBuffer(const void* pData, unsigned int uLen);
    // The next bytes to send (at most kBlockSize) from the position; false at the end, on a
    // read failure or without a source. The block stays valid until the next call.
    bool GetNextBlock(const char*& pBlock, unsigned int& uLen);
    // Confirms n bytes as sent; false (nothing changes) when that would pass the end.
    bool Advance(unsigned long long n);
    bool IsEnd() const { return m_uPosition == m_uLength; }
    // Back to the start (before a request is sent again).
    void Rewind();
    // Ends the data at uEnd (exclusive; a range's last byte plus one) when that is before
    // its end: the reader then hands out and counts nothing past it.
    void Limit(unsigned long long uEnd);
    // Closes the file, keeping the counts (completion of a server transfer).
    void CloseFile();

    unsigned long long GetLength() const { return m_uLength; }
    unsigned long long GetPosition() const { return m_uPosition; }
    unsigned long long GetSentBytes() const { return m_uSent; }
    // Tick of the first GetNextBlock (0 before), for the progress rate.
    unsigned int GetStartTick() const { return m_uStartTick; }
    int GetMode() const { return m_nMode; }

private:
    int m_nMode;
    unsigned long long m_uLength;
    unsigned long long m_uPosition;
    unsigned long long m_uSent;
    unsigned int m_uStartTick;
    vn::strutf8 m_strFileName;
    vn::io::CFile* m_pFile;  // owned
    char* m_pBlock;          // kBlockSize bytes, owned; allocated on the first file read
    unsigned int m_uBlockPos;
    unsigned int m_uBlockLen;
    unsigned char* m_pMemory;  // owned memory copy
    unsigned int m_uId;
};
