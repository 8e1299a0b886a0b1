// The log line layout, threshold, hooks and truncation. The capturing output hook is
// installed before main by the test support; each test runs in its own process.
#include <gtest/gtest.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <regex>
#include <string>

#include "base/vnlog.h"
#include "base/vnthread.h"
#include "support/log_capture.h"

namespace {
void other_hook(int, const char*, int, const char*, int) {}
unsigned int fixed_regular_time() {
    return 1614852672u;
}  // 2021-03-04 10:11:12 UTC

vntest::LogLine only_line() {
    std::vector<vntest::LogLine> lines = vntest::LogLines();
    EXPECT_EQ(1u, lines.size());
    return lines.empty() ? vntest::LogLine{} : lines.back();
}
}  // namespace

TEST(Log, LineLayoutAndPrefixLength) {
    vntest::LogClear();
    syslog(3, "task", 78, "create a Task[%s]", "HttpClient");
    vntest::LogLine l = only_line();
    EXPECT_EQ(3, l.level);
    EXPECT_EQ("task", l.tag);
    EXPECT_EQ(78, l.line);
    std::regex layout(
        R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[\d+\]\[notice  \]\[unnamed thread:(\d+)\]\[task:78\]: create a Task\[HttpClient\]$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l.text, m, layout)) << l.text;
    EXPECT_EQ(std::to_string(vnthread_selfid()), m[1].str());
    EXPECT_EQ("create a Task[HttpClient]", l.message());
    EXPECT_EQ(": ", l.text.substr(static_cast<size_t>(l.prefixlen) - 2, 2));

    vntest::LogClear();
    vnthread_setname("HttpClient");
    syslog(0, "x", 1, "a");
    l = only_line();
    EXPECT_NE(std::string::npos, l.text.find("[important   ][HttpClient:" +
                                             std::to_string(vnthread_selfid()) + "][x:1]: a"));
    vnthread_setname(nullptr);
}

TEST(Log, ThresholdAndLabels) {
    const char* labels[] = {"[important   ]", "[error   ]", "[warning ]", "[notice  ]",
                            "[debug   ]"};
    for (int level = 0; level <= 4; ++level) {
        vntest::LogClear();
        syslog(level, "t", 1, "m");
        EXPECT_NE(std::string::npos, only_line().text.find(labels[level]));
    }
    syslog_setlevel(1);
    vntest::LogClear();
    syslog(2, "t", 1, "filtered");
    EXPECT_EQ(0u, vntest::LogLines().size());
    syslog(1, "t", 1, "kept");
    EXPECT_NE(std::string::npos, only_line().text.find("[error   ]"));
    // syslogv does not apply the threshold.
    vntest::LogClear();
    va_list none;
    auto call_v = [&](const char* fmt, ...) {
        va_start(none, fmt);
        syslogv(4, "t", 2, fmt, none);
        va_end(none);
    };
    call_v("v %d", 5);
    EXPECT_EQ("v 5", only_line().message());
    syslog_setlevel(4);
}

TEST(Log, HooksInstallOnce) {
    errno = 0;
    EXPECT_EQ(17, syslog_hook(other_hook));
    EXPECT_EQ(17, errno);
    vntest::LogClear();
    syslog(3, "t", 1, "still captured");
    EXPECT_EQ(1u, vntest::LogLines().size());

    EXPECT_EQ(0, sysregulartime_hook(fixed_regular_time));
    EXPECT_EQ(17, sysregulartime_hook(fixed_regular_time));
    vntest::LogClear();
    syslog(3, "t", 1, "two clocks");
    std::string text = only_line().text;
    std::regex two(R"(^\[[^\]]+\]\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[\d+\]\[notice  \].*)");
    EXPECT_TRUE(std::regex_match(text, two)) << text;
}

TEST(Log, LongMessagesAreCutAtTheLimit) {
    std::string msg(20000, 'a');
    vntest::LogClear();
    syslog(3, "t", 1, "%s", msg.c_str());
    std::string text = only_line().text;
    ASSERT_EQ(10243u, text.size());
    EXPECT_EQ("...", text.substr(10240));
    EXPECT_EQ('a', text[10239]);

    // Fill so that a 3-byte character straddles the limit at every possible offset: the
    // cut never splits it, and a character that fits whole is kept.
    vntest::LogClear();
    syslog(3, "t", 1, "x");
    const size_t prefix = static_cast<size_t>(only_line().prefixlen);
    const std::string han = "\xe4\xb8\xad";  // U+4E2D
    for (size_t pad = 0; pad < 3; ++pad) {
        std::string body(10240 - prefix - 3 + pad, 'a');
        for (int i = 0; i < 10; ++i)
            body += han;
        vntest::LogClear();
        syslog(3, "t", 1, "%s", body.c_str());
        text = only_line().text;
        ASSERT_EQ("...", text.substr(text.size() - 3));
        std::string kept = text.substr(0, text.size() - 3);
        EXPECT_LE(kept.size(), 10240u);
        EXPECT_GE(kept.size(), 10237u);
        // The kept part ends on a whole character.
        if (pad == 0) {
            EXPECT_EQ(10240u, kept.size());
            EXPECT_EQ(han, kept.substr(kept.size() - 3));
        } else {
            EXPECT_EQ(10237u + pad, kept.size());
            EXPECT_EQ('a', kept.back());
        }
    }
    // A lead byte of a four-byte sequence just before the limit is not kept alone.
    std::string body(10240 - prefix - 1, 'a');
    body += "\xf0\x9f\x98\x80";
    vntest::LogClear();
    syslog(3, "t", 1, "%s", body.c_str());
    text = only_line().text;
    EXPECT_EQ(std::string(10239 - prefix, 'a') + "...", text.substr(prefix));
}

TEST(Log, HugePrefixNeverOverflows) {
    std::string name(30000, 'n');
    vnthread_setname(name.c_str());
    vntest::LogClear();
    syslog(3, "t", 1, "m");
    std::string text = only_line().text;
    EXPECT_LE(text.size(), 10243u);
    EXPECT_EQ("...", text.substr(text.size() - 3));
    vnthread_setname(nullptr);
}
