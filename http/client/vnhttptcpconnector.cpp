// CHttpTCPConnector: every address of every host, each once, tried in turn (see
// vnhttptcpconnector_internal.h).
#include "http/client/vnhttptcpconnector_internal.h"

#include "base/vnlog.h"
#include "net/vnnet.h"

namespace {
const char kTag[] = "Http";
constexpr unsigned int kDefaultTimeout = 5000;
}  // namespace

CHttpTCPConnector::CHttpTCPConnector(unsigned int uId, CHttpTCPConnectorSink* pSink)
    : Id(uId), m_wPort(0), m_uTimeout(kDefaultTimeout), m_pSink(pSink), m_pAttempt(nullptr) {}

CHttpTCPConnector::~CHttpTCPConnector() {
    delete m_pAttempt;
}

bool CHttpTCPConnector::Connect(const std::vector<vn::strutf8>& lstHosts, unsigned short wPort,
                                unsigned int uTimeoutMs) {
    if (lstHosts.empty() || wPort == 0) {
        syslog(VN_LOG_WARNING, kTag, __LINE__,
               "CHttpTCPConnector::Connect:strIPs is empty or wPort[%u] is 0", wPort);
        return false;
    }
    m_wPort = wPort;
    m_uTimeout = uTimeoutMs != 0 ? uTimeoutMs : kDefaultTimeout;
    vecIPs.clear();
    auto addUnique = [this](const char* ip) {
        for (const vn::strutf8& s : vecIPs)
            if (s == ip) return;
        vecIPs.push_back(vn::strutf8(ip));
    };
    for (const vn::strutf8& host : lstHosts) {
        syslog(VN_LOG_DEBUG, kTag, __LINE__, "gethostbyname of ip %s", host.c_str());
        vnnet_addrlist list = {};
        bool bLookedUp = false;
        bool ok = vnnet_gethostbyname_ex(host.c_str(), &list, &bLookedUp);
        if (!bLookedUp) {
            // Dotted text: taken as it stands.
            if (ok) addUnique(host.c_str());
            continue;
        }
        if (!ok || list.count == 0) {
            syslog(VN_LOG_WARNING, kTag, __LINE__, "Id[%u] gethostbyname fail for host [%s]", Id,
                   host.c_str());
            continue;
        }
        for (unsigned int i = 0; i < list.count && i < VNNET_ADDRLIST_MAX; ++i) {
            vn::strutf8 ip(vnnet_iptostr(list.addrs[i]));
            syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] gethostbyname for host [%s]->[%u][%s]", Id,
                   host.c_str(), i, ip.c_str());
            addUnique(ip.c_str());
        }
    }
    for (const vn::strutf8& ip : vecIPs)
        syslog(VN_LOG_DEBUG, kTag, __LINE__,
               "CHttpTCPConnector::Connect:Id[%u] unique ip of vecIPs:%s", Id, ip.c_str());
    if (vecIPs.empty()) return false;
    syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] Start Connect To [%s:%u]", Id,
           vecIPs.front().c_str(), m_wPort);
    if (StartAttempt()) return true;
    syslog(VN_LOG_WARNING, kTag, __LINE__,
           "CHttpTCPConnector::Connect:Id[%u] InternalConnect To [%s:%u] failed", Id,
           vecIPs.front().c_str(), m_wPort);
    return AdvanceFrom("CHttpTCPConnector::Connect:");
}

bool CHttpTCPConnector::ReConnect() {
    if (vecIPs.empty()) return false;
    syslog(VN_LOG_DEBUG, kTag, __LINE__,
           "CHttpTCPConnector::ReConnect:Id[%u] Start Connect To [%s:%u]", Id,
           vecIPs.front().c_str(), m_wPort);
    if (StartAttempt()) return true;
    syslog(VN_LOG_WARNING, kTag, __LINE__,
           "CHttpTCPConnector::ReConnect:Id[%u] InternalConnect To [%s:%u] failed", Id,
           vecIPs.front().c_str(), m_wPort);
    return AdvanceFrom("CHttpTCPConnector::ReConnect:");
}

bool CHttpTCPConnector::StartAttempt() {
    delete m_pAttempt;
    m_pAttempt = VNCreateCnnTCPSocket();
    if (m_pAttempt == nullptr) return false;
    m_pAttempt->SetSink(this);
    return m_pAttempt->Connect(vecIPs.front().c_str(), m_wPort, m_uTimeout);
}

bool CHttpTCPConnector::AdvanceFrom(const char* pszWhere) {
    while (!vecIPs.empty()) {
        vecIPs.erase(vecIPs.begin());
        if (vecIPs.empty()) break;
        syslog(VN_LOG_DEBUG, kTag, __LINE__, "%sId[%u] Connect To Next IP [%s:%u]", pszWhere, Id,
               vecIPs.front().c_str(), m_wPort);
        if (StartAttempt()) return true;
        syslog(VN_LOG_WARNING, kTag, __LINE__, "%sId[%u] InternalConnect To [%s:%u] failed",
               pszWhere, Id, vecIPs.front().c_str(), m_wPort);
    }
    return false;
}

void CHttpTCPConnector::OnConnect(bool bSuccess, CVNITCPCnnSocket* pSocket, int) {
    if (pSocket != m_pAttempt) return;
    if (bSuccess) {
        int fd = pSocket->Detach();
        m_pSink->OnConnect(fd >= 0, fd);  // may delete this
        return;
    }
    // The attempt socket stays until the next attempt replaces it: it is inside this call.
    while (vecIPs.size() > 1) {
        vecIPs.erase(vecIPs.begin());
        syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] Connect To Next IP [%s:%d]", Id,
               vecIPs.front().c_str(), m_wPort);
        CVNITCPCnnSocket* pOld = m_pAttempt;
        m_pAttempt = nullptr;
        CVNITCPCnnSocket* pNew = VNCreateCnnTCPSocket();
        bool started = false;
        if (pNew != nullptr) {
            pNew->SetSink(this);
            started = pNew->Connect(vecIPs.front().c_str(), m_wPort, m_uTimeout);
        }
        m_pAttempt = pNew;
        delete pOld;  // deleting a socket inside its own callback is allowed
        if (started) return;
        syslog(VN_LOG_WARNING, kTag, __LINE__, "Id[%u] InternalConnect To [%s:%u] failed", Id,
               vecIPs.front().c_str(), m_wPort);
    }
    m_pSink->OnConnect(false, -1);  // may delete this
}
