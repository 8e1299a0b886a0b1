// The log line layout, threshold, hooks and the cut at the line limit. The capturing
// output hook is installed before main by the test support.
#include <gtest/gtest.h>
#include <errno.h>

#include <regex>
#include <string>

#include "base/vnlog.h"
#include "base/vnthread.h"
#include "support/log_capture.h"

namespace {
vntest::LogLine LogOne(int level, const std::string& msg) {
    vntest::LogClear();
    syslog(level, "task", 78, "%s", msg.c_str());
    std::vector<vntest::LogLine> lines = vntest::LogLines();
    EXPECT_EQ(1u, lines.size());
    return lines.empty() ? vntest::LogLine{} : lines.back();
}
void OtherHook(int, const char*, int, const char*, int) {}
unsigned int FixedRegularTime() {
    return 1614852672u;
}
}  // namespace

TEST(Log, LayoutLabelsAndThreshold) {
    vntest::LogLine l = LogOne(3, "create a Task[HttpClient]");
    std::regex layout(
        R"(^(?:\[[^\]]+\])?\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[\d+\]\[notice  \]\[unnamed thread:(\d+)\]\[task:78\]: create a Task\[HttpClient\]$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l.text, m, layout)) << l.text;
    EXPECT_EQ(std::to_string(vnthread_selfid()), m[1].str());
    EXPECT_EQ("create a Task[HttpClient]", l.message());
    const char* labels[] = {"[important   ]", "[error   ]", "[warning ]", "[notice  ]",
                            "[debug   ]"};
    for (int level = 0; level <= 4; ++level)
        EXPECT_NE(std::string::npos, LogOne(level, "m").text.find(labels[level])) << level;
    syslog_setlevel(1);
    vntest::LogClear();
    syslog(2, "t", 1, "filtered");
    EXPECT_EQ(0u, vntest::LogLines().size());
    syslog_setlevel(4);
    // Each hook installs once (the first time in the program); a regular-time hook adds a
    // second clock in front.
    errno = 0;
    EXPECT_EQ(17, syslog_hook(OtherHook));
    EXPECT_EQ(17, errno);
    sysregulartime_hook(FixedRegularTime);
    EXPECT_EQ(17, sysregulartime_hook(FixedRegularTime));
    std::regex two(R"(^\[[^\]]+\]\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[\d+\]\[notice  \].*)");
    std::string text = LogOne(3, "two clocks").text;
    EXPECT_TRUE(std::regex_match(text, two)) << text;
}

TEST(Log, CutKeepsWholeUtf8Characters) {
    std::string text = LogOne(3, std::string(20000, 'a')).text;
    ASSERT_EQ(10243u, text.size());
    EXPECT_EQ("...", text.substr(10240));
    const size_t prefix = static_cast<size_t>(LogOne(3, "x").prefixlen);
    const std::string han = "\xe4\xb8\xad";
    // A three-byte character at every offset across the limit: never split, kept when whole.
    for (size_t pad = 0; pad < 3; ++pad) {
        std::string body(10240 - prefix - 3 + pad, 'a');
        for (int i = 0; i < 10; ++i)
            body += han;
        text = LogOne(3, body).text;
        std::string kept = text.substr(0, text.size() - 3);
        EXPECT_EQ(pad == 0 ? 10240u : 10237u + pad, kept.size()) << pad;
        EXPECT_EQ(pad == 0 ? han : std::string(1, 'a'), kept.substr(kept.size() - (pad ? 1 : 3)));
    }
    // A name longer than the line leaves no message, and nothing overflows.
    const std::string name(30000, 'n');  // the name is kept by pointer
    vnthread_setname(name.c_str());
    text = LogOne(3, "m").text;
    vnthread_setname(nullptr);
    EXPECT_LE(text.size(), 10243u);
    EXPECT_EQ("...", text.substr(text.size() - 3));
}
