// CHttpTCPConnector: every address of every host, resolved off this thread and tried in
// Happy Eyeballs order (see vnhttptcpconnector_internal.h).
#include "http/client/vnhttptcpconnector_internal.h"

#include <ctype.h>

#include <algorithm>
#include <utility>

#include "base/vnlog.h"
#include "net/vnnet.h"
#include "net/vnresolver_internal.h"
#include "task/vntask.h"

namespace {
const char kTag[] = "Http";
constexpr unsigned int kDefaultTimeout = 5000;

std::string Lower(const std::string& s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return out;
}
}  // namespace

CHttpTCPConnector::CHttpTCPConnector(unsigned int uId, CHttpTCPConnectorSink* pSink)
    : Id(uId),
      m_wPort(0),
      m_uTimeout(kDefaultTimeout),
      m_pSink(pSink),
      m_nCollected(0),
      m_nNext(0),
      m_bRunning(false),
      m_bDelayOver(true),
      m_uDelayTask(0),
      m_pHolder(new CScopeHolder<CHttpTCPConnector, 0, CRefCountSafe>(this)) {}

CHttpTCPConnector::~CHttpTCPConnector() {
    m_pHolder->Clear();  // a delay still queued finds nobody
    CancelDelay();
    CancelQueries();
    CloseAttempts();
    m_pHolder->Release();
}

std::vector<std::string> CHttpTCPConnector::HappyEyeballsOrder(
    const std::vector<std::string>& addrs) {
    if (addrs.empty()) return addrs;
    int first = vnnet_addrfamily(addrs.front().c_str());
    std::vector<std::string> mine, other, out;
    for (const std::string& a : addrs)
        (vnnet_addrfamily(a.c_str()) == first ? mine : other).push_back(a);
    for (size_t i = 0; i < mine.size() || i < other.size(); ++i) {
        if (i < mine.size()) out.push_back(mine[i]);
        if (i < other.size()) out.push_back(other[i]);
    }
    return out;
}

bool CHttpTCPConnector::Sequential() const {
    VNProxyType type = VNPROXY_NONE;
    VNGetGlobalProxyInfo(type, nullptr, nullptr, nullptr, nullptr);
    return type != VNPROXY_NONE;
}

bool CHttpTCPConnector::Connect(const std::vector<vn::strutf8>& lstHosts, unsigned short wPort,
                                unsigned int uTimeoutMs) {
    if (lstHosts.empty() || wPort == 0) {
        syslog(VN_LOG_WARNING, kTag, __LINE__,
               "CHttpTCPConnector::Connect:strIPs is empty or wPort[%u] is 0", wPort);
        return false;
    }
    CancelDelay();
    CancelQueries();
    CloseAttempts();
    m_wPort = wPort;
    m_uTimeout = uTimeoutMs != 0 ? uTimeoutMs : kDefaultTimeout;
    m_hosts.clear();
    m_candidates.clear();
    m_nCollected = m_nNext = 0;
    m_bDelayOver = true;
    m_bRunning = true;
    VNProxyType proxy = VNPROXY_NONE;
    VNGetGlobalProxyInfo(proxy, nullptr, nullptr, nullptr, nullptr);
    // Behind a SOCKS5 proxy that resolves names, the name itself is what it gets.
    bool remoteNames = proxy == VNPROXY_SOCKS5 && VNGetGlobalProxyRemoteNames();
    for (const vn::strutf8& h : lstHosts) {
        Host host{std::string(h.c_str(), h.length()), nullptr, true, {}};
        auto pinned = m_pinned.find(Lower(host.name) + ":" + std::to_string(wPort));
        if (pinned != m_pinned.end()) {
            host.addrs = pinned->second;
        } else if (vnnet_addrfamily(host.name.c_str()) != 0 || remoteNames) {
            host.addrs.push_back(host.name);
        } else {
            host.bDone = false;
        }
        m_hosts.push_back(std::move(host));
    }
    for (size_t i = 0; i < m_hosts.size(); ++i) {
        Host& host = m_hosts[i];
        if (host.bDone) continue;
        syslog(VN_LOG_DEBUG, kTag, __LINE__, "gethostbyname of ip %s", host.name.c_str());
        // The lookup answers through the task queue, never from inside this call; the
        // time-out bounds a resolver that hangs.
        host.pQuery = vn::detail::CNameQuery::Start(
            host.name, m_uTimeout, [this, i](int nResult, const std::vector<std::string>& addrs) {
                Resolved(i, nResult, addrs);
            });
        if (host.pQuery == nullptr) host.bDone = true;
    }
    CollectCandidates();
    Advance();
    if (!m_bRunning) return false;  // nothing started, nothing to wait for: not reported
    return true;
}

bool CHttpTCPConnector::ReConnect() {
    if (m_candidates.empty()) return false;
    CancelDelay();
    CancelQueries();
    CloseAttempts();
    CollectCandidates();
    m_nNext = 0;
    m_bDelayOver = true;
    m_bRunning = true;
    syslog(VN_LOG_DEBUG, kTag, __LINE__,
           "CHttpTCPConnector::ReConnect:Id[%u] Start Connect To [%s:%u]", Id,
           m_candidates.front().c_str(), m_wPort);
    Advance();
    return m_bRunning;
}

void CHttpTCPConnector::Resolved(size_t index, int nResult, const std::vector<std::string>& addrs) {
    Host& host = m_hosts[index];
    if (host.pQuery != nullptr) host.pQuery->Release();
    host.pQuery = nullptr;
    host.bDone = true;
    host.addrs = addrs;
    if (addrs.empty()) {
        syslog(VN_LOG_WARNING, kTag, __LINE__, "Id[%u] gethostbyname %s for host [%s]", Id,
               nResult == vn::detail::CNameQuery::kTimedOut ? "timed out" : "fail",
               host.name.c_str());
    }
    for (size_t i = 0; i < addrs.size(); ++i) {
        syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] gethostbyname for host [%s]->[%u][%s]", Id,
               host.name.c_str(), static_cast<unsigned>(i), addrs[i].c_str());
    }
    CollectCandidates();
    if (!m_bRunning) return;
    Advance();
    if (!m_bRunning) Report(false, -1);  // may delete this
}

void CHttpTCPConnector::CollectCandidates() {
    while (m_nCollected < m_hosts.size() && m_hosts[m_nCollected].bDone) {
        for (const std::string& a : HappyEyeballsOrder(m_hosts[m_nCollected].addrs)) {
            if (std::find(m_candidates.begin(), m_candidates.end(), a) != m_candidates.end()) {
                continue;
            }
            syslog(VN_LOG_DEBUG, kTag, __LINE__,
                   "CHttpTCPConnector::Connect:Id[%u] unique ip of vecIPs:%s", Id, a.c_str());
            m_candidates.push_back(a);
        }
        ++m_nCollected;
    }
}

bool CHttpTCPConnector::LookupsPending() const {
    return m_nCollected < m_hosts.size();
}

void CHttpTCPConnector::Advance() {
    // One attempt at a time through a proxy; directly, the next one once the delay is over
    // (or the one before failed).
    while (m_nNext < m_candidates.size() &&
           (m_attempts.empty() || (m_bDelayOver && !Sequential()))) {
        const std::string addr = m_candidates[m_nNext++];
        syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] Start Connect To [%s:%u]", Id, addr.c_str(),
               m_wPort);
        if (StartAttempt(addr)) {
            m_bDelayOver = false;
            ArmDelay();
        } else {
            syslog(VN_LOG_WARNING, kTag, __LINE__,
                   "CHttpTCPConnector::Connect:Id[%u] InternalConnect To [%s:%u] failed", Id,
                   addr.c_str(), m_wPort);
        }
    }
    if (m_attempts.empty() && m_nNext >= m_candidates.size() && !LookupsPending()) {
        // Nothing runs, nothing is left to try or to wait for.
        m_bRunning = false;
        CancelDelay();
    }
}

bool CHttpTCPConnector::StartAttempt(const std::string& addr) {
    CVNITCPCnnSocket* s = VNCreateCnnTCPSocket();
    if (s == nullptr) return false;
    s->SetSink(this);
    if (!s->Connect(addr.c_str(), m_wPort, m_uTimeout)) {
        delete s;
        return false;
    }
    m_attempts.push_back(Attempt{s, addr});
    return true;
}

void CHttpTCPConnector::ArmDelay() {
    CancelDelay();
    if (Sequential()) return;
    m_uDelayTask =
        CVNTaskBase::PushDelayTask(CScopeCall(m_pHolder, this, &CHttpTCPConnector::OnAttemptDelay),
                                   kAttemptDelayMs, etask_once);
}

void CHttpTCPConnector::CancelDelay() {
    if (m_uDelayTask != 0) CVNTaskBase::CancelTask(m_uDelayTask);
    m_uDelayTask = 0;
}

int CHttpTCPConnector::OnAttemptDelay(CRefCount*) {
    m_uDelayTask = 0;
    if (!m_bRunning) return 0;
    m_bDelayOver = true;
    Advance();
    if (!m_bRunning) Report(false, -1);  // may delete this
    return 0;
}

void CHttpTCPConnector::OnConnect(bool bSuccess, CVNITCPCnnSocket* pSocket, int) {
    auto it = std::find_if(m_attempts.begin(), m_attempts.end(),
                           [pSocket](const Attempt& a) { return a.pSocket == pSocket; });
    if (it == m_attempts.end()) return;
    std::string addr = it->addr;
    // Deleting a socket inside its own callback is allowed; nothing of it is used after.
    m_attempts.erase(it);
    if (bSuccess) {
        int fd = pSocket->Detach();
        delete pSocket;
        // A reconnect tries the address that worked first.
        auto at = std::find(m_candidates.begin(), m_candidates.end(), addr);
        if (at != m_candidates.end()) std::rotate(m_candidates.begin(), at, at + 1);
        Report(fd >= 0, fd);  // may delete this
        return;
    }
    delete pSocket;
    syslog(VN_LOG_DEBUG, kTag, __LINE__, "Id[%u] Connect To Next IP after [%s:%d]", Id,
           addr.c_str(), m_wPort);
    // A failed attempt lets the next one start at once.
    m_bDelayOver = true;
    CancelDelay();
    Advance();
    if (!m_bRunning) Report(false, -1);  // may delete this
}

void CHttpTCPConnector::Report(bool bSuccess, int fd) {
    m_bRunning = false;
    CancelDelay();
    CancelQueries();
    CloseAttempts();
    m_pSink->OnConnect(bSuccess, fd);  // may delete this
}

void CHttpTCPConnector::CloseAttempts() {
    for (Attempt& a : m_attempts)
        delete a.pSocket;
    m_attempts.clear();
}

void CHttpTCPConnector::CancelQueries() {
    for (Host& h : m_hosts) {
        if (h.pQuery == nullptr) continue;
        h.pQuery->Cancel();
        h.pQuery->Release();
        h.pQuery = nullptr;
        h.bDone = true;  // with no addresses: a reconnect does not wait for it
    }
}
