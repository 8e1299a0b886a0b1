// The descriptor event pump: the registration table and its errors, persistent and
// one-shot interest, idle time-outs, error and end-of-stream reports, and callbacks that
// change the table while a pass runs.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "fevent/pump_test_support.h"
#include "fevent/vnfevent.h"

using pumptest::NeverCalled;
using pumptest::NeverRemoved;
using pumptest::now_ms;
using pumptest::OnEvent;
using pumptest::OnRemoved;
using pumptest::Pair;
using pumptest::Pump;
using pumptest::PumpUntil;
using pumptest::Recorder;
using pumptest::TcpPair;

// ---- The registration table ----

TEST(FeventTable, RefusedAddsAndTheSixtyFifthRegistration) {
    Pump pump;
    std::vector<std::unique_ptr<Pair>> pairs;
    for (int i = 0; i < 33; ++i) {
        pairs.emplace_back(new Pair);
        ASSERT_GE(pairs.back()->b, 0);
    }
    std::vector<int> fds;
    for (auto& p : pairs) {
        fds.push_back(p->a);
        fds.push_back(p->b);
    }
    Recorder rec;
    for (int i = 0; i < VN_FE_CAPACITY; ++i) {
        ASSERT_EQ(0, vnfe_add(pump, fds[i], VN_EV_READ, VN_EV_READ, OnEvent, &rec, OnRemoved));
    }
    EXPECT_EQ(64, vnfe_fdsize(pump));
    EXPECT_EQ(12, vnfe_add(pump, fds[64], VN_EV_READ, 0, NeverCalled, nullptr, NeverRemoved));
    EXPECT_EQ(12, vnfe_addonce(pump, fds[64], VN_EV_READ, NeverCalled, nullptr, 0, NeverRemoved));
    EXPECT_EQ(17, vnfe_add(pump, fds[10], VN_EV_READ, 0, NeverCalled, nullptr, NeverRemoved));
    EXPECT_EQ(22, vnfe_add(pump, -1, VN_EV_READ, 0, NeverCalled, nullptr, NeverRemoved));
    EXPECT_EQ(22, vnfe_add(pump, fds[64], 0, 0, NeverCalled, nullptr, NeverRemoved));
    EXPECT_EQ(9, vnfe_set(pump, fds[64], VN_EV_READ));

    // Freeing a slot makes room again.
    EXPECT_EQ(0, vnfe_unset(pump, fds[0], VN_EV_READ));
    EXPECT_EQ(1, rec.RemovalsFor(fds[0]));
    EXPECT_EQ(0, vnfe_add(pump, fds[64], VN_EV_READ, VN_EV_READ, OnEvent, &rec, OnRemoved));
    EXPECT_EQ(64, vnfe_fdsize(pump));

    // All 64 are watched: a write to the last pair's peer reaches its registration.
    ASSERT_EQ(1, write(pairs[32]->b, "x", 1));  // fds[65] is pairs[32]->b, fds[64] its peer
    EXPECT_TRUE(PumpUntil(
        pump, [&] { return rec.EventsFor(fds[64]) > 0; }, 2000));
}

// ---- Interest and reports ----

TEST(FeventDispatch, PersistentReadAndOneShotWrite) {
    Pump pump;
    Pair pair;
    Recorder rec;
    ASSERT_EQ(
        0, vnfe_add(pump, pair.a, VN_EV_READ | VN_EV_WRITE, VN_EV_READ, OnEvent, &rec, OnRemoved));
    // Writable at once, nothing to read: one report of 0x4; read interest stays.
    EXPECT_EQ(1, vnfe_loop(pump));
    ASSERT_EQ(1u, rec.events.size());
    EXPECT_EQ(pair.a, rec.events[0].fd);
    EXPECT_EQ(VN_EV_WRITE, rec.events[0].events);
    EXPECT_EQ(1, vnfe_is_added(pump, pair.a));
    EXPECT_EQ(0, vnfe_loop(pump));  // write interest is gone, nothing to read
    EXPECT_EQ(1u, rec.events.size());

    // Readable: reported, and again on the next pass while the data waits (level).
    pair.Poke();
    EXPECT_EQ(1, vnfe_loop(pump));
    EXPECT_EQ(1, vnfe_loop(pump));
    ASSERT_EQ(3u, rec.events.size());
    EXPECT_EQ(VN_EV_READ, rec.events[1].events);
    EXPECT_EQ(VN_EV_READ, rec.events[2].events);
    EXPECT_EQ(1, vnfe_is_added(pump, pair.a));
    EXPECT_TRUE(rec.removed.empty());
}

TEST(FeventDispatch, OneShotWriteIsRemovedAfterItsReport) {
    Pump pump;
    Pair pair;
    Recorder rec;
    std::vector<int> order;
    rec.onEvent = [&](void* p, int fd, int) {
        order.push_back(1);
        // Inside its callback the spent registration is still known, with no interest.
        EXPECT_EQ(1, vnfe_is_added(p, fd));
    };
    rec.onRemoved = [&](void* p, int fd) {
        order.push_back(2);
        EXPECT_EQ(0, vnfe_is_added(p, fd));
    };
    ASSERT_EQ(0, vnfe_add(pump, pair.a, VN_EV_WRITE, 0, OnEvent, &rec, OnRemoved));
    EXPECT_EQ(1, vnfe_loop(pump));
    ASSERT_EQ(1u, rec.events.size());
    EXPECT_EQ(VN_EV_WRITE, rec.events[0].events);
    EXPECT_EQ(0, vnfe_is_added(pump, pair.a));
    EXPECT_EQ(0, vnfe_fdsize(pump));
    ASSERT_EQ(1u, rec.removed.size());
    EXPECT_EQ(pair.a, rec.removed[0]);
    EXPECT_EQ((std::vector<int>{1, 2}), order);
    // Without a removal callback the registration simply goes.
    Recorder plain;
    ASSERT_EQ(0, vnfe_add(pump, pair.a, VN_EV_WRITE, 0, OnEvent, &plain, nullptr));
    EXPECT_EQ(1, vnfe_loop(pump));
    EXPECT_EQ(1u, plain.events.size());
    EXPECT_EQ(0, vnfe_fdsize(pump));
}

// ---- Idle time-outs ----

// ---- End of stream and errors ----

TEST(FeventReports, DescriptorClosedBehindThePumpsBackIsAnErrorAndRemoved) {
    Pump pump;
    Pair pair;
    Pair other;
    Recorder rec;
    ASSERT_EQ(0, vnfe_add(pump, pair.a, VN_EV_READ, VN_EV_READ, OnEvent, &rec, OnRemoved));
    ASSERT_EQ(0, vnfe_add(pump, other.a, VN_EV_READ, VN_EV_READ, OnEvent, &rec, OnRemoved));
    int dead = pair.a;
    pair.CloseA();
    other.Poke();  // the healthy registration still gets its report in the same pass
    EXPECT_EQ(2, vnfe_loop(pump));
    EXPECT_EQ(1, rec.EventsFor(dead));
    EXPECT_EQ(1, rec.EventsFor(other.a));
    for (const Recorder::Event& e : rec.events) {
        EXPECT_EQ(e.fd == dead ? VN_EV_ERROR : VN_EV_READ, e.events);
    }
    EXPECT_EQ(0, vnfe_is_added(pump, dead));
    EXPECT_EQ(1, rec.RemovalsFor(dead));
    EXPECT_EQ(1, vnfe_is_added(pump, other.a));
}

TEST(FeventReports, ResetIsAnErrorReportedAlone) {
    Pump pump;
    TcpPair tcp;
    ASSERT_TRUE(tcp.ok());
    Recorder rec;
    // Read and write interest, data waiting: a reset still yields one report of 0x8 only.
    ASSERT_EQ(3, write(tcp.client, "abc", 3));
    ASSERT_EQ(0, vnfe_add(pump, tcp.server, VN_EV_READ | VN_EV_WRITE, VN_EV_READ | VN_EV_WRITE,
                          OnEvent, &rec, OnRemoved));
    tcp.ResetClient();
    ASSERT_TRUE(PumpUntil(
        pump, [&] { return !rec.events.empty() && rec.events.back().events == VN_EV_ERROR; },
        2000));
    EXPECT_EQ(VN_EV_ERROR, rec.events.back().events);
    for (const Recorder::Event& e : rec.events) {
        // Reports before the reset arrived are plain readiness; never mixed with an error.
        EXPECT_TRUE(e.events == VN_EV_ERROR || (e.events & VN_EV_ERROR) == 0) << e.events;
    }
    EXPECT_EQ(0, vnfe_is_added(pump, tcp.server));
    EXPECT_EQ(1, rec.RemovalsFor(tcp.server));
}

TEST(FeventReports, HangupWithNothingWatchableEndsTheRegistration) {
    // Interest in the time-out only: poll watches nothing but still reports the hang-up.
    // That must end the registration, or every later pass would wake for it at once.
    Pump pump;
    Pair pair;
    Recorder rec;
    ASSERT_EQ(0, vnfe_addonce(pump, pair.a, VN_EV_TIMEOUT, OnEvent, &rec, 30000, OnRemoved));
    pair.CloseB();
    EXPECT_EQ(1, vnfe_loop(pump));
    ASSERT_EQ(1u, rec.events.size());
    EXPECT_EQ(VN_EV_ERROR, rec.events[0].events);
    EXPECT_EQ(1, rec.RemovalsFor(pair.a));
}

// ---- Callbacks that change the table during a pass ----

namespace {
// Two pairs whose a ends are readable; low is the one dispatched first in a pass.
struct TwoReady {
    Pair p1;
    Pair p2;
    int low = std::min(p1.a, p2.a);
    int high = std::max(p1.a, p2.a);
    TwoReady() {
        p1.Poke();
        p2.Poke();
    }
};
}  // namespace

TEST(FeventReentry, CallbackRemovesItself) {
    // A lasting registration, and a one-shot whose interest is already spent when its
    // callback removes it: either way exactly one removal callback, from vnfe_unset.
    Pump pump;
    Pair lasting;
    Pair spent;
    Recorder rec;
    rec.onEvent = [&](void* p, int fd, int) { EXPECT_EQ(0, vnfe_unset(p, fd, 0xFF)); };
    ASSERT_EQ(0, vnfe_add(pump, lasting.a, VN_EV_READ | VN_EV_WRITE, VN_EV_READ | VN_EV_WRITE,
                          OnEvent, &rec, OnRemoved));
    ASSERT_EQ(0, vnfe_add(pump, spent.a, VN_EV_WRITE, 0, OnEvent, &rec, OnRemoved));
    EXPECT_EQ(2, vnfe_loop(pump));
    EXPECT_EQ(2u, rec.events.size());
    EXPECT_EQ(1, rec.RemovalsFor(lasting.a));
    EXPECT_EQ(1, rec.RemovalsFor(spent.a));
    EXPECT_EQ(0, vnfe_fdsize(pump));
}

TEST(FeventReentry, ReplacedRegistrationDoesNotGetTheOldReport) {
    Pump pump;
    TwoReady two;
    Recorder rec;
    Recorder replacement;
    const int low = two.low;
    const int high = two.high;
    rec.onEvent = [&](void* p, int fd, int) {
        if (fd != low) return;
        EXPECT_EQ(0, vnfe_unset(p, high, 0xFF));
        EXPECT_EQ(0, vnfe_add(p, high, VN_EV_READ, VN_EV_READ, OnEvent, &replacement, OnRemoved));
    };
    ASSERT_EQ(0, vnfe_add(pump, low, VN_EV_READ, VN_EV_READ, OnEvent, &rec, OnRemoved));
    ASSERT_EQ(0, vnfe_add(pump, high, VN_EV_READ | VN_EV_WRITE, VN_EV_READ | VN_EV_WRITE, OnEvent,
                          &rec, OnRemoved));
    // The report gathered for the old registration is dropped, not handed to the new one.
    EXPECT_EQ(1, vnfe_loop(pump));
    EXPECT_EQ(0, rec.EventsFor(high));
    EXPECT_EQ(1, rec.RemovalsFor(high));
    EXPECT_TRUE(replacement.events.empty());
    // The next pass polls the new registration.
    rec.onEvent = nullptr;
    EXPECT_EQ(2, vnfe_loop(pump));
    ASSERT_EQ(1u, replacement.events.size());
    EXPECT_EQ(VN_EV_READ, replacement.events[0].events);
}

TEST(FeventReentry, OneShotRearmedInsideItsCallback) {
    // What a socket does to wait again: the spent registration is still present, so a new
    // one-shot is refused until the old one is removed.
    Pump pump;
    Pair pair;
    Recorder rec;
    rec.onEvent = [&](void* p, int fd, int) {
        if (rec.events.size() > 1) return;
        EXPECT_EQ(17, vnfe_addonce(p, fd, VN_EV_READ, OnEvent, &rec, 0, OnRemoved));
        EXPECT_EQ(0, vnfe_unset(p, fd, 0xFF));
        EXPECT_EQ(0, vnfe_addonce(p, fd, VN_EV_READ, OnEvent, &rec, 0, OnRemoved));
    };
    pair.Poke();
    ASSERT_EQ(0, vnfe_addonce(pump, pair.a, VN_EV_READ, OnEvent, &rec, 0, OnRemoved));
    EXPECT_EQ(1, vnfe_loop(pump));
    EXPECT_EQ(1, rec.RemovalsFor(pair.a));
    EXPECT_EQ(1, vnfe_is_added(pump, pair.a));  // the new one-shot survived the pass
    EXPECT_EQ(1, vnfe_loop(pump));              // and receives the data still waiting
    EXPECT_EQ(2u, rec.events.size());
    EXPECT_EQ(2, rec.RemovalsFor(pair.a));
    EXPECT_EQ(0, vnfe_fdsize(pump));
}

TEST(FeventTable, NullHandlesAreHarmless) {
    EXPECT_EQ(0, vnfe_free(nullptr));
    EXPECT_EQ(0, vnfe_clearup(nullptr));
    EXPECT_EQ(0, vnfe_fdsize(nullptr));
    EXPECT_EQ(0, vnfe_is_added(nullptr, 0));
    EXPECT_EQ(0, vnfe_loop(nullptr));
    EXPECT_EQ(22, vnfe_add(nullptr, 0, VN_EV_READ, 0, NeverCalled, nullptr, NeverRemoved));
    EXPECT_EQ(9, vnfe_set(nullptr, 0, VN_EV_READ));
    EXPECT_EQ(9, vnfe_unset(nullptr, 0, VN_EV_READ));
}

TEST(FeventTable, LookupStaysRightThroughMixedAddsAndRemoves) {
    // The table is never polled here, so plain numbers serve as descriptors.
    Pump pump;
    std::vector<int> fds;
    for (int fd = 1000; fd < 1000 + VN_FE_CAPACITY; ++fd)
        fds.push_back(fd);
    std::mt19937 rng(12345);
    std::shuffle(fds.begin(), fds.end(), rng);
    Recorder rec;
    for (int fd : fds) {
        ASSERT_EQ(0, vnfe_add(pump, fd, VN_EV_READ, 0, NeverCalled, &rec, OnRemoved));
    }
    for (int fd : fds) {
        if (fd % 3 == 0) {
            ASSERT_EQ(0, vnfe_unset(pump, fd, VN_EV_READ | VN_EV_WRITE));
        }
    }
    int expected = 0;
    for (int fd = 990; fd < 1000 + VN_FE_CAPACITY + 10; ++fd) {
        bool in = fd >= 1000 && fd < 1000 + VN_FE_CAPACITY && fd % 3 != 0;
        EXPECT_EQ(in ? 1 : 0, vnfe_is_added(pump, fd)) << fd;
        expected += in ? 1 : 0;
    }
    EXPECT_EQ(expected, vnfe_fdsize(pump));
    EXPECT_EQ(static_cast<size_t>(VN_FE_CAPACITY - expected), rec.removed.size());

    // Re-adding the removed ones restores a full table; then clearup drops every one
    // silently.
    for (int fd : fds) {
        if (fd % 3 == 0) {
            ASSERT_EQ(0, vnfe_add(pump, fd, VN_EV_READ, 0, NeverCalled, nullptr, NeverRemoved));
        }
    }
    EXPECT_EQ(VN_FE_CAPACITY, vnfe_fdsize(pump));
    EXPECT_EQ(0, vnfe_clearup(pump));
    EXPECT_EQ(0, vnfe_fdsize(pump));
    EXPECT_EQ(0, vnfe_is_added(pump, 1001));
}

TEST(FeventTable, SetAndUnset) {
    Pump pump;
    Pair pair;
    Recorder rec;
    errno = 0;
    EXPECT_EQ(9, vnfe_set(pump, pair.a, VN_EV_READ));
    EXPECT_EQ(9, errno);
    errno = 0;
    EXPECT_EQ(9, vnfe_unset(pump, pair.a, VN_EV_READ));
    EXPECT_EQ(9, errno);  // unset of an unknown descriptor is silent

    // set ORs interest in: write interest added to a read registration is reported (the
    // socket is writable at once) and, not being persistent, fires once.
    ASSERT_EQ(0, vnfe_add(pump, pair.a, VN_EV_READ, VN_EV_READ, OnEvent, &rec, OnRemoved));
    EXPECT_EQ(0, vnfe_set(pump, pair.a, VN_EV_WRITE));
    EXPECT_EQ(1, vnfe_loop(pump));
    ASSERT_EQ(1u, rec.events.size());
    EXPECT_EQ(VN_EV_WRITE, rec.events[0].events);
    EXPECT_EQ(1, vnfe_is_added(pump, pair.a));

    // unset of some bits keeps the registration; of the last bit removes it, once.
    EXPECT_EQ(0, vnfe_set(pump, pair.a, VN_EV_WRITE));
    EXPECT_EQ(0, vnfe_unset(pump, pair.a, VN_EV_WRITE));
    EXPECT_EQ(1, vnfe_is_added(pump, pair.a));
    EXPECT_TRUE(rec.removed.empty());
    EXPECT_EQ(0, vnfe_unset(pump, pair.a, 0xFF));
    EXPECT_EQ(0, vnfe_is_added(pump, pair.a));
    EXPECT_EQ(1, rec.RemovalsFor(pair.a));
    EXPECT_EQ(9, vnfe_unset(pump, pair.a, 0xFF));
    EXPECT_EQ(1u, rec.removed.size());
}

TEST(FeventTable, ClearupAndFreeCallNoCallbacks) {
    Pair p1;
    Pair p2;
    void* pump = vnfe_alloc();
    ASSERT_NE(nullptr, pump);
    ASSERT_EQ(0, vnfe_add(pump, p1.a, VN_EV_READ, VN_EV_READ, NeverCalled, nullptr, NeverRemoved));
    ASSERT_EQ(0, vnfe_addonce(pump, p2.a, VN_EV_READ, NeverCalled, nullptr, 5000, NeverRemoved));
    EXPECT_EQ(0, vnfe_clearup(pump));
    EXPECT_EQ(0, vnfe_fdsize(pump));
    ASSERT_EQ(0, vnfe_add(pump, p1.a, VN_EV_READ, VN_EV_READ, NeverCalled, nullptr, NeverRemoved));
    EXPECT_EQ(0, vnfe_free(pump));
}

TEST(FeventReentry, CallbackRemovesOrNarrowsALaterRegistration) {
    // Removed: no report at all; narrowed: only readiness still of interest is reported.
    const struct {
        int interest;
        int dropped;
        int reports;
    } cases[] = {{VN_EV_READ, VN_EV_READ, 1}, {VN_EV_READ | VN_EV_WRITE, VN_EV_WRITE, 2}};
    for (const auto& c : cases) {
        Pump pump;
        TwoReady two;
        Recorder rec;
        const int low = two.low;
        const int high = two.high;
        rec.onEvent = [&](void* p, int fd, int) {
            if (fd == low) {
                EXPECT_EQ(0, vnfe_unset(p, high, c.dropped));
            }
        };
        ASSERT_EQ(0, vnfe_add(pump, low, VN_EV_READ, VN_EV_READ, OnEvent, &rec, OnRemoved));
        ASSERT_EQ(0, vnfe_add(pump, high, c.interest, c.interest, OnEvent, &rec, OnRemoved));
        EXPECT_EQ(c.reports, vnfe_loop(pump));
        ASSERT_EQ(static_cast<size_t>(c.reports), rec.events.size());
        EXPECT_EQ(low, rec.events[0].fd);
        if (c.reports == 2) {
            EXPECT_EQ(high, rec.events[1].fd);
            EXPECT_EQ(VN_EV_READ, rec.events[1].events);
        }
        EXPECT_EQ(c.reports == 1 ? 1 : 0, rec.RemovalsFor(high));
        EXPECT_EQ(0, rec.RemovalsFor(low));
    }
}

TEST(FeventReentry, InterestRenewedInsideTheCallbackKeepsTheRegistration) {
    Pump pump;
    Pair pair;
    Recorder rec;
    rec.onEvent = [&](void* p, int fd, int) {
        if (rec.events.size() < 3) {
            EXPECT_EQ(0, vnfe_set(p, fd, VN_EV_WRITE));
        }
    };
    ASSERT_EQ(0, vnfe_add(pump, pair.a, VN_EV_WRITE, 0, OnEvent, &rec, OnRemoved));
    EXPECT_EQ(1, vnfe_loop(pump));
    EXPECT_EQ(1, vnfe_loop(pump));
    EXPECT_TRUE(rec.removed.empty());
    EXPECT_EQ(1, vnfe_loop(pump));  // the third report does not renew it
    EXPECT_EQ(3u, rec.events.size());
    EXPECT_EQ(1, rec.RemovalsFor(pair.a));
}

TEST(FeventReentry, RemovalCallbackMayRegisterTheDescriptorAgain) {
    Pump pump;
    Pair pair;
    Recorder rec;
    Recorder again;
    rec.onRemoved = [&](void* p, int fd) {
        EXPECT_EQ(0, vnfe_add(p, fd, VN_EV_READ, VN_EV_READ, OnEvent, &again, OnRemoved));
    };
    ASSERT_EQ(0, vnfe_add(pump, pair.a, VN_EV_WRITE, 0, OnEvent, &rec, OnRemoved));
    EXPECT_EQ(1, vnfe_loop(pump));
    EXPECT_EQ(1, rec.RemovalsFor(pair.a));
    EXPECT_EQ(1, vnfe_is_added(pump, pair.a));
    pair.Poke();
    EXPECT_EQ(1, vnfe_loop(pump));
    EXPECT_EQ(1u, again.events.size());
}

TEST(FeventReports, PeerCloseIsReadableWithNothingToRead) {
    Pump pump;
    TcpPair tcp;
    ASSERT_TRUE(tcp.ok());
    Recorder rec;
    int waiting = -1;
    rec.onEvent = [&](void*, int fd, int) { ioctl(fd, FIONREAD, &waiting); };
    ASSERT_EQ(0, vnfe_add(pump, tcp.server, VN_EV_READ, VN_EV_READ, OnEvent, &rec, OnRemoved));
    tcp.CloseClient();
    ASSERT_TRUE(PumpUntil(
        pump, [&] { return !rec.events.empty(); }, 2000));
    EXPECT_EQ(VN_EV_READ, rec.events[0].events);
    EXPECT_EQ(0, waiting);
    char c;
    EXPECT_EQ(0, read(tcp.server, &c, 1));  // the end of the stream
    EXPECT_EQ(1, vnfe_is_added(pump, tcp.server));

    // A local stream reports the hang-up too: still a read report, not an error.
    Pair pair;
    Recorder local;
    ASSERT_EQ(0, vnfe_addonce(pump, pair.a, VN_EV_READ, OnEvent, &local, 0, OnRemoved));
    pair.CloseB();
    ASSERT_TRUE(PumpUntil(
        pump, [&] { return !local.events.empty(); }, 2000));
    ASSERT_EQ(1u, local.events.size());
    EXPECT_EQ(VN_EV_READ, local.events[0].events);
}

TEST(FeventReentry, RegistrationAddedDuringAPassWaitsForTheNextPass) {
    Pump pump;
    Pair p1;
    Pair p2;
    Recorder rec;
    Recorder added;
    rec.onEvent = [&](void* p, int, int) {
        if (vnfe_is_added(p, p2.a) == 0) {
            EXPECT_EQ(0, vnfe_add(p, p2.a, VN_EV_WRITE, 0, OnEvent, &added, OnRemoved));
        }
    };
    ASSERT_EQ(0, vnfe_add(pump, p1.a, VN_EV_WRITE, 0, OnEvent, &rec, OnRemoved));
    EXPECT_EQ(1, vnfe_loop(pump));
    EXPECT_TRUE(added.events.empty());
    EXPECT_EQ(1, vnfe_is_added(pump, p2.a));
    EXPECT_EQ(1, vnfe_loop(pump));
    ASSERT_EQ(1u, added.events.size());
    EXPECT_EQ(1, added.RemovalsFor(p2.a));
}

TEST(FeventTable, RefusesBadArguments) {
    Pump pump;
    Pair pair;
    errno = 0;
    EXPECT_EQ(22, vnfe_add(pump, pair.a, 0, 0, NeverCalled, nullptr, NeverRemoved));
    EXPECT_EQ(22, errno);
    EXPECT_EQ(22, vnfe_addonce(pump, pair.a, 0, NeverCalled, nullptr, 1000, NeverRemoved));
    EXPECT_EQ(22, vnfe_add(pump, -1, VN_EV_READ, 0, NeverCalled, nullptr, NeverRemoved));
    EXPECT_EQ(22, vnfe_add(pump, pair.a, VN_EV_READ, 0, nullptr, nullptr, NeverRemoved));
    EXPECT_EQ(0, vnfe_fdsize(pump));
    EXPECT_EQ(0, vnfe_is_added(pump, pair.a));
}

TEST(FeventTable, SameDescriptorTwiceIs17AndKeepsTheFirst) {
    Pump pump;
    Pair pair;
    Recorder first;
    ASSERT_EQ(0, vnfe_add(pump, pair.a, VN_EV_READ, VN_EV_READ, OnEvent, &first, OnRemoved));
    errno = 0;
    EXPECT_EQ(17, vnfe_add(pump, pair.a, VN_EV_WRITE, 0, NeverCalled, nullptr, NeverRemoved));
    EXPECT_EQ(17, errno);
    EXPECT_EQ(17, vnfe_addonce(pump, pair.a, VN_EV_READ, NeverCalled, nullptr, 0, NeverRemoved));
    EXPECT_EQ(1, vnfe_fdsize(pump));

    // The first registration is untouched: read interest only, its own callbacks.
    pair.Poke();
    EXPECT_TRUE(PumpUntil(
        pump, [&] { return !first.events.empty(); }, 2000));
    ASSERT_EQ(1u, first.events.size());
    EXPECT_EQ(VN_EV_READ, first.events[0].events);
    EXPECT_EQ(0, vnfe_unset(pump, pair.a, VN_EV_READ));
    EXPECT_EQ(1, first.RemovalsFor(pair.a));
}

TEST(FeventTable, EmptyPumpPassReturnsAtOnce) {
    Pump pump;
    // A pass that waited in poll would take 1 ms; a thousand of them at least a second.
    long long start = now_ms();
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(0, vnfe_loop(pump));
    EXPECT_LT(now_ms() - start, 500);
}

TEST(FeventTimeout, ReadinessIsReportedInOneReportAndWinsOverADueTimeout) {
    const struct {
        int interest;
        int timeoutMs;
    } cases[] = {{VN_EV_READ | VN_EV_WRITE, 0}, {VN_EV_READ, 1}};
    for (const auto& c : cases) {
        Pump pump;
        Pair pair;
        Recorder rec;
        pair.Poke();
        ASSERT_EQ(0, vnfe_addonce(pump, pair.a, c.interest, OnEvent, &rec, c.timeoutMs, OnRemoved));
        EXPECT_EQ(1, vnfe_loop(pump));
        ASSERT_EQ(1u, rec.events.size());
        EXPECT_EQ(c.interest, rec.events[0].events);
        EXPECT_EQ(1, rec.RemovalsFor(pair.a));  // one-shot: every bit spent
    }
}

TEST(FeventTimeout, ThreeSecondOneShotFiresBetweenTwoAndThreeOthersNever) {
    // Only one-shots with a non-zero time-out have a deadline, counted in whole seconds.
    Pump pump;
    Pair quiet;
    Pair lasting;
    Pair timed;
    Recorder rec;
    long long start = now_ms();
    ASSERT_EQ(0, vnfe_addonce(pump, quiet.a, VN_EV_READ, OnEvent, &rec, 0, OnRemoved));
    ASSERT_EQ(0, vnfe_add(pump, lasting.a, VN_EV_READ, VN_EV_READ, OnEvent, &rec, OnRemoved));
    ASSERT_EQ(0, vnfe_addonce(pump, timed.a, VN_EV_READ, OnEvent, &rec, 3000, OnRemoved));
    ASSERT_TRUE(PumpUntil(
        pump, [&] { return rec.EventsFor(timed.a) > 0; }, 6000));
    long long elapsed = now_ms() - start;
    EXPECT_GE(elapsed, 1950);  // whole-second granularity, small clock slack
    EXPECT_LE(elapsed, 3200);
    // By then the registrations without time-out have seen nothing and are still there.
    ASSERT_EQ(1u, rec.events.size());
    EXPECT_EQ(VN_EV_TIMEOUT, rec.events[0].events);
    EXPECT_EQ(1, vnfe_is_added(pump, quiet.a));
    EXPECT_EQ(1, vnfe_is_added(pump, lasting.a));
    EXPECT_EQ(1, rec.RemovalsFor(timed.a));
}
