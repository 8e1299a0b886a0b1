// Internal header (not installed): CHttpServerListen, the listening side of the embedded
// HTTP server. It keeps one listening socket object per port on its I/O thread
// "HttpServerListen" and hands every accepted descriptor, with the port it came in on, to
// its sink (the server).
//
// Thread safety: AddListen, StopListen and IsListening may be called from any thread;
// the socket objects live on the listen thread (the first two post their work there) and
// the port map is guarded by m_lock. The sink is called on the listen thread.
//   CHttpServerListen* l = new CHttpServerListen(server);
//   l->AddListen(fd, port);            // a bound, listening descriptor
//   l->IsListening(port);              // true once the listen thread took it over
#pragma once

#include <map>

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
    // first use). The port counts as listening once the listen thread has taken it.
    void AddListen(int fd, unsigned short uPort);
    void StopListen(unsigned short uPort);
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

    CScopeHolder<CHttpServerListen, 0, CRefCountSafe>* m_pHolder;  // one reference owned
    CVNLock m_lock;  // guards m_sockets and m_pTask's creation
    std::map<unsigned short, CVNITCPListenSocket*> m_sockets;  // owned; guarded by m_lock
    CHttpServerListenSink* m_pSink;                            // not owned
    CVNTaskIO* m_pTask;  // "HttpServerListen", one reference owned; guarded by m_lock
};
