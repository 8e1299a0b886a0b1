// CHttpServerListen: the listening sockets of the embedded HTTP server (see
// vnhttpserverlisten_internal.h).
#include "http/server/vnhttpserverlisten_internal.h"

#include <algorithm>

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
        for (CVNITCPListenSocket* s : kv.second) {
            s->Close();
            delete s;
        }
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
    // The server gives a port to one listening call at a time and closes a port before it
    // gives it up, so the sockets found under uPort are the same call's other addresses.
    CVNAutolock guard(m_lock);
    m_sockets[uPort].push_back(s);
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
    std::vector<CVNITCPListenSocket*> sockets;
    {
        CVNAutolock guard(m_lock);
        auto it = m_sockets.find(uPort);
        if (it != m_sockets.end()) {
            sockets.swap(it->second);
            m_sockets.erase(it);
        }
    }
    if (sockets.empty()) {
        syslog(VN_LOG_ERROR, kTag, __LINE__, "Stop Listen fail, not find,uPort[%d]", uPort);
        return;
    }
    for (CVNITCPListenSocket* s : sockets) {
        s->Close();
        delete s;
    }
    syslog(VN_LOG_NOTICE, kTag, __LINE__, "Stop Listen [%d] success", uPort);
}

bool CHttpServerListen::IsListening(unsigned short uPort) {
    CVNAutolock guard(m_lock);
    return m_sockets.find(uPort) != m_sockets.end();
}

unsigned short CHttpServerListen::PortOf(const CVNITCPListenSocket* pSocket) const {
    for (const auto& kv : m_sockets) {
        for (const CVNITCPListenSocket* s : kv.second) {
            if (s == pSocket) return kv.first;
        }
    }
    return 0;
}

void CHttpServerListen::OnListen(unsigned int, unsigned short, CVNITCPListenSocket*) {}

void CHttpServerListen::OnAccept(CVNITCPListenSocket* pSocket) {
    // The port comes from the map: asking the socket for its local address would also
    // look up this host's interfaces at every accept.
    unsigned short port = 0;
    {
        CVNAutolock guard(m_lock);
        port = PortOf(pSocket);
    }
    int fd = pSocket->Accept();
    if (m_pSink == nullptr) {
        if (fd != -1) vnsocket_close(fd);
        return;
    }
    m_pSink->OnAccept(fd, port);
}

void CHttpServerListen::OnClose(CVNITCPListenSocket* pSocket) {
    // Only this socket goes: the port's other addresses still listen.
    bool found = false;
    {
        CVNAutolock guard(m_lock);
        auto it = m_sockets.find(PortOf(pSocket));
        if (it != m_sockets.end()) {
            std::vector<CVNITCPListenSocket*>& v = it->second;
            auto at = std::find(v.begin(), v.end(), pSocket);
            if (at != v.end()) {
                v.erase(at);
                found = true;
                if (v.empty()) m_sockets.erase(it);
            }
        }
    }
    // A sink callback may delete the socket that called it.
    if (found) delete pSocket;
    if (m_pSink != nullptr) m_pSink->OnClose();
}
