// Internal header (not installed): CHttpServer, the process's embedded HTTP server behind
// IHttpServer. It owns the registry of request types per port, the listening side, the
// channel threads and the channel pool, and makes every call into the caller's notify
// objects, all on its thread "HttpSvr".
//
// Thread safety: the answering operations and the registry operations run on "HttpSvr";
// called elsewhere they are posted there (fire-and-forget). Listen, ListenTls, ListenAt,
// IsListening, GetLocalIP, GetPeerIP and GetRequestContentLen run on the caller's thread:
// the listen object is created and the ports are claimed under m_listenLock, the object is
// published atomically, and the channel look-ups go through the pool's lock. Channels
// report on their own threads; the reports are posted to "HttpSvr".
//   IHttpServer* s = GetHttpServerInstance();      // CHttpServer, created once
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "http/server/vnhttpserver.h"
#include "http/server/vnhttpserverchannel_internal.h"
#include "http/server/vnhttpserverlisten_internal.h"
#include "net/vntlscontext_internal.h"
#include "task/vnscopecall.h"

class CVNTaskBase;
class CHttpServerThreadPool;
class CHttpServerChannelPool;

class CHttpServer : public IHttpServer,
                    public CHttpServerListenSink,
                    public CHttpServerChannelSink {
public:
    // Creates and starts "HttpSvr" and posts InitInThread to it.
    CHttpServer();
    ~CHttpServer() override;
    CHttpServer(const CHttpServer&) = delete;
    CHttpServer& operator=(const CHttpServer&) = delete;

    // IHttpServer
    bool IsListening(unsigned short uPort) override;
    bool Listen(unsigned short uFirst, unsigned short uLast, unsigned short* pPort) override;
    void StopListen(unsigned short uPort) override;
    void RegisterRequest(const vn::strutf8& strRequestType, unsigned short uPort,
                         CHttpRequestNotify* pNotify) override;
    void UnRegisterRequest(const vn::strutf8& strRequestType, unsigned short uPort) override;
    void Refuse(unsigned long long uId, const vn::strutf8& strText, int nCode) override;
    void Accept_SendBuf(unsigned long long uId, const vn::strutf8& strData, CHttpNotify* pNotify,
                        bool bProgress) override;
    void Accept_RecvFile(unsigned long long uId, const vn::strutf8& strBody,
                         const vn::strutf8& strPath, CHttpNotify* pNotify, bool bProgress) override;
    void Accept_RecvBuff(unsigned long long uId, const vn::strutf8& strText, CHttpNotify* pNotify,
                         bool bProgress) override;
    void Accept_SendFile(unsigned long long uId, const vn::strutf8& strPath, CHttpNotify* pNotify,
                         bool bProgress) override;
    void Post(unsigned long long uId, const vn::strutf8& strHead, const vn::strutf8& strBody,
              CHttpNotify* pNotify, bool bProgress) override;
    void Cancel(unsigned long long uId) override;
    void GetLocalIP(unsigned long long uId, vn::strutf8& strIP) override;
    void GetPeerIP(unsigned long long uId, vn::strutf8& strIP) override;
    unsigned long long GetRequestContentLen(unsigned long long uId) override;
    int GetRequestBodyLength(unsigned long long uId, unsigned long long* pLen) override;
    void SetMemoryLimit(unsigned long long uBytes) override;
    bool ListenTls(unsigned short uFirst, unsigned short uLast, unsigned short* pPort,
                   const char* pszCertFile, const char* pszKeyFile) override;
    bool ListenAt(const char* pszAddresses, unsigned short uFirst, unsigned short uLast,
                  unsigned short* pPort, const char* pszCertFile, const char* pszKeyFile) override;

    // CHttpServerListenSink (listen thread)
    void OnAccept(int fd, unsigned short uPort) override;
    void OnClose() override;

    // CHttpServerChannelSink (channel threads; posted on to "HttpSvr")
    void OnRequest(unsigned long long uId, const vn::strutf8& strHead, unsigned short uListenPort,
                   const vn::strutf8& strLocalIP, const vn::strutf8& strPeerIP,
                   unsigned short uPeerPort) override;
    void OnComplete(unsigned long long uId, const vn::strutf8& strHead, const vn::strutf8& strData,
                    int nCode, bool bAwaitsAnswer) override;
    void OnProgress(unsigned long long uId, unsigned long long uDone, unsigned long long uTotal,
                    unsigned int uSpeed) override;

    // "HttpSvr": creates the thread pool and the channel pool.
    void InitInThread();
    // "HttpSvr": hands an accepted descriptor to a new channel.
    void AcceptInThread(int fd, unsigned short uPort);

    // The notify of the first registered type that prefixes strHead (ignoring case), in
    // strcmp order of the types; "*.*" matches everything with strType left empty.
    // "HttpSvr" only.
    CHttpRequestNotify* FindNotify(const vn::strutf8& strHead, unsigned short uPort,
                                   vn::strutf8& strType);

    // For the tests: the server thread and the pools (valid after InitInThread ran).
    CVNTaskBase* GetTask() const { return m_pTask; }
    CHttpServerThreadPool* GetThreadPool() const { return m_pThreadPool; }
    CHttpServerChannelPool* GetChannelPool() const {
        return m_pChannelPool.load(std::memory_order_acquire);
    }
    const CHttpBodyBudget& GetBodyBudget() const { return m_budget; }

private:
    bool OnThread() const;
    // The addresses of a ListenAt list, each once; one empty entry (every address) for a
    // null or empty list. false for a list with anything that is not an address.
    static bool SplitListenAddresses(const char* pszList, std::vector<std::string>* pAddrs);
    // Binds a socket to uPort (0: the kernel's choice, taken by the others) on each address
    // of addrs ("" every address, IPv6 dual stack unless *pNoIpv6); a BindResult
    // (vnhttpserver.cpp). Bound descriptors are in *pFds only with kBound. A port this
    // server holds already counts as taken.
    int BindAll(const std::vector<std::string>& addrs, unsigned short uPort, bool* pNoIpv6,
                std::vector<int>* pFds, unsigned short* pBound);
    // Binds the first port of [uFirst, uLast] free on every address of *pAddrs (null: every
    // address), listens and hands the sockets to the listen thread; pTls (a reference
    // taken) puts TLS on the port's connections.
    bool ListenOn(const std::vector<std::string>* pAddrs, unsigned short uFirst,
                  unsigned short uLast, unsigned short* pPort, vn::detail::CTlsContext* pTls);
    // BindAll, then listen on every socket and claim the port; a BindResult.
    int BindAndClaim(const std::vector<std::string>& addrs, unsigned short uPort,
                     vn::detail::CTlsContext* pTls, bool* pNoIpv6, std::vector<int>* pFds,
                     unsigned short* pBound);
    // Takes uPort for a call (with its TLS context, a reference taken, or null); false when
    // another call holds it.
    bool ClaimPort(unsigned short uPort, vn::detail::CTlsContext* pTls);
    bool HoldsPort(unsigned short uPort);
    // A server TLS context for the two PEM files (a new reference), or null (logged).
    static vn::detail::CTlsContext* NewTlsContext(const char* pszCertFile, const char* pszKeyFile);
    // The TLS context of a port (a new reference), or null for a plain one.
    vn::detail::CTlsContext* TlsOf(unsigned short uPort);
    // Completion with code 2 for an answer naming a channel the pool does not hold, or one
    // whose request does not wait for an answer.
    void ReportGone(unsigned long long uId, CHttpNotify* pNotify, const char* pszWhat);
    // The one path of every answer: the channel of uId when its request waits for an
    // answer, which is then taken (a transfer's pNotify recorded, or the channel moved to
    // the finished set); otherwise null after the unknown-id path (ReportGone).
    CHttpServerChannel* TakeAnswer(unsigned long long uId, CHttpNotify* pNotify, bool bTransfer,
                                   const char* pszWhat);

    CScopeHolder<CHttpServer, 0, CRefCountSafe>* m_pHolder;  // one reference owned
    std::map<unsigned short, std::map<vn::strutf8, CHttpRequestNotify*>> m_registry;  // "HttpSvr"
    CVNTaskBase* m_pTask;                       // "HttpSvr", one reference owned
    std::mutex m_listenLock;                    // serialises the creation of m_pListen
    std::atomic<CHttpServerListen*> m_pListen;  // owned; created by the first Listen
    // Ports a listening call holds, from its success until StopListen: a port belongs to
    // one call (its addresses and its TLS setting). Guarded by m_listenLock.
    std::set<unsigned short> m_ownPorts;
    // TLS ports and their contexts (one reference each); guarded by m_listenLock.
    std::map<unsigned short, vn::detail::CTlsContext*> m_tlsPorts;
    CHttpServerThreadPool* m_pThreadPool;                 // owned; "HttpSvr"
    std::atomic<CHttpServerChannelPool*> m_pChannelPool;  // owned; written on "HttpSvr"
    unsigned long long m_uNextId;                         // "HttpSvr": ids are never reused
    CHttpBodyBudget m_budget;  // bodies in memory across all channels (they outlive none of it)
};
