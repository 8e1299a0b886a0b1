// Process-wide plumbing of vnhttp (see runtime.h).
#include "runtime.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "base/vnevent.h"
#include "base/vnlog.h"
#include "task/vntask.h"

namespace vnhttp {

std::atomic<int> g_stopSignal{0};

namespace {

static_assert(std::atomic<int>::is_always_lock_free, "the signal flag must be lock-free");

void OnStopSignal(int signo) {
    g_stopSignal.store(signo, std::memory_order_relaxed);
}

void PrintLibraryLine(int, const char*, int, const char* text, int) {
    // One fputs per line: stdio locks the stream, so lines of different threads never mix.
    fprintf(stderr, "%s\n", text);
}

// A function queued for a task thread, with the event its caller waits on. Reference
// counted: the queued call holds one reference, the waiting caller the other, so whichever
// finishes last frees it (a caller that gave up waiting leaves it to the call).
class Job : public CRefCountSafe {
public:
    std::function<void()> fn;
    CVNEvent done{1, 0};
};

int RunJob(void* object, CRefCount*) {
    Job* job = static_cast<Job*>(object);
    job->fn();
    job->done.Post();
    return 0;
}

}  // namespace

void InstallSignalHandlers() {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

uint64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

void SetLibraryLog(int level) {
    if (level < 0) {
        syslog_setlevel(-1);
        return;
    }
    syslog_setlevel(level);
    syslog_hook(PrintLibraryLine);
}

bool RunOnTask(CVNTaskBase* task, std::function<void()> fn, long long waitMs) {
    Job* job = new Job;  // freed by the last of the queued call and this function
    job->fn = std::move(fn);
    unsigned int id = CVNTaskBase::PushTask(task, CScopeCall(job, job, &RunJob));
    bool finished = id != 0 && job->done.Wait(waitMs) != 0;
    job->Release();
    return finished;
}

bool PostToTask(CVNTaskBase* task, std::function<void()> fn) {
    Job* job = new Job;  // freed by the queued call, or here when it could not be queued
    job->fn = std::move(fn);
    unsigned int id = CVNTaskBase::PushTask(task, CScopeCall(job, job, &RunJob));
    job->Release();
    return id != 0;
}

}  // namespace vnhttp
