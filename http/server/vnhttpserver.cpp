// CHttpServer, GetHttpServerInstance and the notify interfaces' destructors (see
// vnhttpserver.h and vnhttpserver_internal.h).
#include "http/server/vnhttpserver_internal.h"

#include <errno.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/vnlog.h"
#include "base/vntime.h"
#include "http/server/vnhttpserverchannelpool_internal.h"
#include "http/server/vnhttpservertask_internal.h"
#include "net/vnnet.h"
#include "task/vntask.h"
#include "task/vntaskcall.h"

VN_TASK_CALL(CHttpServer, StopListen);
VN_TASK_CALL(CHttpServer, RegisterRequest);
VN_TASK_CALL(CHttpServer, UnRegisterRequest);
VN_TASK_CALL(CHttpServer, Refuse);
VN_TASK_CALL(CHttpServer, Cancel);
VN_TASK_CALL(CHttpServer, Accept_RecvFile);
VN_TASK_CALL(CHttpServer, Accept_RecvBuff);
VN_TASK_CALL(CHttpServer, Accept_SendFile);
VN_TASK_CALL(CHttpServer, Accept_SendBuf);
VN_TASK_CALL(CHttpServer, Post);
VN_TASK_CALL(CHttpServer, OnRequest);
VN_TASK_CALL(CHttpServer, OnComplete);
VN_TASK_CALL(CHttpServer, OnProgress);
VN_TASK_CALL(CHttpServer, InitInThread);
VN_TASK_CALL(CHttpServer, AcceptInThread);

namespace {
const char kTag[] = "HttpSvr";
}

CHttpRequestNotify::~CHttpRequestNotify() {}
CHttpNotify::~CHttpNotify() {}
IHttpServer::~IHttpServer() {}

IHttpServer* GetHttpServerInstance() {
    // A function-local static is initialised once even when several threads make the
    // first call together. The server lives as long as the process.
    static CHttpServer* s_pServer = new CHttpServer();
    return s_pServer;
}

CHttpServer::CHttpServer()
    : m_pHolder(new CScopeHolder<CHttpServer, 0, CRefCountSafe>(this)),
      m_pTask(nullptr),
      m_pListen(nullptr),
      m_pThreadPool(nullptr),
      m_pChannelPool(nullptr),
      m_uNextId(0) {
    m_pTask = new CVNTaskBase("HttpSvr", 50, 1);
    m_pTask->Start();
    vn_task_call_CHttpServerInitInThread::Marshal(m_pTask, m_pHolder, this);
}

CHttpServer::~CHttpServer() {
    m_pHolder->Clear();
    delete m_pListen.exchange(nullptr);
    // The server thread goes first: nothing may call into the pools while they go away.
    m_pTask->Stop();
    // The channel threads stop before the pool deletes the channels (no channel runs while
    // it goes), and are released only after it (the channels point at them).
    if (m_pThreadPool != nullptr) m_pThreadPool->StopAll();
    delete m_pChannelPool.exchange(nullptr);
    delete m_pThreadPool;
    m_pThreadPool = nullptr;
    m_pTask->Release();
    m_pTask = nullptr;
    m_registry.clear();
    for (auto& kv : m_tlsPorts)
        kv.second->Release();
    m_tlsPorts.clear();
    m_pHolder->Release();
}

bool CHttpServer::OnThread() const {
    return CVNTaskBase::GetCurrentTask() == m_pTask;
}

void CHttpServer::InitInThread() {
    if (!OnThread()) {
        vn_task_call_CHttpServerInitInThread::Marshal(m_pTask, m_pHolder, this);
        return;
    }
    if (m_pThreadPool == nullptr) m_pThreadPool = new CHttpServerThreadPool();
    if (GetChannelPool() == nullptr) {
        m_pChannelPool.store(new CHttpServerChannelPool(), std::memory_order_release);
    }
}

// ---- Listening (caller's thread) ----

bool CHttpServer::IsListening(unsigned short uPort) {
    // The port is given up in two steps (its sockets closed on the listen thread, then the
    // claim dropped here): only when both are done may a new call take it, so only then
    // does the port stop counting as listened on.
    if (HoldsPort(uPort)) return true;
    CHttpServerListen* l = m_pListen.load(std::memory_order_acquire);
    return l != nullptr && l->IsListening(uPort);
}

bool CHttpServer::Listen(unsigned short uFirst, unsigned short uLast, unsigned short* pPort) {
    return ListenOn(nullptr, uFirst, uLast, pPort, nullptr);
}

bool CHttpServer::ListenTls(unsigned short uFirst, unsigned short uLast, unsigned short* pPort,
                            const char* pszCertFile, const char* pszKeyFile) {
    vn::detail::CTlsContext* ctx = NewTlsContext(pszCertFile, pszKeyFile);
    if (ctx == nullptr) return false;
    bool ok = ListenOn(nullptr, uFirst, uLast, pPort, ctx);
    ctx->Release();
    return ok;
}

bool CHttpServer::ListenAt(const char* pszAddresses, unsigned short uFirst, unsigned short uLast,
                           unsigned short* pPort, const char* pszCertFile, const char* pszKeyFile) {
    std::vector<std::string> addrs;
    if (!SplitListenAddresses(pszAddresses, &addrs)) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "ListenAt [%s] refused: not a list of addresses",
               pszAddresses);
        return false;
    }
    // Either file named asks for TLS: a missing partner fails to load rather than leaving
    // the port plain.
    bool tls = (pszCertFile != nullptr && *pszCertFile != '\0') ||
               (pszKeyFile != nullptr && *pszKeyFile != '\0');
    vn::detail::CTlsContext* ctx = tls ? NewTlsContext(pszCertFile, pszKeyFile) : nullptr;
    if (tls && ctx == nullptr) return false;
    bool ok = ListenOn(&addrs, uFirst, uLast, pPort, ctx);
    if (ctx != nullptr) ctx->Release();
    return ok;
}

vn::detail::CTlsContext* CHttpServer::NewTlsContext(const char* pszCertFile,
                                                    const char* pszKeyFile) {
    std::string error;
    vn::detail::CTlsContext* ctx =
        vn::detail::CTlsContext::NewServer(pszCertFile, pszKeyFile, &error);
    if (ctx == nullptr) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "ListenTls [%s] [%s] refused: %s",
               pszCertFile != nullptr ? pszCertFile : "", pszKeyFile != nullptr ? pszKeyFile : "",
               error.c_str());
    }
    return ctx;
}

vn::detail::CTlsContext* CHttpServer::TlsOf(unsigned short uPort) {
    std::lock_guard<std::mutex> guard(m_listenLock);
    auto it = m_tlsPorts.find(uPort);
    if (it == m_tlsPorts.end()) return nullptr;
    it->second->AddRef();
    return it->second;
}

namespace {

// How binding every address of a call to one port went.
enum BindResult {
    kBound,      // every socket is bound
    kPortTaken,  // the port is in use (or reserved) on one of the addresses: try another
    kBindFailed  // no port will do (an address that is not this machine's, no such family)
};

void CloseAll(std::vector<int>* fds) {
    for (int fd : *fds)
        vnsocket_close(fd);
    fds->clear();
}

// A socket for addr bound to port, or -1 with *pErr set. An empty addr is every address:
// one dual-stack IPv6 socket (IPv4 peers arrive on it as mapped addresses), or an IPv4 one
// on a machine without IPv6, which *pNoIpv6 then remembers for the call's other ports.
int OpenBound(const std::string& addr, unsigned short port, bool* pNoIpv6, int* pErr) {
    if (addr.empty() && !*pNoIpv6) {
        errno = 0;
        int fd = vnsocket_create_for("::", true);
        if (fd != -1 && vnsocket_bind_addr(fd, nullptr, port)) return fd;
        int err = errno;
        vnsocket_close(fd);
        if (fd != -1 && (err == EADDRINUSE || err == EACCES)) {
            *pErr = err;
            return -1;
        }
        // No IPv6 here (the family is missing, or the kernel refuses its wildcard).
        *pNoIpv6 = true;
    }
    errno = 0;
    int fd = addr.empty() ? vnsocket_create(true, 0) : vnsocket_create_for(addr.c_str(), true);
    bool bound = fd != -1 && (addr.empty() ? vnsocket_bind(fd, 0, port)
                                           : vnsocket_bind_addr(fd, addr.c_str(), port));
    if (bound) return fd;
    *pErr = errno;
    vnsocket_close(fd);
    return -1;
}

}  // namespace

bool CHttpServer::SplitListenAddresses(const char* pszList, std::vector<std::string>* pAddrs) {
    pAddrs->clear();
    if (pszList == nullptr || *pszList == '\0') {
        pAddrs->push_back(std::string());  // every address
        return true;
    }
    std::string list(pszList);
    list += ',';
    for (size_t from = 0, comma; (comma = list.find(',', from)) != std::string::npos;
         from = comma + 1) {
        std::string a = list.substr(from, comma - from);
        size_t b = a.find_first_not_of(" \t"), e = a.find_last_not_of(" \t");
        a = b == std::string::npos ? std::string() : a.substr(b, e - b + 1);
        if (vnnet_addrfamily(a.c_str()) == 0) return false;
        // The same address twice would only collide with itself.
        if (std::find(pAddrs->begin(), pAddrs->end(), a) == pAddrs->end()) pAddrs->push_back(a);
    }
    return true;
}

int CHttpServer::BindAll(const std::vector<std::string>& addrs, unsigned short uPort, bool* pNoIpv6,
                         std::vector<int>* pFds, unsigned short* pBound) {
    // A port of this server's own (on other addresses) is left alone: a port belongs to one
    // listening call, which StopListen closes as a whole.
    if (uPort != 0 && HoldsPort(uPort)) return kPortTaken;
    unsigned short port = uPort;
    for (const std::string& addr : addrs) {
        int err = 0;
        int fd = OpenBound(addr, port, pNoIpv6, &err);
        if (fd == -1) {
            CloseAll(pFds);
            // EACCES: a privileged port; the range may go on above it.
            if (err == EADDRINUSE || err == EACCES) return kPortTaken;
            syslog(VN_LOG_ERROR, kTag, __LINE__, "Listen on [%s] port [%u] failed: %s",
                   addr.empty() ? "*" : addr.c_str(), port, strerror(err));
            return kBindFailed;
        }
        pFds->push_back(fd);
        if (port == 0) {
            // The kernel chose for the first address; the others take the same port.
            char text[64];
            if (!vnsocket_getsockaddr(fd, text, sizeof(text), &port) || port == 0) {
                CloseAll(pFds);
                return kBindFailed;
            }
            if (HoldsPort(port)) {
                CloseAll(pFds);
                return kPortTaken;
            }
        }
    }
    *pBound = port;
    return kBound;
}

bool CHttpServer::ListenOn(const std::vector<std::string>* pAddrs, unsigned short uFirst,
                           unsigned short uLast, unsigned short* pPort,
                           vn::detail::CTlsContext* pTls) {
    if (uFirst > uLast) return false;
    const std::vector<std::string> kEveryAddress(1);
    const std::vector<std::string>& addrs = pAddrs != nullptr ? *pAddrs : kEveryAddress;
    // A port of the kernel's choice for the first address may be taken on another one; a
    // few fresh choices make that unlikely to matter (a fixed range is tried once per port).
    const int kKernelChoices = 8;
    bool noIpv6 = false;
    std::vector<int> fds;
    unsigned short port = 0;
    int result = kPortTaken;
    for (unsigned int p = uFirst; p <= uLast && result == kPortTaken; ++p) {
        for (int i = 0; i < (p == 0 ? kKernelChoices : 1) && result == kPortTaken; ++i) {
            result =
                BindAndClaim(addrs, static_cast<unsigned short>(p), pTls, &noIpv6, &fds, &port);
        }
    }
    if (result != kBound) return false;
    if (pPort != nullptr) *pPort = port;
    CHttpServerListen* l = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_listenLock);
        l = m_pListen.load(std::memory_order_acquire);
        if (l == nullptr) {
            l = new CHttpServerListen(this);
            m_pListen.store(l, std::memory_order_release);
        }
    }
    // Posted in order to the listen thread: a StopListen made after this call returns runs
    // there after all of them.
    for (int fd : fds)
        l->AddListen(fd, port);
    return true;
}

int CHttpServer::BindAndClaim(const std::vector<std::string>& addrs, unsigned short uPort,
                              vn::detail::CTlsContext* pTls, bool* pNoIpv6, std::vector<int>* pFds,
                              unsigned short* pBound) {
    int result = BindAll(addrs, uPort, pNoIpv6, pFds, pBound);
    if (result != kBound) return result;
    for (int fd : *pFds) {
        if (!vnsocket_listen(fd, 300)) {
            CloseAll(pFds);
            return kBindFailed;
        }
    }
    // Another call (on other addresses) may have taken the port since BindAll looked.
    if (!ClaimPort(*pBound, pTls)) {
        CloseAll(pFds);
        return kPortTaken;
    }
    return kBound;
}

bool CHttpServer::HoldsPort(unsigned short uPort) {
    std::lock_guard<std::mutex> guard(m_listenLock);
    return m_ownPorts.count(uPort) != 0;
}

bool CHttpServer::ClaimPort(unsigned short uPort, vn::detail::CTlsContext* pTls) {
    std::lock_guard<std::mutex> guard(m_listenLock);
    if (!m_ownPorts.insert(uPort).second) return false;
    // Set before the first connection can come. A TLS entry left for the port would be a
    // closed listener's: the port is plain again unless this call is TLS too.
    auto it = m_tlsPorts.find(uPort);
    if (it != m_tlsPorts.end()) {
        it->second->Release();
        m_tlsPorts.erase(it);
    }
    if (pTls != nullptr) {
        pTls->AddRef();
        m_tlsPorts[uPort] = pTls;
    }
    return true;
}

void CHttpServer::OnAccept(int fd, unsigned short uPort) {
    if (vn_task_call_CHttpServerAcceptInThread::Post(m_pTask, m_pHolder, this, nullptr, fd,
                                                     uPort) == 0 &&
        fd != -1) {
        vnsocket_close(fd);
    }
}

void CHttpServer::OnClose() {
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "OnClose ....");
}

void CHttpServer::AcceptInThread(int fd, unsigned short uPort) {
    if (fd == -1) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "OnAccept From[%s:%d] but socket is invalid",
               "0.0.0.0", 0);
        return;
    }
    // A connection the listen thread took just before a StopListen closed its port has no
    // port any more (nor its TLS setting, which would leave it plain): it goes unanswered.
    if (!HoldsPort(uPort)) {
        vnsocket_close(fd);
        return;
    }
    CHttpServerTask* pTask = m_pThreadPool != nullptr ? m_pThreadPool->FindEasyThread() : nullptr;
    CHttpServerChannelPool* pPool = GetChannelPool();
    if (pTask == nullptr || pPool == nullptr) {
        char ip[64] = "0.0.0.0";
        unsigned short port = 0;
        vnsocket_getpeeraddr(fd, ip, sizeof(ip), &port);
        syslog(VN_LOG_ERROR, kTag, __LINE__,
               "OnAccept From[%s:%d],but not find easythread,close it...", ip, port);
        vnsocket_close(fd);
        return;
    }
    CHttpServerChannel* pChannel = new CHttpServerChannel(pTask, uPort, ++m_uNextId, &m_budget);
    pChannel->SetSink(this);
    if (vn::detail::CTlsContext* tls = TlsOf(uPort)) {
        pChannel->SetTls(tls);
        tls->Release();
    }
    pPool->AddNew(pChannel, vn_time());  // the pool owns it from here on
    pChannel->Attach(fd);
}

// ---- Registry ("HttpSvr") ----

void CHttpServer::StopListen(unsigned short uPort) {
    if (!OnThread()) {
        vn_task_call_CHttpServerStopListen::Marshal(m_pTask, m_pHolder, this, uPort);
        return;
    }
    m_registry.erase(uPort);
    // The sockets' close is posted before the port is given up: a call that takes the port
    // afterwards posts its sockets behind it, so the close cannot reach them.
    CHttpServerListen* l = m_pListen.load(std::memory_order_acquire);
    if (l != nullptr) l->StopListen(uPort);
    std::lock_guard<std::mutex> guard(m_listenLock);
    m_ownPorts.erase(uPort);
    auto it = m_tlsPorts.find(uPort);
    if (it != m_tlsPorts.end()) {
        it->second->Release();  // connections still open hold their own references
        m_tlsPorts.erase(it);
    }
}

void CHttpServer::RegisterRequest(const vn::strutf8& strRequestType, unsigned short uPort,
                                  CHttpRequestNotify* pNotify) {
    if (!OnThread()) {
        vn_task_call_CHttpServerRegisterRequest::Marshal(m_pTask, m_pHolder, this, strRequestType,
                                                         uPort, pNotify);
        return;
    }
    if (strRequestType.empty() || pNotify == nullptr) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "RegisterRequest param error");
        return;
    }
    std::map<vn::strutf8, CHttpRequestNotify*>& types = m_registry[uPort];
    if (types.find(strRequestType) != types.end()) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "RegisterRequest [%s] already exist",
               strRequestType.c_str());
        return;
    }
    types[strRequestType] = pNotify;
}

void CHttpServer::UnRegisterRequest(const vn::strutf8& strRequestType, unsigned short uPort) {
    if (!OnThread()) {
        vn_task_call_CHttpServerUnRegisterRequest::Marshal(m_pTask, m_pHolder, this, strRequestType,
                                                           uPort);
        return;
    }
    if (strRequestType.empty()) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "UnRegisterRequest strRequestType is empty");
        return;
    }
    auto port = m_registry.find(uPort);
    if (port == m_registry.end() || port->second.find(strRequestType) == port->second.end()) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "UnRegisterRequest [%s] not exist, uPort[%d]",
               strRequestType.c_str(), uPort);
        return;
    }
    port->second.erase(strRequestType);
    if (port->second.empty()) {
        syslog(VN_LOG_NOTICE, kTag, __LINE__,
               "UnRegisterRequest: notify has empty, so close http server Listen Port[%d]", uPort);
        StopListen(uPort);
    }
}

CHttpRequestNotify* CHttpServer::FindNotify(const vn::strutf8& strHead, unsigned short uPort,
                                            vn::strutf8& strType) {
    auto port = m_registry.find(uPort);
    if (port == m_registry.end()) return nullptr;
    for (auto& kv : port->second) {
        const vn::strutf8& key = kv.first;
        if (key == "*.*") return kv.second;
        if (key.length() <= strHead.length() &&
            strncasecmp(strHead.c_str(), key.c_str(), key.length()) == 0) {
            strType = key;
            return kv.second;
        }
    }
    return nullptr;
}

// ---- Channel reports (posted from the channel threads) ----

void CHttpServer::OnRequest(unsigned long long uId, const vn::strutf8& strHead,
                            unsigned short uListenPort, const vn::strutf8& strLocalIP,
                            const vn::strutf8& strPeerIP, unsigned short uPeerPort) {
    if (!OnThread()) {
        vn_task_call_CHttpServerOnRequest::Marshal(m_pTask, m_pHolder, this, uId, strHead,
                                                   uListenPort, strLocalIP, strPeerIP, uPeerPort);
        return;
    }
    CHttpServerChannelPool* pPool = GetChannelPool();
    CHttpServerChannel* pChannel = pPool != nullptr ? pPool->Find(uId) : nullptr;
    if (pChannel == nullptr) {
        syslog(VN_LOG_WARNING, kTag, __LINE__, "OnRequest [%s], but channel is not exist",
               strHead.c_str());
        return;
    }
    vn::strutf8 strType;
    CHttpRequestNotify* pNotify = FindNotify(strHead, uListenPort, strType);
    if (pNotify == nullptr) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "OnRequest [%s],but not find pNotify,let's refuse it",
               strHead.c_str());
        pPool->MoveToFinished(uId);
        pChannel->Refuse("unkown the request", 400);
        return;
    }
    // A kept-alive connection's next request: the caller gets the new-set time to answer
    // it, counted from now rather than from the last completion.
    pPool->MoveToNew(uId);
    pPool->SetAwaiting(uId, true);
    pNotify->OnRequest(uId, strType, strHead, strLocalIP, strPeerIP, uPeerPort);
}

void CHttpServer::OnComplete(unsigned long long uId, const vn::strutf8& strHead,
                             const vn::strutf8& strData, int nCode, bool bAwaitsAnswer) {
    if (!OnThread()) {
        vn_task_call_CHttpServerOnComplete::Marshal(m_pTask, m_pHolder, this, uId, strHead, strData,
                                                    nCode, bAwaitsAnswer);
        return;
    }
    CHttpServerChannelPool* pPool = GetChannelPool();
    if (pPool == nullptr || !pPool->Exists(uId)) {
        syslog(VN_LOG_WARNING, kTag, __LINE__, "OnComplete, but channel is not exist");
        return;
    }
    CHttpNotify* pNotify = pPool->GetNotify(uId);
    // Finished before the caller hears of it: an answer the caller gives from inside
    // OnComplete (a Post after a received body) then records its own notify.
    pPool->MoveToFinished(uId);
    // A body received into memory: its request waits for the answer the caller now gives.
    pPool->SetAwaiting(uId, bAwaitsAnswer && nCode == 0);
    if (pNotify != nullptr) pNotify->OnComplete(uId, strHead, strData, nCode);
}

void CHttpServer::OnProgress(unsigned long long uId, unsigned long long uDone,
                             unsigned long long uTotal, unsigned int uSpeed) {
    if (!OnThread()) {
        vn_task_call_CHttpServerOnProgress::Marshal(m_pTask, m_pHolder, this, uId, uDone, uTotal,
                                                    uSpeed);
        return;
    }
    CHttpServerChannelPool* pPool = GetChannelPool();
    if (pPool == nullptr || !pPool->Exists(uId)) {
        syslog(VN_LOG_WARNING, kTag, __LINE__, "OnProgress, but channel is not exist");
        return;
    }
    if (!pPool->IsWorking(uId)) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "OnProgress but not working ??? [%llu]", uId);
        return;
    }
    CHttpNotify* pNotify = pPool->GetNotify(uId);
    if (pNotify != nullptr) pNotify->OnProgress(uId, uDone, uTotal, uSpeed);
}

// ---- The caller's answers ("HttpSvr") ----

void CHttpServer::ReportGone(unsigned long long uId, CHttpNotify* pNotify, const char* pszWhat) {
    syslog(VN_LOG_WARNING, kTag, __LINE__, "%s, but channel is not exist", pszWhat);
    if (pNotify != nullptr) pNotify->OnComplete(uId, vn::strutf8(), vn::strutf8(), 2);
}

CHttpServerChannel* CHttpServer::TakeAnswer(unsigned long long uId, CHttpNotify* pNotify,
                                            bool bTransfer, const char* pszWhat) {
    CHttpServerChannelPool* pPool = GetChannelPool();
    CHttpServerChannel* pChannel = pPool != nullptr ? pPool->Find(uId) : nullptr;
    // An answer that comes when no request waits (a second answer, a late one, one for a
    // connection that has not announced its request yet) would be read by the peer as the
    // answer to its next request: it is never written.
    if (pChannel == nullptr || !pPool->IsAwaiting(uId)) {
        ReportGone(uId, pNotify, pszWhat);
        return nullptr;
    }
    pPool->SetAwaiting(uId, false);
    if (bTransfer) {
        pPool->SetNotify(uId, pNotify);
    } else {
        pPool->MoveToFinished(uId);
    }
    return pChannel;
}

void CHttpServer::Refuse(unsigned long long uId, const vn::strutf8& strText, int nCode) {
    if (!OnThread()) {
        vn_task_call_CHttpServerRefuse::Marshal(m_pTask, m_pHolder, this, uId, strText, nCode);
        return;
    }
    if (CHttpServerChannel* c = TakeAnswer(uId, nullptr, false, "Refuse"))
        c->Refuse(strText, nCode);
}

void CHttpServer::Cancel(unsigned long long uId) {
    if (!OnThread()) {
        vn_task_call_CHttpServerCancel::Marshal(m_pTask, m_pHolder, this, uId);
        return;
    }
    // Cancel is not an answer: it ends the connection whatever its request is doing.
    CHttpServerChannelPool* pPool = GetChannelPool();
    CHttpServerChannel* pChannel = pPool != nullptr ? pPool->Find(uId) : nullptr;
    if (pChannel == nullptr) {
        ReportGone(uId, nullptr, "Cancel");
        return;
    }
    pPool->SetAwaiting(uId, false);
    pPool->MoveToFinished(uId);
    pChannel->Close();
}

void CHttpServer::Accept_SendBuf(unsigned long long uId, const vn::strutf8& strData,
                                 CHttpNotify* pNotify, bool bProgress) {
    if (!OnThread()) {
        vn_task_call_CHttpServerAccept_SendBuf::Marshal(m_pTask, m_pHolder, this, uId, strData,
                                                        pNotify, bProgress);
        return;
    }
    if (CHttpServerChannel* c = TakeAnswer(uId, pNotify, true, "Accept_SendBuf")) {
        c->Accept_SendBuf(strData, bProgress);
    }
}

void CHttpServer::Accept_RecvFile(unsigned long long uId, const vn::strutf8& strBody,
                                  const vn::strutf8& strPath, CHttpNotify* pNotify,
                                  bool bProgress) {
    if (!OnThread()) {
        vn_task_call_CHttpServerAccept_RecvFile::Marshal(m_pTask, m_pHolder, this, uId, strBody,
                                                         strPath, pNotify, bProgress);
        return;
    }
    if (CHttpServerChannel* c = TakeAnswer(uId, pNotify, true, "Accept_RecvFile")) {
        c->Accept_RecvFile(strBody, strPath, bProgress);
    }
}

void CHttpServer::Accept_RecvBuff(unsigned long long uId, const vn::strutf8& strText,
                                  CHttpNotify* pNotify, bool bProgress) {
    if (!OnThread()) {
        vn_task_call_CHttpServerAccept_RecvBuff::Marshal(m_pTask, m_pHolder, this, uId, strText,
                                                         pNotify, bProgress);
        return;
    }
    if (CHttpServerChannel* c = TakeAnswer(uId, pNotify, true, "Accept_RecvBuff")) {
        c->Accept_RecvBuff(strText, bProgress);
    }
}

void CHttpServer::Accept_SendFile(unsigned long long uId, const vn::strutf8& strPath,
                                  CHttpNotify* pNotify, bool bProgress) {
    if (!OnThread()) {
        vn_task_call_CHttpServerAccept_SendFile::Marshal(m_pTask, m_pHolder, this, uId, strPath,
                                                         pNotify, bProgress);
        return;
    }
    if (CHttpServerChannel* c = TakeAnswer(uId, pNotify, true, "Accept_SendFile")) {
        c->Accept_SendFile(strPath, bProgress);
    }
}

void CHttpServer::Post(unsigned long long uId, const vn::strutf8& strHead,
                       const vn::strutf8& strBody, CHttpNotify* pNotify, bool bProgress) {
    if (!OnThread()) {
        vn_task_call_CHttpServerPost::Marshal(m_pTask, m_pHolder, this, uId, strHead, strBody,
                                              pNotify, bProgress);
        return;
    }
    if (CHttpServerChannel* c = TakeAnswer(uId, pNotify, true, "Post")) {
        c->Post(strHead, strBody, bProgress);
    }
}

// ---- Any thread ----

void CHttpServer::GetLocalIP(unsigned long long uId, vn::strutf8& strIP) {
    CHttpServerChannelPool* pPool = GetChannelPool();
    if (pPool == nullptr || !pPool->GetLocalIP(uId, strIP)) {
        syslog(VN_LOG_WARNING, kTag, __LINE__, "GetLocalIP, but channel is not exist");
    }
}

void CHttpServer::GetPeerIP(unsigned long long uId, vn::strutf8& strIP) {
    CHttpServerChannelPool* pPool = GetChannelPool();
    if (pPool == nullptr || !pPool->GetPeerIP(uId, strIP)) {
        syslog(VN_LOG_WARNING, kTag, __LINE__, "GetPeerIP, but channel is not exist");
    }
}

int CHttpServer::GetRequestBodyLength(unsigned long long uId, unsigned long long* pLen) {
    CHttpServerChannelPool* pPool = GetChannelPool();
    unsigned long long uLen = 0;
    bool bKnown = false;
    if (pPool == nullptr || !pPool->GetContentLen(uId, uLen, bKnown)) return -1;
    if (!bKnown) return 0;
    if (pLen != nullptr) *pLen = uLen;
    return 1;
}

void CHttpServer::SetMemoryLimit(unsigned long long uBytes) {
    m_budget.SetLimit(uBytes);
}

unsigned long long CHttpServer::GetRequestContentLen(unsigned long long uId) {
    CHttpServerChannelPool* pPool = GetChannelPool();
    unsigned long long uLen = 0;
    if (pPool == nullptr || !pPool->GetContentLen(uId, uLen)) {
        syslog(VN_LOG_WARNING, kTag, __LINE__, "GetRequestContentLen, but channel is not exist");
        return 0;
    }
    return uLen;
}
