// Internal header (not installed): CHttpTCPConnector, the HTTP client's way to a server. It
// resolves every host of a list to all of its IPv4 addresses, keeps each address once in
// discovery order and tries them in turn through VNCreateCnnTCPSocket (so the process-wide
// proxy settings apply); the first connected descriptor, or the failure of all, goes to
// its sink once per attempt series.
//
// Thread safety: belongs to the client's "HttpClient" I/O thread; created, used and
// deleted there (or after that thread stopped). Its sink may delete it from inside
// OnConnect: nothing of the connector is touched after the sink call.
//   CHttpTCPConnector* c = new CHttpTCPConnector(id, this);
//   c->Connect(hosts, 80, 5000);          // later: sink->OnConnect(true, fd)
#pragma once

#include <vector>

#include "common/vnstream.h"
#include "net/vnsocketi.h"

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
    CHttpTCPConnector(unsigned int uId, CHttpTCPConnectorSink* pSink);
    ~CHttpTCPConnector() override;
    CHttpTCPConnector(const CHttpTCPConnector&) = delete;
    CHttpTCPConnector& operator=(const CHttpTCPConnector&) = delete;

    // Resolves the hosts and starts an attempt at the first address; false when no attempt
    // started (nothing is reported then).
    bool Connect(const std::vector<vn::strutf8>& lstHosts, unsigned short wPort,
                 unsigned int uTimeoutMs);
    // Starts a new series at the current front address without resolving again.
    bool ReConnect();

    void OnConnect(bool bSuccess, CVNITCPCnnSocket* pSocket, int nReason) override;

private:
    // Deletes the previous attempt and starts one at the front address.
    bool StartAttempt();
    // Drops the front address and starts at the next ones until one starts; false when
    // none is left. pszWhere prefixes the log lines.
    bool AdvanceFrom(const char* pszWhere);

    unsigned int Id;
    unsigned short m_wPort;
    unsigned int m_uTimeout;
    std::vector<vn::strutf8> vecIPs;  // unique dotted addresses; the front is being tried
    CHttpTCPConnectorSink* m_pSink;   // not owned (the client)
    CVNITCPCnnSocket* m_pAttempt;     // owned; null between attempts
};
