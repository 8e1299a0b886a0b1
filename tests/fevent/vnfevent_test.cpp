// The descriptor event pump: the registration table and its errors, hang-up reports, what a
// callback learns of poll's findings, and callbacks that change the table while a pass
// runs.
#include <gtest/gtest.h>
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include "fevent/pump_test_support.h"
#include "fevent/vnfevent_internal.h"

using namespace pumptest;
typedef std::vector<std::pair<int, int>> Events;

namespace {
void Refused(int code, int rc) {
    EXPECT_EQ(code, rc);
    EXPECT_EQ(code, errno);
}
}  // namespace

// The table does not look at the descriptors: numbers nobody opened fill it here.
TEST(FeventTable, RefusalsAndTheCapacity) {
    EXPECT_EQ(0, vnfe_free(nullptr) + vnfe_clearup(nullptr) + vnfe_fdsize(nullptr) +
                     vnfe_is_added(nullptr, 0) + vnfe_loop(nullptr));
    Refused(22, vnfe_add(nullptr, 0, VN_EV_READ, 0, NeverCalled, nullptr, nullptr));
    Refused(9, vnfe_set(nullptr, 0, VN_EV_READ));
    Refused(9, vnfe_unset(nullptr, 0, VN_EV_READ));
    Pump pump;
    EXPECT_EQ(0, vnfe_loop(pump));
    for (int i = 0; i < VN_FE_CAPACITY; ++i)  // out of order: the table sorts them
        ASSERT_EQ(0,
                  vnfe_add(pump, 1000 + i * 37 % 64, VN_EV_READ, 0, NeverCalled, nullptr, nullptr));
    const int extra = 2000;
    Refused(12, vnfe_add(pump, extra, VN_EV_READ, 0, NeverCalled, nullptr, nullptr));
    Refused(12, vnfe_addonce(pump, extra, VN_EV_READ, NeverCalled, nullptr, 0, nullptr));
    Refused(17, vnfe_add(pump, 1010, VN_EV_WRITE, 0, NeverCalled, nullptr, nullptr));
    Refused(17, vnfe_addonce(pump, 1010, VN_EV_READ, NeverCalled, nullptr, 0, nullptr));
    Refused(22, vnfe_add(pump, -1, VN_EV_READ, 0, NeverCalled, nullptr, nullptr));
    Refused(22, vnfe_add(pump, extra, 0, 0, NeverCalled, nullptr, nullptr));
    Refused(22, vnfe_addonce(pump, extra, 0, NeverCalled, nullptr, 1000, nullptr));
    Refused(22, vnfe_add(pump, extra, VN_EV_READ, 0, nullptr, nullptr, nullptr));
    Refused(9, vnfe_set(pump, extra, VN_EV_READ));
    Refused(9, vnfe_unset(pump, extra, VN_EV_READ));
    EXPECT_EQ(0, vnfe_unset(pump, 1010, VN_EV_READ));  // without a removal callback
    EXPECT_EQ(0, vnfe_is_added(pump, 1010));
    EXPECT_EQ(1, vnfe_is_added(pump, 1063));
    EXPECT_EQ(VN_FE_CAPACITY - 1, vnfe_fdsize(pump));
    EXPECT_EQ(0, vnfe_clearup(pump));  // silently
    EXPECT_EQ(0, vnfe_fdsize(pump));
}

// A hang-up alone (a pipe's writer gone) is readable: the read finds the end; with only the
// time-out of interest (poll watches nothing) it is an error.
TEST(FeventReports, HangUpIsReadableOrAnError) {
    Pump pump;
    Recorder rec;
    Pair pair;
    int pipeFds[2];
    ASSERT_EQ(0, pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC));
    ASSERT_EQ(0, vnfe_addonce(pump, pair.a, VN_EV_TIMEOUT, OnEvent, &rec, 30000, OnRemoved));
    ASSERT_EQ(0, vnfe_addonce(pump, pipeFds[0], VN_EV_READ, OnEvent, &rec, 0, nullptr));
    pair.CloseB();
    close(pipeFds[1]);
    EXPECT_EQ(2, vnfe_loop(pump));
    EXPECT_EQ((Events{{pair.a, VN_EV_ERROR}, {pipeFds[0], VN_EV_READ}}), rec.events);
    EXPECT_EQ(std::vector<int>{pair.a}, rec.removed);
    EXPECT_EQ(0, vnfe_fdsize(pump));
    close(pipeFds[0]);
}

// Inside a callback the socket layer may ask whether poll found the descriptor readable
// without a hang-up (then a stream surely has bytes waiting): yes for bytes on a local
// stream, a TCP stream and a pipe; no once the peer has shut down or closed (even with
// bytes still waiting), for a time-out, for write readiness alone, and outside callbacks.
TEST(FeventReports, ReadableWithoutHangUpOnlyForBytesWithThePeerStillThere) {
    Pump pump;
    std::vector<std::pair<int, bool>> seen;  // (fd, answer) per callback
    Recorder rec;
    rec.onEvent = [&](void* p, int fd) {
        seen.emplace_back(fd, vn::detail::vnfe_readable_without_hangup(p));
    };
    Pair local, closing, silent;
    TcpPair tcp, tcpEnd;
    int pipeFds[2];
    ASSERT_EQ(0, pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC));
    local.Poke();
    ASSERT_EQ(1, write(tcp.client, "x", 1));
    ASSERT_EQ(1, write(pipeFds[1], "x", 1));
    closing.Poke();
    closing.CloseB();  // a byte waits, and the end after it
    ASSERT_EQ(1, write(tcpEnd.client, "x", 1));
    ASSERT_EQ(0, shutdown(tcpEnd.client, SHUT_WR));
    // The byte and the end as one report: wait (bounded) until the end has arrived too.
    struct pollfd end = {tcpEnd.server, POLLRDHUP, 0};
    ASSERT_EQ(1, poll(&end, 1, 2000));
    struct {
        int fd;
        bool expected;
    } const rows[] = {{local.a, true},
                      {tcp.server, true},
                      {pipeFds[0], true},
                      {closing.a, false},
                      {tcpEnd.server, false}};
    for (const auto& r : rows)
        ASSERT_EQ(0, vnfe_addonce(pump, r.fd, VN_EV_READ, OnEvent, &rec, 0, nullptr));
    ASSERT_EQ(0, vnfe_addonce(pump, silent.a, VN_EV_READ, OnEvent, &rec, 1, nullptr));
    ASSERT_EQ(0, vnfe_addonce(pump, silent.b, VN_EV_WRITE, OnEvent, &rec, 0, nullptr));
    // The TCP bytes and the end may take a moment to arrive; the time-out fires at the
    // first idle pass.
    ASSERT_TRUE(PumpUntil(pump, [&] { return vnfe_fdsize(pump) == 0; }));
    EXPECT_FALSE(vn::detail::vnfe_readable_without_hangup(pump));
    EXPECT_FALSE(vn::detail::vnfe_readable_without_hangup(nullptr));
    std::vector<std::pair<int, bool>> expected = {{silent.a, false}, {silent.b, false}};
    for (const auto& r : rows)
        expected.emplace_back(r.fd, r.expected);
    std::sort(seen.begin(), seen.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, seen);
    close(pipeFds[0]);
    close(pipeFds[1]);
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
