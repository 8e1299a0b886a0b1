// Test support: captures every vnbase log line of the test program. The hook is
// installed before main, since a process can install only one. Set VN_TEST_LOG=1 to
// also print the lines to stderr.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

namespace vntest {

struct LogLine {
    int level;
    std::string tag;
    int line;
    std::string text;
    int prefixlen;
    std::string message() const { return text.substr(static_cast<size_t>(prefixlen)); }
};

// Forgets what was captured so far.
void LogClear();
// A copy of the captured lines (the most recent 20000).
std::vector<LogLine> LogLines();
// Number of captured lines whose message part contains needle.
size_t LogCount(const std::string& needle);
// Waits up to timeout_ms for a line containing needle; true when seen.
bool LogWaitFor(const std::string& needle, int timeout_ms);

}  // namespace vntest
