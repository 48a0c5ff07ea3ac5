#include "win32/sync/CriticalSection.h"
#include "win32/sync/Event.h"
#include "win32/sync/LockableObject.h"

#include "tests/win32/threads/ThreadTestSupport.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace CorvaneTools::Win32;
using ThreadTestSupport::RunOnOtherThread;

namespace {

template <class Lock>
DWORD TryEnterElsewhere(Lock &lock)
{
    return RunOnOtherThread([&]() -> unsigned int {
        if (!lock.TryEnter())
        {
            return 0;
        }
        lock.Leave();
        return 1;
    });
}

} // namespace

TEST(CriticalSectionTest, IsReentrantAndKnowsItsOwner)
{
    CCriticalSection lock;
    EXPECT_FALSE(lock.IsLockedByThisThread());
    lock.Enter();
    EXPECT_TRUE(lock.TryEnter());
    EXPECT_TRUE(lock.IsLockedByThisThread());
    EXPECT_EQ(0u, RunOnOtherThread([&]() -> unsigned int { return lock.IsLockedByThisThread() ? 1 : 0; }));
    EXPECT_EQ(0u, TryEnterElsewhere(lock));

    lock.Leave();
    EXPECT_TRUE(lock.IsLockedByThisThread());
    EXPECT_EQ(0u, TryEnterElsewhere(lock));

    lock.Leave();
    EXPECT_FALSE(lock.IsLockedByThisThread());
    EXPECT_EQ(1u, TryEnterElsewhere(lock));
}

TEST(CriticalSectionTest, OwnerOnAnotherThreadIsNotThisThread)
{
    CCriticalSection lock;
    CManualResetEvent entered;
    CManualResetEvent release;
    auto owner = ThreadTestSupport::StartThread([&]() -> unsigned int {
        lock.Enter();
        entered.Set();
        release.Wait();
        lock.Leave();
        return 0;
    });
    ASSERT_TRUE(entered.Wait(ThreadTestSupport::TestTimeoutMs));
    EXPECT_FALSE(lock.IsLockedByThisThread());
    EXPECT_FALSE(lock.TryEnter());
    release.Set();
    EXPECT_EQ(0u, owner->ExitCode());
    EXPECT_TRUE(lock.TryEnter());
    lock.Leave();
}

TEST(LockableObjectTest, IsReentrantForTheHoldingThread)
{
    CLockableObject lock;
    lock.Enter();
    lock.Enter();
    EXPECT_EQ(0u, TryEnterElsewhere(lock));
    lock.Leave();
    EXPECT_EQ(0u, TryEnterElsewhere(lock));
    lock.Leave();
    EXPECT_EQ(1u, TryEnterElsewhere(lock));
}

TEST(LockOwnerTest, ReleasesWhenAnExceptionUnwindsTheScope)
{
    CCriticalSection lock;
    try
    {
        ICriticalSection::Owner owner(lock);
        EXPECT_TRUE(lock.IsLockedByThisThread());
        throw std::runtime_error("unwind");
    }
    catch (const std::runtime_error &)
    {
    }
    EXPECT_FALSE(lock.IsLockedByThisThread());

    CLockableObject lockable;
    {
        CLockableObject::Owner owner(lockable);
        EXPECT_EQ(0u, TryEnterElsewhere(lockable));
    }
    EXPECT_EQ(1u, TryEnterElsewhere(lockable));
}

TEST(LockOwnerTest, ConditionalOwnerReleasesOnlyWhatItStillHolds)
{
    CCriticalSection lock;
    lock.Enter();
    {
        ICriticalSection::ConditionalOwner owner(lock);
        EXPECT_TRUE(owner.IsHeld());
        owner.Leave();
        EXPECT_FALSE(owner.IsHeld());
        owner.Leave();
    }
    // Our own entry is still there: the guard gave back only its one.
    EXPECT_TRUE(lock.IsLockedByThisThread());
    EXPECT_EQ(0u, TryEnterElsewhere(lock));
    lock.Leave();
    EXPECT_EQ(1u, TryEnterElsewhere(lock));

    {
        ICriticalSection::ConditionalOwner owner(lock, false);
        EXPECT_FALSE(lock.IsLockedByThisThread());
        owner.Enter();
        owner.Enter();
        EXPECT_TRUE(owner.IsHeld());
    }
    EXPECT_FALSE(lock.IsLockedByThisThread());
    EXPECT_EQ(1u, TryEnterElsewhere(lock));
}
