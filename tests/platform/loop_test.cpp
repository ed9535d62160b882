#include "platform/loop.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/manual_clock.h"

namespace bw {
namespace {

class LoopTest : public ::testing::Test {
  protected:
    ManualClock clock;
    Loop loop{clock};
};

TEST_F(LoopTest, TimersTickOnVirtualTimeAndRestartWhenSwitchedOnAgain) {
    int fast = 0;
    int slow = 0;
    Timer a(loop, 250, true, [&] { ++fast; });
    Timer b(loop, 1000, true, [&] { ++slow; });
    loop.Advance(1000);
    EXPECT_EQ(fast, 4);
    EXPECT_EQ(slow, 1);

    loop.Advance(900);
    b.SetEnabled(false);
    b.SetEnabled(true);  // the interval starts again from here
    loop.Advance(900);
    EXPECT_EQ(slow, 1);
    loop.Advance(100);
    EXPECT_EQ(slow, 2);

    // Switching on a running timer keeps its interval: a window that asks for
    // its unload timer on every 1 ms step still sees it fire.
    int ticks = 0;
    Timer t(loop, 5, true, [&] { ++ticks; });
    for (int i = 0; i < 5; ++i) {
        t.SetEnabled(true);
        loop.Advance(1);
    }
    EXPECT_EQ(ticks, 1);

    // A new interval applies from the next arming.
    std::vector<std::int64_t> at;
    const std::int64_t t0 = clock.MonotonicMs();
    Timer* self = nullptr;
    Timer c(loop, 250, true, [&] {
        at.push_back(clock.MonotonicMs() - t0);
        self->SetInterval(5);
    });
    self = &c;
    loop.Advance(260);
    ASSERT_GE(at.size(), 2u);
    EXPECT_EQ(at[0], 250);
    EXPECT_EQ(at[1], 255);
}

TEST_F(LoopTest, NestedWaitRunsOtherTimersButNeverReentersItsOwn) {
    int outer = 0;
    int inner = 0;
    int depth = 0;
    int maxDepth = 0;
    Timer other(loop, 10, true, [&] { ++inner; });
    Timer t(loop, 100, true, [&] {
        ++outer;
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        for (int i = 0; i < 5; ++i) loop.Wait(0.1);  // its own interval passes 5 times
        --depth;
    });
    loop.Advance(100);
    EXPECT_EQ(outer, 1);
    EXPECT_EQ(maxDepth, 1);
    EXPECT_GE(inner, 5);
}

// A handler posted from inside a handler must still run from a nested Wait,
// and later polls must keep working (the concurrency-hint pitfall).
TEST_F(LoopTest, PostedHandlersRunInNestedWaitAndLaterPolls) {
    int posted = 0;
    loop.Post([&] {
        loop.Post([&] { ++posted; });
        loop.Wait(0.01);
    });
    loop.PollOnce();
    EXPECT_EQ(posted, 1);
    loop.Post([&] { ++posted; });
    loop.Wait(0);
    EXPECT_EQ(posted, 2);
}

TEST_F(LoopTest, TimerDestroyedByAnotherTimersHandlerDoesNotFire) {
    int fired = 0;
    auto victim = std::make_unique<Timer>(loop, 100, true, [&] { ++fired; });
    Timer killer(loop, 50, true, [&] { victim.reset(); });
    loop.Advance(200);
    EXPECT_EQ(fired, 0);
}

TEST(ClockTest, DaySerial) {
    EXPECT_DOUBLE_EQ(MakeDaySerial(2007, 7, 4, 13, 30), 39267.5625);
    EXPECT_DOUBLE_EQ(MakeDaySerial(1899, 12, 30), 0.0);
}

}  // namespace
}  // namespace bw
