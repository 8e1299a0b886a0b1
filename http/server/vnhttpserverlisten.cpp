// CHttpServerListen: the listening sockets of the embedded HTTP server (see
// vnhttpserverlisten_internal.h).
#include "http/server/vnhttpserverlisten_internal.h"

#include "base/vnlog.h"
#include "fevent/vntaskio.h"
#include "net/vnnet.h"
#include "task/vntaskcall.h"

VN_TASK_CALL(CHttpServerListen, DoAddListen);
VN_TASK_CALL(CHttpServerListen, DoStopListen);

namespace {
const char kTag[] = "httplisten";
}

CHttpServerListen::CHttpServerListen(CHttpServerListenSink* pSink)
    : m_pHolder(new CScopeHolder<CHttpServerListen, 0, CRefCountSafe>(this)),
      m_pSink(pSink),
      m_pTask(nullptr) {}

CHttpServerListen::~CHttpServerListen() {
    m_pHolder->Clear();
    CVNTaskIO* task = nullptr;
    {
        CVNAutolock guard(m_lock);
        task = m_pTask;
        m_pTask = nullptr;
    }
    // Once the listen thread has ended nobody else touches the sockets or its pump.
    if (task != nullptr && task->IsStarted()) task->Stop();
    for (auto& kv : m_sockets) {
        kv.second->Close();
        delete kv.second;
    }
    m_sockets.clear();
    if (task != nullptr) task->Release();
    m_pHolder->Release();
}

void CHttpServerListen::AddListen(int fd, unsigned short uPort) {
    CVNTaskIO* task = nullptr;
    {
        CVNAutolock guard(m_lock);
        if (m_pTask == nullptr) {
            m_pTask = new CVNTaskIO("HttpServerListen", 50, 1);
            m_pTask->Start();
        }
        task = m_pTask;
    }
    if (vn_task_call_CHttpServerListenDoAddListen::Post(task, m_pHolder, this, nullptr, fd,
                                                        uPort) == 0) {
        vnsocket_close(fd);
    }
}

void CHttpServerListen::DoAddListen(int fd, unsigned short uPort) {
    CVNITCPListenSocket* s = VNCreateTCPListenSocket();
    if (s == nullptr) {
        vnsocket_close(fd);
        return;
    }
    s->SetSink(this);
    if (!s->Attach(fd, VN_TIMEOUT_INFINITE)) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Listen Attach fail, uPort[%d]", uPort);
        delete s;
        return;
    }
    CVNITCPListenSocket* old = nullptr;
    {
        CVNAutolock guard(m_lock);
        auto it = m_sockets.find(uPort);
        if (it != m_sockets.end()) old = it->second;
        m_sockets[uPort] = s;
    }
    if (old != nullptr) {
        old->Close();
        delete old;
    }
}

void CHttpServerListen::StopListen(unsigned short uPort) {
    CVNTaskIO* task = nullptr;
    {
        CVNAutolock guard(m_lock);
        task = m_pTask;
    }
    if (task == nullptr) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Stop Listen fail, not find,uPort[%d]", uPort);
        return;
    }
    vn_task_call_CHttpServerListenDoStopListen::Post(task, m_pHolder, this, nullptr, uPort);
}

void CHttpServerListen::DoStopListen(unsigned short uPort) {
    CVNITCPListenSocket* s = nullptr;
    {
        CVNAutolock guard(m_lock);
        auto it = m_sockets.find(uPort);
        if (it != m_sockets.end()) {
            s = it->second;
            m_sockets.erase(it);
        }
    }
    if (s == nullptr) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Stop Listen fail, not find,uPort[%d]", uPort);
        return;
    }
    s->Close();
    delete s;
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "Stop Listen [%d] success", uPort);
}

bool CHttpServerListen::IsListening(unsigned short uPort) {
    CVNAutolock guard(m_lock);
    return m_sockets.find(uPort) != m_sockets.end();
}

void CHttpServerListen::OnListen(unsigned int, unsigned short, CVNITCPListenSocket*) {}

void CHttpServerListen::OnAccept(CVNITCPListenSocket* pSocket) {
    // The port comes from the map: asking the socket for its local address would also
    // look up this host's interfaces at every accept.
    unsigned short port = 0;
    {
        CVNAutolock guard(m_lock);
        for (auto& kv : m_sockets) {
            if (kv.second == pSocket) port = kv.first;
        }
    }
    int fd = pSocket->Accept();
    if (m_pSink == nullptr) {
        if (fd != -1) vnsocket_close(fd);
        return;
    }
    m_pSink->OnAccept(fd, port);
}

void CHttpServerListen::OnClose(CVNITCPListenSocket* pSocket) {
    bool found = false;
    {
        CVNAutolock guard(m_lock);
        for (auto it = m_sockets.begin(); it != m_sockets.end(); ++it) {
            if (it->second == pSocket) {
                m_sockets.erase(it);
                found = true;
                break;
            }
        }
    }
    // A sink callback may delete the socket that called it.
    if (found) delete pSocket;
    if (m_pSink != nullptr) m_pSink->OnClose();
}
