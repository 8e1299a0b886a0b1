// Installs the capturing log hook for a test program (see log_capture.h).
#include "support/log_capture.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "base/vnlog.h"

namespace vntest {
namespace {

// Never destroyed: log lines may come from threads that outlive main.
struct State {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<LogLine> lines;
};
State& state() {
    static State* s = new State;
    return *s;
}
bool g_echo = false;

void hook(int level, const char* tag, int line, const char* text, int prefixlen) {
    if (g_echo) fprintf(stderr, "%s\n", text);
    State& s = state();
    std::lock_guard<std::mutex> guard(s.mu);
    s.lines.push_back(LogLine{level, tag ? tag : "", line, text, prefixlen});
    if (s.lines.size() > 20000) s.lines.pop_front();
    s.cv.notify_all();
}

struct Installer {
    Installer() {
        const char* echo = getenv("VN_TEST_LOG");
        g_echo = echo != nullptr && echo[0] == '1';
        syslog_hook(hook);
    }
} g_installer;

}  // namespace

void LogClear() {
    std::lock_guard<std::mutex> guard(state().mu);
    state().lines.clear();
}

std::vector<LogLine> LogLines() {
    std::lock_guard<std::mutex> guard(state().mu);
    return std::vector<LogLine>(state().lines.begin(), state().lines.end());
}

size_t LogCount(const std::string& needle) {
    std::lock_guard<std::mutex> guard(state().mu);
    size_t n = 0;
    for (const LogLine& l : state().lines)
        n += l.message().find(needle) != std::string::npos;
    return n;
}

bool LogWaitFor(const std::string& needle, int timeout_ms) {
    std::unique_lock<std::mutex> lock(state().mu);
    return state().cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        return std::any_of(state().lines.begin(), state().lines.end(), [&](const LogLine& l) {
            return l.message().find(needle) != std::string::npos;
        });
    });
}

}  // namespace vntest
