// Installs the capturing log hook for a test program (see log_capture.h).
#include "support/log_capture.h"

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "base/vnlog.h"

namespace vntest {
namespace {

std::mutex& mu() {
    static std::mutex* m = new std::mutex;
    return *m;
}
std::condition_variable& cv() {
    static std::condition_variable* c = new std::condition_variable;
    return *c;
}
std::deque<LogLine>& lines() {
    static std::deque<LogLine>* l = new std::deque<LogLine>;
    return *l;
}
bool g_echo = false;

void hook(int level, const char* tag, int line, const char* text, int prefixlen) {
    if (g_echo) fprintf(stderr, "%s\n", text);
    std::lock_guard<std::mutex> guard(mu());
    lines().push_back(LogLine{level, tag ? tag : "", line, text, prefixlen});
    if (lines().size() > 20000) lines().pop_front();
    cv().notify_all();
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
    std::lock_guard<std::mutex> guard(mu());
    lines().clear();
}

std::vector<LogLine> LogLines() {
    std::lock_guard<std::mutex> guard(mu());
    return std::vector<LogLine>(lines().begin(), lines().end());
}

size_t LogCount(const std::string& needle) {
    std::lock_guard<std::mutex> guard(mu());
    size_t n = 0;
    for (const LogLine& l : lines()) {
        if (l.message().find(needle) != std::string::npos) ++n;
    }
    return n;
}

bool LogWaitFor(const std::string& needle, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mu());
    return cv().wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        for (const LogLine& l : lines()) {
            if (l.message().find(needle) != std::string::npos) return true;
        }
        return false;
    });
}

}  // namespace vntest
