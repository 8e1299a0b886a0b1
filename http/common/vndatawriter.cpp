// HttpResponseDataWriter: the destination of a received body (see vndatawriter_internal.h).
#include "http/common/vndatawriter_internal.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "base/vnlog.h"
#include "base/vntime.h"
#include "io/vnfile.h"
#include "io/vnio_posix_internal.h"

namespace {

// First capacity of a memory body; it then doubles, so collecting n bytes costs O(n).
constexpr unsigned int kFirstMemory = 10240;
// The part of the target's name kept in the name of a replacing file, so that name stays
// within the file system's limit.
constexpr size_t kMaxTempBase = 200;

}  // namespace

HttpResponseDataWriter::HttpResponseDataWriter(unsigned int uId)
    : m_nMode(kModeMemory),
      m_uWritten(0),
      m_uStartTick(0),
      m_pFile(nullptr),
      m_pStage(nullptr),
      m_uStageCap(0),
      m_uStageLen(0),
      m_uFileSize(0),
      m_pMemory(nullptr),
      m_uMemoryCap(0),
      m_uMemoryLen(0),
      m_uId(uId) {}

HttpResponseDataWriter::~HttpResponseDataWriter() {
    // Staged bytes are written too: a writer dropped without a flush (a stopped request)
    // still leaves a file that a resumed request can continue exactly.
    WriteStaged();
    delete m_pFile;
    // A replacing file that was never committed is not a complete body.
    if (!m_strTempName.empty()) remove(m_strTempName.c_str());
    free(m_pStage);
    free(m_pMemory);
}

bool HttpResponseDataWriter::OpenFile(const char* pszFileName) {
    m_strFileName = pszFileName;
    if (m_pFile == nullptr) {
        m_pFile = new vn::io::CFile();
    } else {
        Flush();
        m_pFile->Close();
    }
    m_uStageLen = 0;
    m_nMode = kModeFile;
    if (pszFileName == nullptr || !m_pFile->Open(pszFileName, "ab")) {
        delete m_pFile;
        m_pFile = nullptr;
        syslog(VN_LOG_ERROR, "DataWriter", __LINE__, "Id[%u] Open file Fail [%s]", m_uId,
               m_strFileName.c_str());
        return false;
    }
    long long size = m_pFile->GetSize();
    m_uFileSize = size > 0 ? static_cast<unsigned long long>(size) : 0;
    syslog(VN_LOG_DEBUG, "DataWriter", __LINE__, "Id[%u] HttpResponseDataWriter Open File [%s]",
           m_uId, m_strFileName.c_str());
    return true;
}

bool HttpResponseDataWriter::OpenFileReplacing(const char* pszFileName) {
    if (pszFileName == nullptr || pszFileName[0] == '\0' || m_pFile != nullptr) return false;
    m_strFileName = pszFileName;
    m_nMode = kModeFile;
    m_uStageLen = 0;
    m_uFileSize = 0;
    // The new file sits in the target's folder, so the rename that publishes it is atomic.
    const char* slash = strrchr(pszFileName, '/');
    std::string dir = slash != nullptr ? std::string(pszFileName, slash + 1) : std::string();
    std::string base = slash != nullptr ? slash + 1 : pszFileName;
    if (base.size() > kMaxTempBase) base.resize(kMaxTempBase);
    static std::atomic<unsigned int> s_uSerial{0};
    for (int attempt = 0; attempt < 8; ++attempt) {
        char suffix[48];
        snprintf(suffix, sizeof(suffix), ".%d.%u.%u.vnpart", static_cast<int>(getpid()),
                 vn_gettickcount(), s_uSerial.fetch_add(1, std::memory_order_relaxed));
        std::string temp = dir;
        temp += '.';
        temp += base;
        temp += suffix;
        FILE* stream = vn::detail::fs_create_exclusive(temp.c_str());
        if (stream == nullptr) {
            if (errno == EEXIST) continue;
            break;
        }
        m_pFile = new vn::io::CFile();
        m_pFile->Attach(stream);
        m_strTempName.assign(temp.c_str(), static_cast<unsigned>(temp.size()));
        syslog(VN_LOG_DEBUG, "DataWriter", __LINE__, "Id[%u] HttpResponseDataWriter Open File [%s]",
               m_uId, m_strTempName.c_str());
        return true;
    }
    syslog(VN_LOG_ERROR, "DataWriter", __LINE__, "Id[%u] Open file Fail [%s]", m_uId,
           m_strFileName.c_str());
    return false;
}

bool HttpResponseDataWriter::Commit() {
    if (m_strTempName.empty() || m_pFile == nullptr) return false;
    bool ok = Flush();
    if (!m_pFile->Close()) ok = false;
    delete m_pFile;
    m_pFile = nullptr;
    if (ok && rename(m_strTempName.c_str(), m_strFileName.c_str()) != 0) ok = false;
    if (!ok) {
        syslog(VN_LOG_ERROR, "DataWriter", __LINE__, "Id[%u] cannot put [%s] in place", m_uId,
               m_strFileName.c_str());
        remove(m_strTempName.c_str());
    }
    m_strTempName.clear();
    return ok;
}

bool HttpResponseDataWriter::Write(const void* pData, unsigned int uLen) {
    if (pData == nullptr || uLen == 0) return false;
    if (m_uStartTick == 0) m_uStartTick = vn_gettickcount();
    if (m_nMode == kModeMemory) {
        unsigned long long need = static_cast<unsigned long long>(m_uMemoryLen) + uLen;
        if (need > m_uMemoryCap) {
            if (need > kMaxMemory) {
                syslog(VN_LOG_ERROR, "DataWriter", __LINE__,
                       "Id[%u] Recv Buf Len[%u] > MAX[%d],FAIL ", m_uId,
                       static_cast<unsigned>(need), static_cast<int>(kMaxMemory));
                return false;
            }
            unsigned long long cap = m_uMemoryCap == 0 ? kFirstMemory : m_uMemoryCap;
            while (cap < need)
                cap *= 2;
            if (cap > kMaxMemory) cap = kMaxMemory;
            // One spare byte keeps the body zero-terminated for callers that read it as text.
            char* grown = static_cast<char*>(realloc(m_pMemory, cap + 1));
            if (grown == nullptr) {
                syslog(VN_LOG_ERROR, "DataWriter", __LINE__, "Id[%u] Recv new Buf[%u] FAIL", m_uId,
                       static_cast<unsigned>(cap));
                return false;
            }
            m_pMemory = grown;
            m_uMemoryCap = static_cast<unsigned>(cap);
        }
        memcpy(m_pMemory + m_uMemoryLen, pData, uLen);
        m_uMemoryLen += uLen;
        m_pMemory[m_uMemoryLen] = '\0';
        m_uWritten += uLen;
        return true;
    }
    if (m_pFile == nullptr) return false;
    // A large piece (a whole receive of a fast download) goes to the file as it is: copying
    // it into the stage would cost a copy and, for a stage that must grow, fresh pages to
    // fault in, to save no system call.
    if (m_uStageLen == 0 && uLen >= kDirectWrite) return WriteThrough(pData, uLen);
    if (m_pStage == nullptr) {
        m_pStage = static_cast<char*>(malloc(kFirstStage));
        if (m_pStage == nullptr) return false;
        m_uStageCap = kFirstStage;
    }
    if (uLen > m_uStageCap - m_uStageLen) {
        if (!WriteStaged() || !GrowStage()) return false;
        if (uLen > m_uStageCap) return WriteThrough(pData, uLen);
        memcpy(m_pStage, pData, uLen);
        m_uStageLen = uLen;
        m_uWritten += uLen;
        return true;
    }
    memcpy(m_pStage + m_uStageLen, pData, uLen);
    m_uStageLen += uLen;
    m_uWritten += uLen;
    if (m_uStageLen == m_uStageCap) return WriteStaged() && GrowStage();
    return true;
}

bool HttpResponseDataWriter::WriteThrough(const void* pData, unsigned int uLen) {
    if (m_pFile->Write(pData, uLen) != uLen) return false;
    m_uFileSize += uLen;
    m_uWritten += uLen;
    return true;
}

bool HttpResponseDataWriter::GrowStage() {
    // The stage filled (or overflowed): the body is a long one, written in larger pieces
    // from now on. Called with the stage empty; staying small is no failure.
    // A body that has not yet passed kStageSize keeps the first stage: growing it for a few
    // hundred KiB would cost fresh pages per transfer to save a write or two.
    if (m_uStageCap >= kStageSize || m_uFileSize < kStageSize) return true;
    // Nothing staged to keep: a new block, not a realloc that would copy the old one.
    char* grown = static_cast<char*>(malloc(m_uStageCap * 2));
    if (grown != nullptr) {
        free(m_pStage);
        m_pStage = grown;
        m_uStageCap *= 2;
    }
    return true;
}

bool HttpResponseDataWriter::WriteStaged() {
    if (m_uStageLen == 0) return true;
    if (m_pFile == nullptr) return false;
    unsigned n = m_uStageLen;
    m_uStageLen = 0;
    long long put = m_pFile->Write(m_pStage, n);
    if (put > 0) m_uFileSize += static_cast<unsigned long long>(put);
    return put == n;
}

unsigned long long HttpResponseDataWriter::GetLength() {
    if (m_nMode == kModeMemory) return m_uMemoryLen;
    return m_uFileSize + m_uStageLen;
}

bool HttpResponseDataWriter::Truncate() {
    if (m_nMode == kModeMemory) {
        m_uMemoryLen = 0;
        if (m_pMemory != nullptr) m_pMemory[0] = '\0';
        return true;
    }
    if (m_pFile == nullptr) return false;
    // Staged bytes belong to the old content and go with it.
    m_uStageLen = 0;
    m_pFile->Flush();
    if (!m_pFile->SetSize(0) || m_pFile->GetSize() != 0) {
        delete m_pFile;
        m_pFile = nullptr;
        syslog(VN_LOG_ERROR, "DataWriter", __LINE__, "Id[%u]SetLength0 FAIL [%s]", m_uId,
               m_strFileName.c_str());
        return false;
    }
    m_uFileSize = 0;
    return true;
}

bool HttpResponseDataWriter::Flush() {
    if (m_nMode != kModeFile) return true;
    bool ok = WriteStaged();
    if (m_pFile != nullptr && !m_pFile->Flush()) ok = false;
    return ok;
}

void HttpResponseDataWriter::CloseFile() {
    if (m_pFile == nullptr) return;
    Flush();
    delete m_pFile;
    m_pFile = nullptr;
}
