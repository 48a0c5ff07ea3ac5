#include "win32/errors/Win32Exception.h"
#include "win32/sync/Semaphore.h"

#include "tests/support/CatchException.h"
#include "tests/support/TestNames.h"
#include "tests/win32/threads/ThreadTestSupport.h"

#include <gtest/gtest.h>

using namespace CorvaneTools::Win32;
using TestSupport::UniqueName;

TEST(SemaphoreTest, DefaultStartsEmptyAndIncrementReturnsThePreviousCount)
{
    CSemaphore semaphore;
    EXPECT_FALSE(semaphore.Wait(0));
    EXPECT_EQ(0, semaphore.Increment());
    EXPECT_EQ(1, semaphore.Increment(3));
    EXPECT_EQ(4, semaphore.Increment());
    for (int i = 0; i < 5; ++i)
    {
        EXPECT_TRUE(semaphore.Wait(0)) << i;
    }
    EXPECT_FALSE(semaphore.Wait(0));
}

TEST(SemaphoreTest, DefaultMaximumIsTheLargestCount)
{
    CSemaphore semaphore;
    EXPECT_EQ(0, semaphore.Increment(0x7FFFFFFF));
    const CWin32Exception e = TestSupport::CatchException<CWin32Exception>([&] { semaphore.Increment(); });
    EXPECT_EQ(L"CSemaphore::Increment()", e.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_TOO_MANY_POSTS), e.GetError());
}

TEST(SemaphoreTest, IncrementBeyondTheMaximumThrowsAndKeepsTheCount)
{
    CSemaphore semaphore(nullptr, 1, 2);
    TestSupport::CatchException<CWin32Exception>([&] { semaphore.Increment(2); });
    EXPECT_EQ(1, semaphore.Increment());
}

TEST(SemaphoreTest, CreateOnlyOfAnExistingSemaphoreThrowsAlreadyExists)
{
    const CUnqualifiedName name(UniqueName(L"Existing"));
    CSemaphore first(nullptr, 0, 10, &name, CreateOnly);
    const CWin32Exception e = TestSupport::CatchException<CWin32Exception>([&] { CSemaphore second(nullptr, 0, 10, &name, CreateOnly); });
    EXPECT_EQ(L"CSemaphore::Create()", e.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), e.GetError());
}

TEST(SemaphoreTest, OpenOnlyOfAMissingSemaphoreThrowsNotFound)
{
    const CUnqualifiedName name(UniqueName(L"Missing"));
    const CWin32Exception e = TestSupport::CatchException<CWin32Exception>([&] { CSemaphore semaphore(nullptr, 0, 10, &name, OpenOnly); });
    EXPECT_EQ(L"CSemaphore::Create()", e.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), e.GetError());

    // The one that was created on the way was closed again.
    CSemaphore created(nullptr, 0, 10, &name, CreateOnly);
}

TEST(SemaphoreTest, OpenOnlySharesTheCountOfTheExistingSemaphore)
{
    const CUnqualifiedName name(UniqueName(L"Shared"));
    CSemaphore created(nullptr, 2, 10, &name, CreateOrOpen);
    CSemaphore opened(nullptr, 0, 10, &name, OpenOnly);
    EXPECT_EQ(2, opened.Increment());
    EXPECT_EQ(3, created.Increment());
}
