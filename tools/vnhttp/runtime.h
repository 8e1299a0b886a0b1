// Process-wide plumbing of vnhttp: the Ctrl-C flag, the monotonic clock, the library log
// on standard error, and running a function on a task thread and waiting for it. The
// signal handler only stores into a lock-free atomic; the main thread polls it between
// its bounded waits.
#pragma once

#include <stdint.h>

#include <atomic>
#include <functional>

class CVNTaskBase;

namespace vnhttp {

// The number of the last SIGINT/SIGTERM received, 0 when none.
extern std::atomic<int> g_stopSignal;

// Installs the SIGINT/SIGTERM handlers and ignores SIGPIPE (a closed standard output
// becomes a write error, not a silent death).
void InstallSignalHandlers();

// Milliseconds on CLOCK_MONOTONIC.
uint64_t NowMs();

// Sends the library's log lines to standard error (level 0-4), or keeps them quiet
// (level < 0, the default: no library line is formatted at all).
void SetLibraryLog(int level);

// Runs fn on task's worker and waits up to waitMs for it to return. False when it could not
// be queued or did not finish in time; then fn may still run later, so a caller that gets
// false must not return into the frames fn refers to (vnhttp exits at once).
bool RunOnTask(CVNTaskBase* task, std::function<void()> fn, long long waitMs);

// Queues fn for task's worker without waiting for it; false when it could not be queued
// (fn then never runs).
bool PostToTask(CVNTaskBase* task, std::function<void()> fn);

}  // namespace vnhttp
