// Internal header (not installed): CHttpServerListen, the listening side of the embedded
// HTTP server. It keeps the listening socket objects of each port (one per bound address:
// a port listened on at "127.0.0.1,::1" has two) on its I/O thread "HttpServerListen" and
// hands every accepted descriptor, with the port it came in on, to its sink (the server).
//
// Thread safety: AddListen, StopListen and IsListening may be called from any thread;
// the socket objects live on the listen thread (the first two post their work there) and
// the port map is guarded by m_lock. The sink is called on the listen thread.
//   CHttpServerListen* l = new CHttpServerListen(server);
//   l->AddListen(fd, port);            // a bound, listening descriptor (one per address)
//   l->IsListening(port);              // true once the listen thread took one over
#pragma once

#include <map>
#include <vector>

#include "base/vnlock.h"
#include "net/vnsocketi.h"
#include "task/vnscopecall.h"

class CVNTaskIO;

// How the listening side reports to the server; called on the listen thread.
class CHttpServerListenSink {
public:
    virtual ~CHttpServerListenSink() {}
    // A connection came in on uPort; the sink owns the descriptor (-1 when accept failed).
    virtual void OnAccept(int fd, unsigned short uPort) = 0;
    virtual void OnClose() = 0;
};

class CHttpServerListen : public CVNITCPListenSocketSink {
public:
    explicit CHttpServerListen(CHttpServerListenSink* pSink);
    // Stops the listen thread, then closes and deletes every listening socket.
    ~CHttpServerListen() override;
    CHttpServerListen(const CHttpServerListen&) = delete;
    CHttpServerListen& operator=(const CHttpServerListen&) = delete;

    // Takes over a bound and listening descriptor for uPort (creates the listen thread on
    // first use); it joins the port's other descriptors. The port counts as listening once
    // the listen thread has taken one of them.
    void AddListen(int fd, unsigned short uPort);
    // Closes every listening socket of uPort.
    void StopListen(unsigned short uPort);
    // Whether any listening socket of uPort is open.
    bool IsListening(unsigned short uPort);

    // CVNITCPListenSocketSink (listen thread)
    void OnListen(unsigned int ip, unsigned short port, CVNITCPListenSocket* pSocket) override;
    void OnAccept(CVNITCPListenSocket* pSocket) override;
    void OnClose(CVNITCPListenSocket* pSocket) override;

private:
    friend struct vn_task_call_CHttpServerListenDoAddListen;
    friend struct vn_task_call_CHttpServerListenDoStopListen;
    void DoAddListen(int fd, unsigned short uPort);
    void DoStopListen(unsigned short uPort);
    // The port pSocket listens on, 0 when it is not in the map. Called with m_lock held.
    unsigned short PortOf(const CVNITCPListenSocket* pSocket) const;

    CScopeHolder<CHttpServerListen, 0, CRefCountSafe>* m_pHolder;  // one reference owned
    CVNLock m_lock;  // guards m_sockets and m_pTask's creation
    // The sockets of each port, owned; a port is in the map only while it has one. Guarded
    // by m_lock.
    std::map<unsigned short, std::vector<CVNITCPListenSocket*>> m_sockets;
    CHttpServerListenSink* m_pSink;  // not owned
    CVNTaskIO* m_pTask;              // "HttpServerListen", one reference owned; guarded by m_lock
};
