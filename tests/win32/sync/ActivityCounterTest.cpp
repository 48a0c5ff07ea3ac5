#include "win32/sync/ActivityCounter.h"

#include "tests/win32/threads/ThreadTestSupport.h"

#include <gtest/gtest.h>

using namespace CorvaneTools::Win32;

namespace {

// Idle and active events, as the pair of states they must always be opposite in.
void ExpectIdle(const CActivityCounter &counter, bool idle)
{
    EXPECT_EQ(idle, counter.GetIdleEvent().IsSignalled());
    EXPECT_EQ(!idle, counter.GetActiveEvent().IsSignalled());
}

} // namespace

TEST(ActivityCounterTest, EventsFollowTheCount)
{
    CActivityCounter counter;
    ExpectIdle(counter, true);

    EXPECT_TRUE(counter.Increment());
    ExpectIdle(counter, false);
    EXPECT_FALSE(counter.Increment());
    EXPECT_EQ(2u, counter.GetCount());
    ExpectIdle(counter, false);

    EXPECT_FALSE(counter.Decrement());
    ExpectIdle(counter, false);
    EXPECT_TRUE(counter.Decrement());
    EXPECT_EQ(0u, counter.GetCount());
    ExpectIdle(counter, true);
}

TEST(ActivityCounterTest, InitialAndSetCount)
{
    CActivityCounter counter(3);
    ExpectIdle(counter, false);
    counter.SetCount(0);
    ExpectIdle(counter, true);
    counter.SetCount(1);
    ExpectIdle(counter, false);
    EXPECT_TRUE(counter.Decrement());
    ExpectIdle(counter, true);
}

TEST(ActivityCounterTest, ScopedActivityCountsForItsScope)
{
    CActivityCounter counter;
    {
        CActivityCounter::CScopedActivity outer(counter);
        CActivityCounter::CScopedActivity inner(counter);
        EXPECT_EQ(2u, counter.GetCount());
        ExpectIdle(counter, false);
    }
    EXPECT_EQ(0u, counter.GetCount());
    ExpectIdle(counter, true);
}

TEST(ActivityCounterTest, IdleWaiterWakesWhenTheLastActivityEnds)
{
    CActivityCounter counter(1);
    CManualResetEvent waiting;
    auto waiter = ThreadTestSupport::StartThread([&]() -> unsigned int {
        waiting.Set();
        return counter.GetIdleEvent().Wait(ThreadTestSupport::TestTimeoutMs) ? counter.GetCount() : 99;
    });
    ASSERT_TRUE(waiting.Wait(ThreadTestSupport::TestTimeoutMs));
    EXPECT_FALSE(waiter->Thread().Wait(0));
    counter.Decrement();
    EXPECT_EQ(0u, waiter->ExitCode());
}
