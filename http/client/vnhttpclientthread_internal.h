// Internal header (not installed): CHttpClientThread, the life of one HTTP client's
// "HttpClient" thread: created by the first request, ended by the stop timer, Stop or the
// client's destruction, and created again by the next request. A thread may be ended from
// inside itself (a sink that stops the client during a synchronous redirect, which runs on
// that thread): it cannot wait for itself, so it is retired, and whoever comes next from
// another thread (a start, a shutdown, the destructor) waits for it to end.
//
// Thread safety: every call may come from any thread. Shutdowns are serialised with each
// other and with the creation of the next thread, so a client's state reset (run by
// Shutdown once the thread has ended) never overlaps a new request.
//   CVNTaskIO* t = thread.Acquire();          // a new reference, or null
//   ... post to t ...; t->Release();
//   thread.Shutdown([] { return true; }, [&] { /* reset the request state */ });
#pragma once

#include <functional>

#include "base/vnlock.h"

class CVNTaskIO;

class CHttpClientThread {
public:
    CHttpClientThread();
    // Waits for a retired thread; the current one must have been shut down before.
    ~CHttpClientThread();
    CHttpClientThread(const CHttpClientThread&) = delete;
    CHttpClientThread& operator=(const CHttpClientThread&) = delete;

    // The thread, created and started when there is none: a new reference (the caller
    // releases it), or null when it cannot start. A shutdown in progress on another thread
    // is waited for first; on one of this client's threads nothing waits (the shutdown may
    // be waiting for that very thread).
    CVNTaskIO* Acquire();
    // Whether the calling thread is this client's HTTP thread (the current one, or one
    // being stopped or retired).
    bool IsCurrent() const;
    // Ends the thread when bWanted() says so (it is asked under the shutdown lock), then
    // runs fnReset once nothing else runs for the client: after the thread has ended, or,
    // on the thread itself, after its loop has been told to end (the thread is retired).
    // Does nothing on a thread of the client while another thread's shutdown is under way
    // (that one waits for this thread and does the work). false when nothing was done.
    bool Shutdown(const std::function<bool()>& bWanted, const std::function<void()>& fnReset);

private:
    CVNTaskIO* AcquireLocked();
    // Waits for the retired thread unless the caller is that thread.
    void JoinRetired();

    mutable CVNLock m_taskLock;  // guards the three pointers below
    CVNTaskIO* m_pTask;          // the current thread; one reference owned
    CVNTaskIO* m_pStopping;      // the thread a shutdown waits for; not counted
    CVNTaskIO* m_pRetired;       // ended from inside itself; one reference owned
    // Held by a shutdown for its whole length, and by the creation of the next thread.
    CVNLock m_shutdownLock;
};
