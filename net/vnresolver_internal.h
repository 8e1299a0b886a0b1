// Internal header (not installed): host names resolved off the thread that needs them, so
// that a resolver that hangs never holds a connection's thread (its Stop, its delete, its
// time-outs).
//
// IResolver is where names are looked up: the process's own runs getaddrinfo on threads of
// its own; tests replace it (SetResolver) with one that answers as they please, or never.
// CNameQuery is one lookup for a task thread: it answers on the thread that started it,
// gives up after a time-out, and says nothing once cancelled.
//
// Thread safety: IResolver::Lookup may be called from any thread and answers from any
// thread. A CNameQuery is started, answered and cancelled on one task thread; only the
// resolver's answer crosses threads (under the query's own lock).
//   CNameQuery* q = CNameQuery::Start("example.com", 5000, [](int r, const auto& addrs) {...});
//   ... q->Cancel(); q->Release();      // on that thread, when the answer is no longer wanted
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "task/vnrefcount.h"

class CVNTaskBase;

namespace vn {
namespace detail {

class IResolver {
public:
    typedef std::function<void(std::vector<std::string> addrs)> Reply;
    virtual ~IResolver() {}
    // Looks host up; reply runs once, from any thread, with the numeric address texts of
    // either family in the order the system prefers them (empty when there are none) -- or
    // never, for a resolver that hangs.
    virtual void Lookup(const std::string& host, Reply reply) = 0;
};

// The resolver lookups go to (the process's own unless replaced).
IResolver* GetResolver();
// Replaces the resolver (null: the process's own again); returns the one before. Not owned:
// a replacement must outlive every lookup it was given.
IResolver* SetResolver(IResolver* pResolver);

class CNameQuery : public CRefCountSafe {
public:
    enum Result { kAnswered = 0, kTimedOut = 1 };
    typedef std::function<void(int nResult, const std::vector<std::string>& addrs)> Done;

    // Starts a lookup of host from the current task thread; done runs there once (addrs
    // empty when the name has none, or on kTimedOut after timeoutMs), unless Cancel came
    // first. One reference for the caller; null off a task thread.
    static CNameQuery* Start(const std::string& host, unsigned int timeoutMs, Done done);
    // On the starting thread: done will not run (it is let go of at once).
    void Cancel();

    // Task calls (the starting thread).
    int OnAnswer(CRefCount*);
    int OnTimeOut(CRefCount*);

private:
    CNameQuery(CVNTaskBase* pTask, Done done);
    ~CNameQuery() override;
    CNameQuery(const CNameQuery&) = delete;
    CNameQuery& operator=(const CNameQuery&) = delete;

    // From the resolver's thread: keeps the answer and asks the task thread to take it.
    void Reply(std::vector<std::string> addrs);
    void Finish(int nResult, const std::vector<std::string>& addrs);

    CVNTaskBase* m_pTask;   // one reference until finished or cancelled; guarded by m_lock
    Done m_done;            // the task thread's; empty once finished or cancelled
    unsigned int m_uTimer;  // the time-out's delayed task, 0 when none
    std::mutex m_lock;
    std::vector<std::string> m_answer;  // guarded by m_lock
};

}  // namespace detail
}  // namespace vn
