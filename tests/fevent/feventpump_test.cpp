// CFEventPump: registrations that call member functions of counted sinks and hold one
// reference on the sink for exactly as long as they last.
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "fevent/pump_test_support.h"
#include "fevent/vnfevent.h"
#include "fevent/vnfeventpump.h"

using pumptest::now_ms;
using pumptest::Pair;

namespace {

struct Sink : public CRefCountSafe {
    static int s_live;
    Sink() { ++s_live; }
    ~Sink() override { --s_live; }

    struct Call {
        void* pump;
        int fd;
        int events;
    };
    std::vector<Call> calls;
    CFEventPump* unsetInside = nullptr;  // when set, the sink ends its own registration

    void OnEvent(void* pump, int fd, int events) {
        calls.push_back(Call{pump, fd, events});
        if (unsetInside != nullptr) {
            EXPECT_EQ(1, unsetInside->Unset(fd, 0xFF));
        }
    }
};
int Sink::s_live = 0;

CFEventPump::CFECallbackWraper Wrap() {
    return CFEventPump::CFECallbackWraper(&Sink::OnEvent);
}

// Runs passes until pred holds or 5 s passed.
template <class Pred>
bool LoopUntil(CFEventPump& pump, Pred pred) {
    long long end = now_ms() + 5000;
    while (!pred()) {
        if (now_ms() > end) return false;
        pump.Loop();
    }
    return true;
}

}  // namespace

TEST(FEventPump, RefusedAddsLeaveTheCountsAlone) {
    CFEventPump pump;
    ASSERT_TRUE(pump.IsValid());
    Pair pair;
    Sink* first = new Sink;
    Sink* second = new Sink;
    ASSERT_EQ(1, pump.Add(pair.a, VN_EV_READ, VN_EV_READ, Wrap(), first));
    EXPECT_EQ(2, first->RefCount());
    EXPECT_EQ(0, pump.Add(pair.a, VN_EV_READ, VN_EV_READ, Wrap(), second));
    EXPECT_EQ(1, second->RefCount());
    EXPECT_EQ(0, pump.AddOnce(pair.a, VN_EV_READ, Wrap(), second, 0));
    EXPECT_EQ(1, second->RefCount());
    EXPECT_EQ(1, vnfe_fdsize(pump.GetHandle()));
    // Refused arguments take nothing either.
    EXPECT_EQ(0, pump.Add(pair.b, VN_EV_READ, VN_EV_READ, Wrap(), nullptr));
    EXPECT_EQ(0,
              pump.Add(pair.b, VN_EV_READ, VN_EV_READ, CFEventPump::CFECallbackWraper(), second));
    EXPECT_EQ(0, pump.Add(pair.b, 0, 0, Wrap(), second));  // no interest
    EXPECT_EQ(0, pump.Add(-1, VN_EV_READ, 0, Wrap(), second));
    EXPECT_EQ(1, second->RefCount());
    EXPECT_EQ(0, pump.Set(pair.b, VN_EV_WRITE));  // not registered
    EXPECT_EQ(0, pump.Unset(pair.b, VN_EV_READ));

    EXPECT_EQ(1, pump.Unset(pair.a, VN_EV_READ));
    EXPECT_EQ(1, first->RefCount());
    first->Release();
    second->Release();
    EXPECT_EQ(0, Sink::s_live);
}

TEST(FEventPump, PersistentRegistrationCallsTheSinkUntilUnset) {
    CFEventPump pump;
    Pair pair;
    Sink* sink = new Sink;
    ASSERT_EQ(1, pump.Add(pair.a, VN_EV_READ, VN_EV_READ, Wrap(), sink));
    pair.Poke();
    ASSERT_TRUE(LoopUntil(pump, [&] { return sink->calls.size() >= 2; }));
    EXPECT_EQ(pump.GetHandle(), sink->calls[0].pump);
    EXPECT_EQ(pair.a, sink->calls[0].fd);
    EXPECT_EQ(VN_EV_READ, sink->calls[0].events);
    EXPECT_EQ(2, sink->RefCount());  // still registered: the data is never read

    EXPECT_EQ(1, pump.Set(pair.a, VN_EV_WRITE));  // write interest is one-shot here
    size_t before = sink->calls.size();
    ASSERT_TRUE(LoopUntil(pump, [&] {
        for (size_t i = before; i < sink->calls.size(); ++i)
            if (sink->calls[i].events & VN_EV_WRITE) return true;
        return false;
    }));
    EXPECT_EQ(1, pump.Unset(pair.a, VN_EV_READ));
    EXPECT_EQ(1, sink->RefCount());
    EXPECT_EQ(0, vnfe_fdsize(pump.GetHandle()));
    sink->Release();
}

// Every way a registration ends gives back exactly the reference Add took.
TEST(FEventPump, EachEndOfARegistrationReleasesTheSinkOnce) {
    enum How { kOneShot, kTimeOut, kError, kUnsetInside };
    for (How how : {kOneShot, kTimeOut, kError, kUnsetInside}) {
        SCOPED_TRACE(how);
        CFEventPump pump;
        Pair pair;
        Sink* sink = new Sink;
        int expected = VN_EV_WRITE;
        if (how == kOneShot) {
            ASSERT_EQ(1, pump.AddOnce(pair.a, VN_EV_WRITE, Wrap(), sink, 0));
        } else if (how == kTimeOut) {
            // Under a second: due at the first idle pass.
            ASSERT_EQ(1, pump.AddOnce(pair.a, VN_EV_READ, Wrap(), sink, 1));
            expected = VN_EV_TIMEOUT;
        } else if (how == kError) {
            ASSERT_EQ(1, pump.Add(pair.a, VN_EV_READ, VN_EV_READ, Wrap(), sink));
            pair.CloseA();  // behind the pump's back: the next pass reports an error
            expected = VN_EV_ERROR;
        } else {
            sink->unsetInside = &pump;  // the sink ends its persistent registration itself
            ASSERT_EQ(1, pump.Add(pair.a, VN_EV_WRITE, VN_EV_WRITE, Wrap(), sink));
        }
        ASSERT_TRUE(LoopUntil(pump, [&] { return !sink->calls.empty(); }));
        ASSERT_EQ(1u, sink->calls.size());
        EXPECT_EQ(expected, sink->calls[0].events);
        EXPECT_EQ(1, sink->RefCount());
        EXPECT_EQ(0, vnfe_fdsize(pump.GetHandle()));
        sink->Release();
    }
    EXPECT_EQ(0, Sink::s_live);
}

TEST(FEventPump, SinkWhoseLastReferenceIsTheRegistrationSurvivesItsCall) {
    CFEventPump pump;
    Pair pair;
    Sink* sink = new Sink;
    sink->unsetInside = &pump;
    ASSERT_EQ(1, pump.AddOnce(pair.a, VN_EV_WRITE, Wrap(), sink, 0));
    sink->Release();  // only the registration holds it now
    ASSERT_TRUE(LoopUntil(pump, [&] { return Sink::s_live == 0; }));
}

TEST(FEventPump, DestructorReleasesTheSinksOfLiveRegistrations) {
    Pair p1;
    Pair p2;
    Sink* sink = new Sink;
    {
        CFEventPump pump;
        ASSERT_EQ(1, pump.Add(p1.a, VN_EV_READ, VN_EV_READ, Wrap(), sink));
        ASSERT_EQ(1, pump.AddOnce(p2.a, VN_EV_READ, Wrap(), sink, 5000));
        EXPECT_EQ(3, sink->RefCount());
    }
    EXPECT_EQ(1, sink->RefCount());
    sink->Release();
}

TEST(FEventPump, WrapperHoldsItsObjectWhileItLives) {
    Sink* held = new Sink;
    {
        CFEventPump::CFECallbackWraper w(&Sink::OnEvent, held);
        EXPECT_EQ(2, held->RefCount());
        {
            CFEventPump::CFECallbackWraper copy(w);
            EXPECT_EQ(3, held->RefCount());
            copy = w;
            CFEventPump::CFECallbackWraper& alias = copy;
            copy = alias;
            EXPECT_EQ(3, held->RefCount());
        }
        EXPECT_EQ(2, held->RefCount());
        // Passed by value: Add's copy goes away when Add returns, success or not.
        CFEventPump pump;
        Pair pair;
        Sink* sink = new Sink;
        EXPECT_EQ(1, pump.Add(pair.a, VN_EV_READ, VN_EV_READ, w, sink));
        EXPECT_EQ(0, pump.Add(pair.a, VN_EV_READ, VN_EV_READ, w, sink));
        EXPECT_EQ(2, held->RefCount());
        EXPECT_EQ(2, sink->RefCount());
        EXPECT_EQ(1, pump.Unset(pair.a, 0xFF));
        sink->Release();
    }
    EXPECT_EQ(1, held->RefCount());
    held->Release();
}
