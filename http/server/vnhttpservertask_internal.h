// Internal header (not installed): the channel threads of the embedded HTTP server.
// CHttpServerTask is a CVNTaskIO named "HttpServerTask%02d" that counts the channels
// bound to it; CHttpServerThreadPool owns up to ten of them and picks one for each new
// connection (FindEasyThread): an idle thread first, else a new thread while fewer than
// ten exist, else the least loaded one holding fewer than twenty channels.
//
// Thread safety: the pool is used on "HttpSvr" only. The user count of a thread is
// changed with atomic adds by channels (construction on "HttpSvr", destruction on the
// channel thread) and read on "HttpSvr".
//   CHttpServerThreadPool pool;
//   CHttpServerTask* t = pool.FindEasyThread();   // null: every thread is full
#pragma once

#include <atomic>
#include <vector>

#include "fevent/vntaskio.h"

class CHttpServerTask : public CVNTaskIO {
public:
    // nNumber counts from 1 and names the thread.
    explicit CHttpServerTask(int nNumber);
    ~CHttpServerTask() override;

    int GetUserCount() const { return m_nUserCount.load(std::memory_order_relaxed); }
    void AddUser(int nDelta) { m_nUserCount.fetch_add(nDelta, std::memory_order_relaxed); }

protected:
    // On the new thread: asks the kernel not to let this thread preempt the one that woke
    // it (SCHED_BATCH at the same nice value); see the .cpp.
    void OnStart() override;

private:
    std::atomic<int> m_nUserCount;
};

class CHttpServerThreadPool {
public:
    enum { kMaxThreads = 10, kMaxUsersPerThread = 20 };

    CHttpServerThreadPool() {}
    // Stops and releases every thread.
    ~CHttpServerThreadPool();
    CHttpServerThreadPool(const CHttpServerThreadPool&) = delete;
    CHttpServerThreadPool& operator=(const CHttpServerThreadPool&) = delete;

    // Stops every thread (they stay allocated until the pool goes away).
    void StopAll();
    // The thread for a new connection, or null when every thread holds 20 channels.
    CHttpServerTask* FindEasyThread();
    size_t GetCount() const { return m_threads.size(); }
    CHttpServerTask* GetAt(size_t i) const { return m_threads[i]; }

private:
    void LogStatistics() const;

    std::vector<CHttpServerTask*> m_threads;  // one reference owned on each
};
