// Internal header (not installed): HttpResponseDataWriter, the destination of a received
// body: a memory buffer (HTTP client buffer requests, server Accept_RecvBuff) or a file
// opened for appending (downloads) or a new file that replaces its target when complete
// (server Accept_RecvFile). File writes are staged and
// written in large pieces; memory grows geometrically up to a fixed cap.
//
// Thread safety: one writer per request or transfer, used on the thread of its owner.
//   HttpResponseDataWriter w(id);
//   w.OpenFile("/tmp/a.bin");
//   w.Write(p, n); ...; w.Flush(); w.CloseFile();
#pragma once

#include "common/vnstream.h"

namespace vn {
namespace io {
class CFile;
}
}  // namespace vn

class HttpResponseDataWriter {
public:
    enum { kModeMemory = 0, kModeFile = 1 };
    // Largest body collected in memory.
    enum : unsigned int { kMaxMemory = 102400000 };
    // Bytes staged before a file write: the stage starts small and, once the file holds
    // kStageSize bytes, doubles each time it fills, up to kStageSize. A small body (an
    // avatar, a thumbnail) then costs a heap block that the next request reuses rather than
    // a fresh mapping of a megabyte; a long download soon writes in megabyte pieces.
    // A piece of at least kDirectWrite bytes that finds the stage empty is written at once.
    enum : unsigned int { kFirstStage = 64 * 1024, kStageSize = 1024 * 1024 };
    enum : unsigned int { kDirectWrite = 32 * 1024 };

    // Starts in memory mode; uId names the owner in log lines ("Id[%u]").
    explicit HttpResponseDataWriter(unsigned int uId);
    ~HttpResponseDataWriter();
    HttpResponseDataWriter(const HttpResponseDataWriter&) = delete;
    HttpResponseDataWriter& operator=(const HttpResponseDataWriter&) = delete;

    // Opens the file (UTF-8 name) for appending and switches to file mode; false (logged)
    // when it does not open.
    bool OpenFile(const char* pszFileName);
    // Creates a new file beside pszFileName (".<name>.<random>.vnpart" in its folder) and
    // switches to file mode; Commit then puts it in place of pszFileName. A writer deleted
    // without Commit removes it, so a receive that fails never leaves a file under the
    // target's name, and one that succeeds replaces the target whole. false (logged) when
    // the new file cannot be created.
    bool OpenFileReplacing(const char* pszFileName);
    // Flushes and closes the new file and renames it over the target; false (the new file
    // removed) when any of that fails.
    bool Commit();
    // Appends the bytes; false for no data, on a write failure or past the memory cap.
    bool Write(const void* pData, unsigned int uLen);
    // File mode: file size plus staged bytes; memory mode: bytes held.
    unsigned long long GetLength();
    // Empties the target; false when the file could not be cut (it is then closed).
    bool Truncate();
    // Writes staged bytes to the file; false on a short write.
    bool Flush();
    // OpenFileReplacing: the name of the new file until Commit (empty otherwise).
    const vn::strutf8& GetTempName() const { return m_strTempName; }
    // Flushes and closes the file (file mode); the counts stay.
    void CloseFile();

    int GetMode() const { return m_nMode; }
    bool IsFileOpen() const { return m_pFile != nullptr; }
    // Bytes written by this request.
    unsigned long long GetWrittenBytes() const { return m_uWritten; }
    // Tick of the first write (0 before), for the progress rate.
    unsigned int GetStartTick() const { return m_uStartTick; }
    const vn::strutf8& GetFileName() const { return m_strFileName; }
    // Memory mode: the bytes held (null when none).
    const char* GetBuffer() const { return m_pMemory; }
    unsigned int GetBufferLen() const { return m_uMemoryLen; }

private:
    bool WriteStaged();
    bool GrowStage();
    // Writes a piece to the file without staging it (the stage is empty); false on a short
    // write.
    bool WriteThrough(const void* pData, unsigned int uLen);

    int m_nMode;
    unsigned long long m_uWritten;
    unsigned int m_uStartTick;
    vn::strutf8 m_strFileName;
    vn::strutf8 m_strTempName;  // OpenFileReplacing until Commit; removed by the destructor
    vn::io::CFile* m_pFile;     // owned
    char* m_pStage;             // m_uStageCap bytes, owned
    unsigned int m_uStageCap;
    unsigned int m_uStageLen;
    unsigned long long m_uFileSize;  // size of the file when opened, plus what was written
    char* m_pMemory;                 // owned
    unsigned int m_uMemoryCap;
    unsigned int m_uMemoryLen;
    unsigned int m_uId;
};
