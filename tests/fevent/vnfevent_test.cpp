// The descriptor event pump: the registration table and its errors, persistent and
// one-shot interest, idle time-outs, error and end-of-stream reports, and callbacks that
// change the table while a pass runs.
#include <gtest/gtest.h>
#include <errno.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <memory>
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
    std::vector<std::unique_ptr<Pair>> pairs(VN_FE_CAPACITY + 1);
    std::vector<int> fds;
    for (auto& p : pairs)
        p.reset(new Pair), fds.push_back(p->a);
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
        EXPECT_EQ(p->a != extra && p->a % 3 != 0, vnfe_is_added(pump, p->a) == 1) << p->a;
        EXPECT_EQ(0, vnfe_is_added(pump, p->b));
        EXPECT_EQ(p->a % 3 == 0 && p->a != extra, rec.RemovalsFor(p->a) == 1) << p->a;
    }
    for (int fd : fds)
        ASSERT_TRUE(fd % 3 != 0 || vnfe_add(pump, fd, VN_EV_READ, 0, OnEvent, &rec, nullptr) == 0);
    // All 64 are polled, each with the interest of its first registration.
    for (auto& p : pairs)
        p->Poke();
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

TEST(FeventTimeout, ReadinessWinsAndDeadlinesCountWholeSeconds) {
    for (int timeoutMs : {0, 1}) {
        Pump pump;
        Pair pair;
        Recorder rec;
        pair.Poke();
        ASSERT_EQ(0, vnfe_addonce(pump, pair.a, VN_EV_READ | VN_EV_WRITE, OnEvent, &rec, timeoutMs,
                                  OnRemoved));
        EXPECT_EQ(1, vnfe_loop(pump));
        EXPECT_EQ((Events{{pair.a, VN_EV_READ | VN_EV_WRITE}}), rec.events);
        EXPECT_EQ(1, rec.RemovalsFor(pair.a));  // one-shot: every bit spent
    }
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
    {  // a hang-up with only the time-out of interest (poll watches nothing): an error
        Pair pair;
        rec = Recorder();
        ASSERT_EQ(0, vnfe_addonce(pump, pair.a, VN_EV_TIMEOUT, OnEvent, &rec, 30000, OnRemoved));
        pair.CloseB();
        EXPECT_EQ(1, vnfe_loop(pump));
        EXPECT_EQ((Events{{pair.a, VN_EV_ERROR}}), rec.events);
        EXPECT_EQ(1, rec.RemovalsFor(pair.a));
    }
    {  // an orderly close is readable with nothing to read, over TCP and a local stream
        TcpPair tcp;
        Pair pair;
        ASSERT_TRUE(tcp.ok());
        rec = Recorder();
        int waiting = -1;
        rec.onEvent = [&](void*, int fd) { ioctl(fd, FIONREAD, &waiting); };
        ASSERT_EQ(0, vnfe_add(pump, tcp.server, VN_EV_READ, VN_EV_READ, OnEvent, &rec, nullptr));
        ASSERT_EQ(0, vnfe_addonce(pump, pair.a, VN_EV_READ, OnEvent, &rec, 0, nullptr));
        tcp.CloseClient();
        pair.CloseB();
        ASSERT_TRUE(PumpUntil(pump, [&] { return rec.EventsFor(tcp.server) > 0; }));
        EXPECT_EQ(0, waiting);
        EXPECT_EQ(1, rec.EventsFor(pair.a));
        for (auto& e : rec.events)
            EXPECT_EQ(VN_EV_READ, e.second);
        EXPECT_EQ(1, vnfe_is_added(pump, tcp.server));
        EXPECT_EQ(0, vnfe_unset(pump, tcp.server, 0xFF));
    }
}

// A one-shot write registration (reported in every pass it exists) whose callbacks change
// it; three passes each.
TEST(FeventReentry, CallbacksThatChangeTheirOwnRegistration) {
    struct Case {
        const char* what;
        std::function<void(void*, int, Recorder&)> onEvent, onRemoved;
        size_t reports;
        long removals;
    };
    auto addAgain = [](void* p, int fd, Recorder& r) {
        EXPECT_EQ(0, vnfe_addonce(p, fd, VN_EV_WRITE, OnEvent, &r, 0, OnRemoved));
    };
    const Case cases[] = {
        {"removes itself",
         [](void* p, int fd, Recorder&) { EXPECT_EQ(0, vnfe_unset(p, fd, 0xFF)); }, nullptr, 1, 1},
        {"renews its interest twice",
         [](void* p, int fd, Recorder& r) {
             EXPECT_TRUE(r.events.size() > 2 || vnfe_set(p, fd, VN_EV_WRITE) == 0);
         },
         nullptr, 3, 1},
        {"ends itself and re-arms once",
         [&](void* p, int fd, Recorder& r) {
             if (r.events.size() > 1) return;
             Refused(17, vnfe_addonce(p, fd, VN_EV_WRITE, OnEvent, &r, 0, OnRemoved));
             EXPECT_EQ(0, vnfe_unset(p, fd, 0xFF));
             addAgain(p, fd, r);
         },
         nullptr, 2, 2},
        {"is registered again by its removal callback once", nullptr,
         [&](void* p, int fd, Recorder& r) {
             if (r.removed.size() == 1) addAgain(p, fd, r);
         },
         2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Pump pump;
        Pair pair;
        Recorder rec;
        if (c.onEvent) rec.onEvent = [&](void* p, int fd) { c.onEvent(p, fd, rec); };
        if (c.onRemoved) rec.onRemoved = [&](void* p, int fd) { c.onRemoved(p, fd, rec); };
        ASSERT_EQ(0, vnfe_add(pump, pair.a, VN_EV_WRITE, 0, OnEvent, &rec, OnRemoved));
        for (int pass = 0; pass < 3; ++pass)
            vnfe_loop(pump);
        EXPECT_EQ(c.reports, rec.events.size());
        EXPECT_EQ(c.removals, rec.RemovalsFor(pair.a));
        EXPECT_EQ(0, vnfe_fdsize(pump));
    }
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
