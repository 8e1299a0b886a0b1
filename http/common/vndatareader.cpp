// CDataReader: the body source of a request or an answer (see vndatareader_internal.h).
#include "http/common/vndatareader_internal.h"

#include <stdlib.h>
#include <string.h>

#include "base/vnlog.h"
#include "base/vntime.h"
#include "io/vnfile.h"
#include "io/vnio_posix_internal.h"

CDataReader::CDataReader(unsigned int uId)
    : m_nMode(kModeMemory),
      m_uLength(0),
      m_uPosition(0),
      m_uSent(0),
      m_uStartTick(0),
      m_pFile(nullptr),
      m_pBlock(nullptr),
      m_uBlockPos(0),
      m_uBlockLen(0),
      m_pMemory(nullptr),
      m_uId(uId) {}

CDataReader::~CDataReader() {
    delete m_pFile;
    free(m_pBlock);
    free(m_pMemory);
}

bool CDataReader::SetFileName(const char* pszFileName) {
    if (m_pFile != nullptr) {
        syslog(VN_LOG_ERROR, "DataReader", __LINE__, "CDataReader::SetFileName,close file, %s",
               m_strFileName.c_str());
        delete m_pFile;
        m_pFile = nullptr;
    }
    free(m_pMemory);
    m_pMemory = nullptr;
    m_uLength = m_uPosition = m_uSent = 0;
    m_uStartTick = 0;
    m_uBlockPos = m_uBlockLen = 0;
    m_strFileName = pszFileName;
    // Only a regular file is a body: a FIFO or a device would block the thread in its open
    // or its reads, and has no size to announce.
    FILE* stream = pszFileName != nullptr ? vn::detail::fs_open_regular_read(pszFileName) : nullptr;
    if (stream == nullptr) {
        syslog(VN_LOG_ERROR, "DataReader", __LINE__, "Id[%u] OpenFile Fail FileName[%s]", m_uId,
               m_strFileName.c_str());
        return false;
    }
    m_pFile = new vn::io::CFile();
    m_pFile->Attach(stream);
    long long size = m_pFile->GetSize();
    if (size < 1) {
        delete m_pFile;
        m_pFile = nullptr;
        return false;
    }
    m_uLength = static_cast<unsigned long long>(size);
    m_nMode = kModeFile;
    return true;
}

bool CDataReader::SetBuffer(const void* pData, unsigned int uLen) {
    if (pData == nullptr || uLen == 0) return false;
    unsigned char* copy = static_cast<unsigned char*>(malloc(uLen));
    if (copy == nullptr) return false;
    memcpy(copy, pData, uLen);
    delete m_pFile;
    m_pFile = nullptr;
    free(m_pMemory);
    m_pMemory = copy;
    m_uLength = uLen;
    m_uPosition = m_uSent = 0;
    m_uStartTick = 0;
    m_uBlockPos = m_uBlockLen = 0;
    m_nMode = kModeMemory;
    return true;
}

bool CDataReader::GetNextBlock(const char*& pBlock, unsigned int& uLen) {
    if (m_uStartTick == 0) m_uStartTick = vn_gettickcount();
    if (m_uPosition >= m_uLength) return false;
    unsigned long long left = m_uLength - m_uPosition;
    if (m_nMode == kModeMemory) {
        if (m_pMemory == nullptr) return false;
        pBlock = reinterpret_cast<const char*>(m_pMemory) + m_uPosition;
        uLen = left < kBlockSize ? static_cast<unsigned>(left) : kBlockSize;
        return true;
    }
    if (m_pFile == nullptr) return false;
    if (m_uBlockPos < m_uBlockLen) {
        pBlock = m_pBlock + m_uBlockPos;
        uLen = m_uBlockLen - m_uBlockPos;
        return true;
    }
    if (m_pBlock == nullptr) {
        m_pBlock = static_cast<char*>(malloc(kBlockSize));
        if (m_pBlock == nullptr) return false;
    }
    m_uBlockPos = m_uBlockLen = 0;
    if (!m_pFile->Seek(static_cast<long long>(m_uPosition), vn::io::CFile::eSeekBegin)) {
        return false;
    }
    unsigned want = left < kBlockSize ? static_cast<unsigned>(left) : kBlockSize;
    long long got = m_pFile->Read(m_pBlock, want);
    // A file that shrank since it was opened ends here: nothing more can be sent.
    if (got <= 0) return false;
    m_uBlockLen = static_cast<unsigned>(got);
    pBlock = m_pBlock;
    uLen = m_uBlockLen;
    return true;
}

bool CDataReader::Advance(unsigned long long n) {
    if (n > m_uLength - m_uPosition) return false;
    m_uPosition += n;
    m_uSent += n;
    if (m_nMode == kModeFile) {
        // Past the block (a range start skipped before any read): the next block is read
        // from the new position.
        if (n >= m_uBlockLen - m_uBlockPos) {
            m_uBlockPos = m_uBlockLen = 0;
        } else {
            m_uBlockPos += static_cast<unsigned>(n);
        }
    }
    return true;
}

void CDataReader::Rewind() {
    m_uPosition = m_uSent = 0;
    m_uStartTick = 0;
    m_uBlockPos = m_uBlockLen = 0;
}

void CDataReader::Limit(unsigned long long uEnd) {
    if (uEnd >= m_uLength || uEnd < m_uPosition) return;
    m_uLength = uEnd;
    // A block read before holds bytes past the new end: read again from the position.
    m_uBlockPos = m_uBlockLen = 0;
}

void CDataReader::CloseFile() {
    delete m_pFile;
    m_pFile = nullptr;
    m_uBlockPos = m_uBlockLen = 0;
}
