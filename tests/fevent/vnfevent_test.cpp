// The descriptor event pump: the registration table and its errors, persistent and
// one-shot interest, idle time-outs, error and hang-up reports, and callbacks that
// change the table while a pass runs.
#include <gtest/gtest.h>
#include <errno.h>
#include <unistd.h>

#include <random>

#include "fevent/pump_test_support.h"

using namespace pumptest;
typedef std::vector<std::pair<int, int>> Events;

namespace {
void Refused(int code, int rc) {
    EXPECT_EQ(code, rc);
    EXPECT_EQ(code, errno);
}
}  // namespace

TEST(FeventTable, RefusalsLookupAndEveryRegistrationPolled) {
    EXPECT_EQ(0, vnfe_free(nullptr) + vnfe_clearup(nullptr) + vnfe_fdsize(nullptr) +
                     vnfe_is_added(nullptr, 0) + vnfe_loop(nullptr));
    Refused(22, vnfe_add(nullptr, 0, VN_EV_READ, 0, NeverCalled, nullptr, nullptr));
    Refused(9, vnfe_set(nullptr, 0, VN_EV_READ));
    Refused(9, vnfe_unset(nullptr, 0, VN_EV_READ));
    Pump pump;
    std::vector<Pair> pairs(VN_FE_CAPACITY + 1);
    std::vector<int> fds;
    for (auto& p : pairs)
        fds.push_back(p.a);
    const int extra = fds.back();
    fds.pop_back();
    std::shuffle(fds.begin(), fds.end(), std::mt19937(12345));  // the table sorts them
    Recorder rec;
    for (int fd : fds)
        ASSERT_EQ(0, vnfe_add(pump, fd, VN_EV_READ, VN_EV_READ, OnEvent, &rec, OnRemoved));
    Refused(12, vnfe_add(pump, extra, VN_EV_READ, 0, NeverCalled, nullptr, nullptr));
    Refused(12, vnfe_addonce(pump, extra, VN_EV_READ, NeverCalled, nullptr, 0, nullptr));
    Refused(17, vnfe_add(pump, fds[10], VN_EV_WRITE, 0, NeverCalled, nullptr, nullptr));
    Refused(17, vnfe_addonce(pump, fds[10], VN_EV_READ, NeverCalled, nullptr, 0, nullptr));
    Refused(22, vnfe_add(pump, -1, VN_EV_READ, 0, NeverCalled, nullptr, nullptr));
    Refused(22, vnfe_add(pump, extra, 0, 0, NeverCalled, nullptr, nullptr));
    Refused(22, vnfe_addonce(pump, extra, 0, NeverCalled, nullptr, 1000, nullptr));
    Refused(22, vnfe_add(pump, extra, VN_EV_READ, 0, nullptr, nullptr, nullptr));
    Refused(9, vnfe_set(pump, extra, VN_EV_READ));
    Refused(9, vnfe_unset(pump, extra, VN_EV_READ));

    for (int fd : fds)
        ASSERT_TRUE(fd % 3 != 0 || vnfe_unset(pump, fd, VN_EV_READ | VN_EV_WRITE) == 0);
    for (auto& p : pairs) {
        EXPECT_EQ(p.a != extra && p.a % 3 != 0, vnfe_is_added(pump, p.a) == 1) << p.a;
        EXPECT_EQ(0, vnfe_is_added(pump, p.b));
        EXPECT_EQ(p.a % 3 == 0 && p.a != extra, rec.RemovalsFor(p.a) == 1) << p.a;
    }
    for (int fd : fds)
        ASSERT_TRUE(fd % 3 != 0 || vnfe_add(pump, fd, VN_EV_READ, 0, OnEvent, &rec, nullptr) == 0);
    // All 64 are polled, each with the interest of its first registration.
    for (auto& p : pairs)
        p.Poke();
    EXPECT_EQ(VN_FE_CAPACITY, vnfe_loop(pump));
    for (auto& e : rec.events)
        EXPECT_EQ(VN_EV_READ, e.second);
    EXPECT_EQ(0, vnfe_clearup(pump));  // silently
    EXPECT_EQ(0, vnfe_fdsize(pump) + vnfe_is_added(pump, fds[0]));
    // A pass over an empty pump does not wait (a poll of 1 ms would take a second here).
    long long start = iotest::NowUs();
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(0, vnfe_loop(pump));
    EXPECT_LT(iotest::NowUs() - start, 500000);
    ASSERT_EQ(0, vnfe_add(pump, fds[0], VN_EV_READ, 0, NeverCalled, nullptr, nullptr));
}

TEST(FeventDispatch, PersistentAndOneShotInterest) {
    Pump pump;
    Pair pair;
    Recorder rec;
    std::vector<int> seen;  // inside a callback the spent registration is still known
    rec.onEvent = [&](void* p, int fd) { seen.push_back(vnfe_is_added(p, fd)); };
    rec.onRemoved = [&](void* p, int fd) { seen.push_back(10 + vnfe_is_added(p, fd)); };
    const int a = pair.a;
    ASSERT_EQ(0, vnfe_add(pump, a, VN_EV_READ | VN_EV_WRITE, VN_EV_READ, OnEvent, &rec, OnRemoved));
    EXPECT_EQ(1, vnfe_loop(pump));  // writable at once; the write interest is spent
    EXPECT_EQ(0, vnfe_loop(pump));
    pair.Poke();  // level-triggered: reported in every pass while the data waits
    EXPECT_EQ(1, vnfe_loop(pump));
    EXPECT_EQ(1, vnfe_loop(pump));
    EXPECT_EQ(0, vnfe_set(pump, a, VN_EV_WRITE));
    EXPECT_EQ(1, vnfe_loop(pump));
    EXPECT_EQ(0, vnfe_set(pump, a, VN_EV_WRITE));
    EXPECT_EQ(0, vnfe_unset(pump, a, VN_EV_WRITE));  // read interest left: kept
    EXPECT_EQ(0, vnfe_unset(pump, a, 0xFF));
    Refused(9, vnfe_unset(pump, a, 0xFF));
    ASSERT_EQ(0, vnfe_add(pump, a, VN_EV_WRITE, 0, OnEvent, &rec, OnRemoved));
    EXPECT_EQ(1, vnfe_loop(pump));
    EXPECT_EQ((Events{{a, 4}, {a, 2}, {a, 2}, {a, 6}, {a, 4}}), rec.events);
    EXPECT_EQ((std::vector<int>{1, 1, 1, 1, 10, 1, 10}), seen);
    // Without a removal callback a spent or unset registration simply goes.
    ASSERT_EQ(0, vnfe_add(pump, a, VN_EV_WRITE, 0, OnEvent, &rec, nullptr));
    EXPECT_EQ(1, vnfe_loop(pump));
    ASSERT_EQ(0, vnfe_add(pump, a, VN_EV_WRITE, 0, NeverCalled, nullptr, nullptr));
    EXPECT_EQ(0, vnfe_unset(pump, a, VN_EV_WRITE));
    EXPECT_EQ(0, vnfe_fdsize(pump));
    EXPECT_EQ(2u, rec.removed.size());
}

TEST(FeventTimeout, OnlyOneShotsWithATimeOutHaveADeadlineInWholeSeconds) {
    // Only one-shots with a time-out have a deadline; one of 2 s fires after 1 to 2 s.
    Pump pump;
    Pair quiet, lasting, timed;
    Recorder rec;
    long long start = iotest::NowUs();
    ASSERT_EQ(0, vnfe_addonce(pump, quiet.a, VN_EV_READ, OnEvent, &rec, 0, OnRemoved));
    ASSERT_EQ(0, vnfe_add(pump, lasting.a, VN_EV_READ, VN_EV_READ, OnEvent, &rec, OnRemoved));
    ASSERT_EQ(0, vnfe_addonce(pump, timed.a, VN_EV_READ, OnEvent, &rec, 2000, OnRemoved));
    ASSERT_TRUE(PumpUntil(
        pump, [&] { return !rec.events.empty(); }, 5000));
    long long elapsedMs = (iotest::NowUs() - start) / 1000;
    EXPECT_GE(elapsedMs, 950);
    EXPECT_LE(elapsedMs, 2200);
    EXPECT_EQ((Events{{timed.a, VN_EV_TIMEOUT}}), rec.events);
    EXPECT_EQ((std::vector<int>{timed.a}), rec.removed);
}

TEST(FeventReports, ClosedResetAndHungUpDescriptors) {
    Pump pump;
    Recorder rec;
    {  // closed behind the pump's back: an error; the healthy one is reported in the same pass
        Pair pair, other;
        const int dead = pair.a;
        ASSERT_EQ(0, vnfe_add(pump, dead, VN_EV_READ, VN_EV_READ, OnEvent, &rec, OnRemoved));
        ASSERT_EQ(0, vnfe_add(pump, other.a, VN_EV_READ, VN_EV_READ, OnEvent, &rec, OnRemoved));
        pair.CloseA();
        other.Poke();
        EXPECT_EQ(2, vnfe_loop(pump));
        std::sort(rec.events.begin(), rec.events.end());
        EXPECT_EQ((Events{{std::min(dead, other.a), dead < other.a ? 8 : 2},
                          {std::max(dead, other.a), dead < other.a ? 2 : 8}}),
                  rec.events);
        EXPECT_EQ((std::vector<int>{dead}), rec.removed);
        EXPECT_EQ(0, vnfe_unset(pump, other.a, 0xFF));
    }
    {  // a reset with data waiting and both interests: one report of 0x8 alone
        TcpPair tcp;
        ASSERT_TRUE(tcp.ok());
        ASSERT_EQ(3, write(tcp.client, "abc", 3));
        rec = Recorder();
        ASSERT_EQ(0, vnfe_add(pump, tcp.server, 6, 6, OnEvent, &rec, OnRemoved));
        tcp.ResetClient();
        ASSERT_TRUE(PumpUntil(pump, [&] { return rec.removed.size() == 1; }));
        EXPECT_EQ(VN_EV_ERROR, rec.events.back().second);
        for (auto& e : rec.events)
            EXPECT_TRUE(e.second == 8 || (e.second & 8) == 0) << e.second;
    }
    {  // a hang-up alone (a pipe's writer gone) is readable: the read finds the end; with
       // only the time-out of interest (poll watches nothing) it is an error
        Pair pair;
        int pipeFds[2];
        ASSERT_EQ(0, pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC));
        rec = Recorder();
        ASSERT_EQ(0, vnfe_addonce(pump, pair.a, VN_EV_TIMEOUT, OnEvent, &rec, 30000, OnRemoved));
        ASSERT_EQ(0, vnfe_addonce(pump, pipeFds[0], VN_EV_READ, OnEvent, &rec, 0, OnRemoved));
        pair.CloseB();
        close(pipeFds[1]);
        EXPECT_EQ(2, vnfe_loop(pump));
        EXPECT_EQ((Events{{pair.a, VN_EV_ERROR}, {pipeFds[0], VN_EV_READ}}), rec.events);
        EXPECT_EQ(2u, rec.removed.size());
        close(pipeFds[0]);
    }
}

// A one-shot write registration (reported in every pass it exists) ends itself inside its
// callback and registers anew; that one is reported in the next pass, and its removal
// callback registers it once more.
TEST(FeventReentry, CallbacksThatChangeTheirOwnRegistration) {
    Pump pump;
    Pair pair;
    Recorder rec;
    auto addAgain = [&](void* p, int fd) {
        return vnfe_addonce(p, fd, VN_EV_WRITE, OnEvent, &rec, 0, OnRemoved);
    };
    rec.onEvent = [&](void* p, int fd) {
        if (rec.events.size() > 1) return;
        Refused(17, addAgain(p, fd));
        EXPECT_EQ(0, vnfe_unset(p, fd, 0xFF));
        EXPECT_EQ(0, addAgain(p, fd));
    };
    rec.onRemoved = [&](void* p, int fd) {
        EXPECT_TRUE(rec.removed.size() != 2 || addAgain(p, fd) == 0);
    };
    ASSERT_EQ(0, vnfe_add(pump, pair.a, VN_EV_WRITE, 0, OnEvent, &rec, OnRemoved));
    for (int pass = 0; pass < 4; ++pass)
        vnfe_loop(pump);
    EXPECT_EQ(3u, rec.events.size());
    EXPECT_EQ(3, rec.RemovalsFor(pair.a));
    EXPECT_EQ(0, vnfe_fdsize(pump));
}

// Two readable registrations; the callback of the one dispatched first changes the other.
TEST(FeventReentry, CallbackChangesALaterRegistration) {
    const struct {
        int interest, dropped;
        bool replace;  // registered anew at once: the report gathered for the old one is dropped
        Events later;  // what the later registration is reported in the pass
    } cases[] = {{2, 2, false, {}}, {6, 4, false, {{0, 2}}}, {6, 0xFF, true, {}}};
    for (const auto& c : cases) {
        Pump pump;
        Pair p1, p2;
        p1.Poke(), p2.Poke();
        const int low = std::min(p1.a, p2.a), high = std::max(p1.a, p2.a);
        Recorder rec, replacement;
        rec.onEvent = [&](void* p, int fd) {
            if (fd != low) return;
            EXPECT_EQ(0, vnfe_unset(p, high, c.dropped));
            if (c.replace) {
                EXPECT_EQ(0, vnfe_add(p, high, 2, 2, OnEvent, &replacement, OnRemoved));
            }
        };
        ASSERT_EQ(0, vnfe_add(pump, low, VN_EV_READ, VN_EV_READ, OnEvent, &rec, OnRemoved));
        ASSERT_EQ(0, vnfe_add(pump, high, c.interest, c.interest, OnEvent, &rec, OnRemoved));
        EXPECT_EQ(1 + static_cast<int>(c.later.size()), vnfe_loop(pump));
        Events later(rec.events.begin() + 1, rec.events.end());
        for (auto& e : later)
            e.first = e.first == high ? 0 : e.first;
        EXPECT_EQ(c.later, later);
        EXPECT_EQ(c.later.empty() ? 1 : 0, rec.RemovalsFor(high));
        EXPECT_TRUE(replacement.events.empty());
        rec.onEvent = nullptr;
        vnfe_loop(pump);  // the next pass polls the new registration
        EXPECT_EQ(c.replace ? 1u : 0u, replacement.events.size());
    }
}
