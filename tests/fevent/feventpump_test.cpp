// CFEventPump: registrations that call member functions of counted sinks and hold one
// reference on the sink for exactly as long as they last.
#include <gtest/gtest.h>

#include "fevent/pump_test_support.h"
#include "fevent/vnfeventpump.h"

using pumptest::Pair;

namespace {

struct Sink : public CRefCountSafe {
    static int s_live;
    Sink() { ++s_live; }
    ~Sink() override { --s_live; }
    std::vector<int> events;
    CFEventPump* unsetInside = nullptr;  // when set, the sink ends its own registration
    void OnEvent(void* pump, int fd, int ev) {
        EXPECT_NE(nullptr, pump);
        events.push_back(ev);
        EXPECT_TRUE(unsetInside == nullptr || unsetInside->Unset(fd, 0xFF) == 1);
    }
};
int Sink::s_live = 0;

CFEventPump::CFECallbackWraper Wrap() {
    return CFEventPump::CFECallbackWraper(&Sink::OnEvent);
}

}  // namespace

// Every way a registration ends gives back exactly the reference Add took.
TEST(FEventPump, EachEndOfARegistrationReleasesTheSinkOnce) {
    enum How { kOneShot, kTimeOut, kError, kUnsetInside, kLastReference };
    for (How how : {kOneShot, kTimeOut, kError, kUnsetInside, kLastReference}) {
        SCOPED_TRACE(how);
        CFEventPump pump;
        Pair pair;
        Sink* sink = new Sink;
        int expected = VN_EV_WRITE;
        if (how == kOneShot) {
            ASSERT_EQ(1, pump.AddOnce(pair.a, VN_EV_WRITE, Wrap(), sink, 0));
        } else if (how == kTimeOut) {  // under a second: due at the first idle pass
            ASSERT_EQ(1, pump.AddOnce(pair.a, VN_EV_READ, Wrap(), sink, 1));
            expected = VN_EV_TIMEOUT;
        } else if (how == kError) {
            ASSERT_EQ(1, pump.Add(pair.a, VN_EV_READ, VN_EV_READ, Wrap(), sink));
            pair.CloseA();  // behind the pump's back
            expected = VN_EV_ERROR;
        } else {  // the sink ends its persistent registration itself
            sink->unsetInside = &pump;
            ASSERT_EQ(1, pump.Add(pair.a, VN_EV_WRITE, VN_EV_WRITE, Wrap(), sink));
            if (how == kLastReference) sink->Release();  // only the registration holds it
        }
        pump.Loop();
        ASSERT_TRUE(pumptest::PumpUntil(pump.GetHandle(),
                                        [&] { return vnfe_fdsize(pump.GetHandle()) == 0; }));
        if (how == kLastReference) {
            EXPECT_EQ(0, Sink::s_live);  // survived its own call, then went
            continue;
        }
        EXPECT_EQ(std::vector<int>{expected}, sink->events);
        EXPECT_EQ(1, sink->RefCount());
        sink->Release();
    }
}

// Refused adds take no reference; the wrapper holds its object while it lives (Add takes it
// by value); the destructor ends the registrations still in the pump.
TEST(FEventPump, RefusalsWrapperAndDestructorKeepCountsExact) {
    Pair pair;
    Sink* sink = new Sink;
    Sink* held = new Sink;
    {
        CFEventPump::CFECallbackWraper w(&Sink::OnEvent, held);
        CFEventPump::CFECallbackWraper copy(w);
        CFEventPump::CFECallbackWraper& alias = copy;
        copy = alias;
        copy = w;
        CFEventPump pump;
        ASSERT_TRUE(pump.IsValid());
        ASSERT_EQ(1, pump.Add(pair.a, VN_EV_READ, VN_EV_READ, w, sink));
        EXPECT_EQ(0, pump.Add(pair.a, VN_EV_READ, VN_EV_READ, Wrap(), sink));
        EXPECT_EQ(0, pump.AddOnce(pair.a, VN_EV_READ, Wrap(), sink, 0));
        EXPECT_EQ(0, pump.Add(pair.b, VN_EV_READ, VN_EV_READ, Wrap(), nullptr));
        EXPECT_EQ(0, pump.Add(pair.b, VN_EV_READ, 0, CFEventPump::CFECallbackWraper(), sink));
        EXPECT_EQ(0, pump.Add(pair.b, 0, 0, Wrap(), sink));
        EXPECT_EQ(0, pump.Set(pair.b, VN_EV_WRITE) + pump.Unset(pair.b, VN_EV_READ));
        EXPECT_EQ(1, pump.Set(pair.a, VN_EV_WRITE));
        EXPECT_EQ(1, pump.Unset(pair.a, VN_EV_WRITE));
        ASSERT_EQ(1, pump.AddOnce(pair.b, VN_EV_READ, w, sink, 5000));
        EXPECT_EQ(3, sink->RefCount());
        EXPECT_EQ(3, held->RefCount());
    }
    EXPECT_EQ(1, sink->RefCount());
    EXPECT_EQ(1, held->RefCount());
    sink->Release();
    held->Release();
    EXPECT_EQ(0, Sink::s_live);
}
