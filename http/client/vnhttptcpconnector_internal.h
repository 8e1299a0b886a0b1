// Internal header (not installed): CHttpTCPConnector, the HTTP client's way to a server.
// Every host of a list is resolved to its addresses of both families off this thread (a
// resolver that hangs holds nothing here, and gives up after the connect time-out), each
// address kept once. The addresses of each host are tried in the order of RFC 8305 (Happy
// Eyeballs v2): the system's preferred first, the families alternating; the hosts in their
// list order. A new attempt starts 250 ms after the one before unless that one has already
// failed, without waiting for its time-out; the first connection wins and the others are
// closed. Through a process-wide proxy the attempts go one after another (each would be a
// proxy connection), and behind a SOCKS5 proxy that resolves names itself (socks5h) the
// name is what the proxy gets. Attempts are made through VNCreateCnnTCPSocket, so the
// process-wide proxy settings apply. The winning descriptor, or the failure of all, goes to
// the sink once per attempt series.
//
// Thread safety: belongs to the client's "HttpClient" I/O thread; created, used and
// deleted there (or after that thread stopped). Its sink may delete it from inside
// OnConnect: nothing of the connector is touched after the sink call.
//   CHttpTCPConnector* c = new CHttpTCPConnector(id, this);
//   c->Connect(hosts, 80, 5000);          // later: sink->OnConnect(true, fd)
#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/vnstream.h"
#include "net/vnsocketi.h"
#include "task/vnscopecall.h"

namespace vn {
namespace detail {
class CNameQuery;
}
}  // namespace vn

// What the client hears from its connector.
class CHttpTCPConnectorSink {
public:
    virtual ~CHttpTCPConnectorSink() {}
    // Once per attempt series: true with a connected descriptor (now the sink's), or false
    // and -1 when no address was left.
    virtual void OnConnect(bool bSuccess, int fd) = 0;
};

class CHttpTCPConnector : public CVNITCPCnnSocketSink {
public:
    // A new attempt starts this long after the one before (RFC 8305's Connection Attempt
    // Delay).
    enum { kAttemptDelayMs = 250 };

    CHttpTCPConnector(unsigned int uId, CHttpTCPConnectorSink* pSink);
    ~CHttpTCPConnector() override;
    CHttpTCPConnector(const CHttpTCPConnector&) = delete;
    CHttpTCPConnector& operator=(const CHttpTCPConnector&) = delete;

    // Addresses pinned for "host:port" (host in lower case), used instead of resolving.
    void SetPinned(std::map<std::string, std::vector<std::string>> pinned) {
        m_pinned = std::move(pinned);
    }
    // Starts resolving the hosts and connecting; false when nothing could start (nothing is
    // reported then).
    bool Connect(const std::vector<vn::strutf8>& lstHosts, unsigned short wPort,
                 unsigned int uTimeoutMs);
    // Starts a new series over the addresses found before, the one that last connected
    // first, without resolving again.
    bool ReConnect();

    void OnConnect(bool bSuccess, CVNITCPCnnSocket* pSocket, int nReason) override;

    // Delayed task: the next attempt is due.
    int OnAttemptDelay(CRefCount*);

    // The order RFC 8305 gives addresses the system listed in its order: the first one's
    // family first, then the families alternating (what remains of one family at the end).
    static std::vector<std::string> HappyEyeballsOrder(const std::vector<std::string>& addrs);

private:
    struct Attempt {
        CVNITCPCnnSocket* pSocket;  // owned
        std::string addr;
    };
    // One host's addresses, once known.
    struct Host {
        std::string name;
        vn::detail::CNameQuery* pQuery;  // one reference while the lookup runs, else null
        bool bDone;
        std::vector<std::string> addrs;
    };

    // The addresses of the hosts whose lookups (and those of every host before) are over
    // become candidates.
    void CollectCandidates();
    void Resolved(size_t index, int nResult, const std::vector<std::string>& addrs);
    // Starts attempts while one may start now; reports the failure when nothing is left.
    void Advance();
    bool StartAttempt(const std::string& addr);
    void ArmDelay();
    void CancelDelay();
    // Ends the series with the result (sink call last: it may delete this).
    void Report(bool bSuccess, int fd);
    void CloseAttempts();
    void CancelQueries();
    bool LookupsPending() const;
    bool Sequential() const;

    unsigned int Id;
    unsigned short m_wPort;
    unsigned int m_uTimeout;
    CHttpTCPConnectorSink* m_pSink;  // not owned (the client)
    std::map<std::string, std::vector<std::string>> m_pinned;
    std::vector<Host> m_hosts;
    size_t m_nCollected;                    // hosts whose addresses are candidates already
    std::vector<std::string> m_candidates;  // every address to try, in order, each once
    size_t m_nNext;                         // the next candidate to try
    std::vector<Attempt> m_attempts;        // running
    bool m_bRunning;                        // a series is on
    bool m_bDelayOver;                      // the next attempt may start at once
    unsigned int m_uDelayTask;              // the armed delay, 0 when none
    CScopeHolder<CHttpTCPConnector, 0, CRefCountSafe>* m_pHolder;  // one reference owned
};
