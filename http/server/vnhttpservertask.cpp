// The channel threads of the embedded HTTP server and their pool (see
// vnhttpservertask_internal.h).
#include "http/server/vnhttpservertask_internal.h"

#include <errno.h>
#include <sched.h>
#include <stdio.h>

#include <string>

#include "base/vnlog.h"

namespace {

std::string TaskName(int nNumber) {
    char name[32];
    snprintf(name, sizeof(name), "HttpServerTask%02d", nNumber);
    return name;
}

// The statistics line for n threads: "\r\n<<<<<<\r\nTotalCount[%u]: \r\n", one
// "thread%u : usercount[%d]\r\n" per thread, then ">>>>>>". The formats are fixed texts so
// that the log formats the line only when its level prints (no text is built per accept).
#define VN_STAT_HEAD "\r\n<<<<<<\r\nTotalCount[%u]: \r\n"
#define VN_STAT_ONE "thread%u : usercount[%d]\r\n"
#define VN_STAT_TAIL ">>>>>>"
#define VN_STAT_2 VN_STAT_ONE VN_STAT_ONE
#define VN_STAT_4 VN_STAT_2 VN_STAT_2
#define VN_STAT_8 VN_STAT_4 VN_STAT_4
const char* const kStatFormats[] = {
    VN_STAT_HEAD VN_STAT_TAIL,
    VN_STAT_HEAD VN_STAT_ONE VN_STAT_TAIL,
    VN_STAT_HEAD VN_STAT_2 VN_STAT_TAIL,
    VN_STAT_HEAD VN_STAT_2 VN_STAT_ONE VN_STAT_TAIL,
    VN_STAT_HEAD VN_STAT_4 VN_STAT_TAIL,
    VN_STAT_HEAD VN_STAT_4 VN_STAT_ONE VN_STAT_TAIL,
    VN_STAT_HEAD VN_STAT_4 VN_STAT_2 VN_STAT_TAIL,
    VN_STAT_HEAD VN_STAT_4 VN_STAT_2 VN_STAT_ONE VN_STAT_TAIL,
    VN_STAT_HEAD VN_STAT_8 VN_STAT_TAIL,
    VN_STAT_HEAD VN_STAT_8 VN_STAT_ONE VN_STAT_TAIL,
    VN_STAT_HEAD VN_STAT_8 VN_STAT_2 VN_STAT_TAIL,
};

}  // namespace

CHttpServerTask::CHttpServerTask(int nNumber)
    : CVNTaskIO(TaskName(nNumber).c_str(), 50, 1), m_nUserCount(0) {}

CHttpServerTask::~CHttpServerTask() {}

void CHttpServerTask::OnStart() {
    CVNTaskIO::OnStart();
    // Every request wakes its channel thread twice: the peer's bytes, then the answer posted
    // by "HttpSvr". Under the normal policy a woken thread preempts the one running on its
    // core, so on a busy machine "HttpSvr" (the one stage every request passes) lost its
    // core to each channel thread it posted to, and each channel thread ran for one event
    // at a time. With SCHED_BATCH a woken channel thread waits for the running thread to
    // sleep or use up its slice: on two cores the server answered 15-30% more requests at
    // 10 to 190 connections. An idle core still runs it at once, so a lone request waits no
    // longer. The nice value (the thread's priority) stays; a thread given a real-time
    // policy by its process keeps it.
    if (sched_getscheduler(0) != SCHED_OTHER) return;
    sched_param param{};
    if (sched_setscheduler(0, SCHED_BATCH, &param) != 0) {
        syslog(VN_LOG_DEBUG, "HttpSvrThreadPool", __LINE__, "SCHED_BATCH refused, errno[%d]",
               errno);
    }
}

CHttpServerThreadPool::~CHttpServerThreadPool() {
    for (CHttpServerTask* t : m_threads) {
        if (t->IsStarted()) t->Stop();
        t->Release();
    }
    m_threads.clear();
}

void CHttpServerThreadPool::StopAll() {
    for (CHttpServerTask* t : m_threads) {
        if (t->IsStarted()) t->Stop();
    }
}

void CHttpServerThreadPool::LogStatistics() const {
    int c[kMaxThreads] = {0};
    size_t n = m_threads.size();
    for (size_t i = 0; i < n && i < kMaxThreads; ++i)
        c[i] = m_threads[i]->GetUserCount();
    // Unused trailing arguments are allowed by printf; the format picks the first n pairs.
    syslog(VN_LOG_NOTICE, "HttpSvrThreadPool", __LINE__, kStatFormats[n < kMaxThreads ? n : 10],
           static_cast<unsigned int>(n), 1u, c[0], 2u, c[1], 3u, c[2], 4u, c[3], 5u, c[4], 6u, c[5],
           7u, c[6], 8u, c[7], 9u, c[8], 10u, c[9]);
}

CHttpServerTask* CHttpServerThreadPool::FindEasyThread() {
    CHttpServerTask* pBest = nullptr;
    int nBest = 0;
    for (CHttpServerTask* t : m_threads) {
        int n = t->GetUserCount();
        if (pBest == nullptr || n < nBest) {
            pBest = t;
            nBest = n;
        }
    }
    LogStatistics();
    if (pBest != nullptr && nBest >= kMaxUsersPerThread) pBest = nullptr;
    if (pBest != nullptr && nBest == 0) return pBest;
    if (m_threads.size() < kMaxThreads) {
        CHttpServerTask* t = new CHttpServerTask(static_cast<int>(m_threads.size()) + 1);
        if (m_threads.capacity() == 0) m_threads.reserve(32);
        m_threads.push_back(t);
        t->Start();
        return t;
    }
    return pBest;
}
