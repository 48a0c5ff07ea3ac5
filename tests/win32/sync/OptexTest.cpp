#include "win32/errors/Exception.h"
#include "win32/sync/Optex.h"

#include "tests/support/CatchException.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/OptexStateView.h"
#include "tests/support/TestNames.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

using namespace CorvaneTools::Win32;

namespace {

using CStateView = TestSupport::COptexStateView;

using TestSupport::OptexEventIsSet;
using TestSupport::WaitUntil;

} // namespace

TEST(OptexTest, ReentryCountsAndNamedObjects)
{
    const std::wstring name = TestSupport::UniqueName(L"optex");
    COptex optex(CUnqualifiedName(name), nullptr, 0);
    CStateView state(name);
    ASSERT_TRUE(state.IsOpen()) << "mapping named with \"_Optext_MMF\"";
    EXPECT_EQ(0, state.LockCount());
    EXPECT_FALSE(optex.IsLockedByThisThread());

    optex.Enter();
    EXPECT_TRUE(optex.TryEnter());
    optex.Enter();
    EXPECT_EQ(3, state.LockCount());
    EXPECT_EQ(3, state.Recursion());
    EXPECT_EQ(::GetCurrentThreadId(), state.Owner());
    EXPECT_TRUE(optex.IsLockedByThisThread());

    optex.Leave();
    optex.Leave();
    EXPECT_EQ(1, state.LockCount());
    EXPECT_EQ(1, state.Recursion());
    EXPECT_TRUE(optex.IsLockedByThisThread());
    optex.Leave();
    EXPECT_EQ(0, state.LockCount());
    EXPECT_EQ(0u, state.Owner());
    EXPECT_FALSE(optex.IsLockedByThisThread());
    EXPECT_FALSE(OptexEventIsSet(name)) << "nobody waited, so the event stays clear";
}

// The spin count in the shared state is anyone's to write, so no process reads or writes it.
TEST(OptexTest, SecondConstructionSharesStateButNotASpinCount)
{
    const std::wstring name = TestSupport::UniqueName(L"optex");
    const TestSupport::CPlantedOptexState planter(name);
    planter.Get()->spinCount = 0x7FFFFFFF;
    COptex first(CUnqualifiedName(name), nullptr, 100);
    CStateView state(name);
    first.Enter();
    COptex second(CUnqualifiedName(name), nullptr, 4000);
    EXPECT_EQ(0x7FFFFFFF, state.SpinCount());
    EXPECT_TRUE(second.IsLockedByThisThread()) << "the second object sees the state the first made";
    EXPECT_TRUE(second.TryEnter());
    EXPECT_EQ(2, state.LockCount());
    second.Leave();
    first.Leave();
    EXPECT_EQ(0, state.LockCount());
}

TEST(OptexTest, StateNoLockCanBeInIsCorruption)
{
    const struct
    {
        LONG count;
        LONG recursion;
        const wchar_t *message;
    } cases[] = {
        {-5, 1, L"lock count -5, recursion count 1"},
        {2, -1, L"lock count 2, recursion count -1"},
    };
    for (const auto &planted : cases)
    {
        const std::wstring name = TestSupport::UniqueName(L"optex");
        const TestSupport::CPlantedOptexState planter(name);
        COptex optex(CUnqualifiedName(name), nullptr, 0);
        planter.Plant(planted.count, 0x7FFFFFF8, planted.recursion);
        const CException e = TestSupport::CatchException<CException>([&] { optex.TryEnterFor(50); });
        EXPECT_EQ(L"COptex::TryEnterFor()", e.GetWhere());
        EXPECT_EQ(L"The shared state of lock \"" + name + L"\" is corrupt: " + planted.message, e.GetMessage());
        EXPECT_EQ(planted.count, planter.Get()->lockCount) << "nothing was added to a corrupt count";
    }
}

TEST(OptexTest, OtherThreadIsExcludedAndIsNotTheOwner)
{
    const std::wstring name = TestSupport::UniqueName(L"optex");
    COptex optex(CUnqualifiedName(name), nullptr, 0);
    optex.Enter();
    bool tried = true;
    bool owner = true;
    std::thread other([&] {
        tried = optex.TryEnter();
        owner = optex.IsLockedByThisThread();
    });
    other.join();
    EXPECT_FALSE(tried);
    EXPECT_FALSE(owner);
    CStateView state(name);
    EXPECT_EQ(1, state.LockCount()) << "a failed TryEnter leaves no trace";
    optex.Leave();
}

TEST(OptexTest, OneOwnerTwoWaitersHandedOverOneAtATime)
{
    const std::wstring name = TestSupport::UniqueName(L"optex");
    COptex optex(CUnqualifiedName(name), nullptr, 0);
    CStateView state(name);
    optex.Enter();

    std::atomic<int> inside{0};
    std::atomic<int> entered{0};
    std::atomic<bool> release[2] = {{false}, {false}};
    std::atomic<int> order[2] = {{-1}, {-1}};
    auto waiter = [&](int index) {
        optex.Enter();
        const int position = entered++;
        order[position] = index;
        ++inside;
        while (!release[position])
        {
            ::Sleep(1);
        }
        --inside;
        optex.Leave();
    };
    // EXPECT, not ASSERT, while the waiters run: a test that returns with a joinable
    // thread ends the whole program; a failed wait still lets the waiters go below.
    std::thread b(waiter, 0);
    std::thread c(waiter, 1);
    EXPECT_TRUE(WaitUntil([&] { return state.LockCount() == 3; })) << "both waiters announced themselves";
    EXPECT_EQ(0, entered.load());

    optex.Leave();
    EXPECT_TRUE(WaitUntil([&] { return entered.load() == 1; }));
    ::Sleep(50);
    EXPECT_EQ(1, entered.load()) << "one Leave hands the lock to exactly one waiter";
    EXPECT_EQ(1, inside.load());
    EXPECT_EQ(2, state.LockCount());

    release[0] = true;
    EXPECT_TRUE(WaitUntil([&] { return entered.load() == 2; }));
    EXPECT_EQ(1, inside.load());
    release[1] = true;
    b.join();
    c.join();
    EXPECT_EQ(0, state.LockCount());
    EXPECT_EQ(0u, state.Owner());
    EXPECT_NE(order[0].load(), order[1].load());
}

// Holds the named lock until told to let go: args are the lock name, the name of an event
// it sets once it holds the lock, and the name of an event that tells it to leave.
TESSALY_CHILD_MAIN(OptexHolder)
{
    COptex optex(CUnqualifiedName(args.at(0)), nullptr, 0);
    HANDLE held = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, args.at(1).c_str());
    HANDLE leave = ::OpenEventW(SYNCHRONIZE, FALSE, args.at(2).c_str());
    if (!held || !leave)
    {
        return 20;
    }
    optex.Enter();
    optex.Enter();
    ::SetEvent(held);
    if (::WaitForSingleObject(leave, 60000) != WAIT_OBJECT_0)
    {
        return 21;
    }
    optex.Leave();
    optex.Leave();
    return 0;
}

TEST(OptexTest, ProcessesOfBothArchitecturesExcludeEachOther)
{
    for (const std::wstring &program : {TestSupport::OtherArchitectureProgram(), std::wstring()})
    {
        const std::wstring name = L"Global\\" + TestSupport::UniqueName(L"optex");
        const std::wstring heldName = TestSupport::UniqueName(L"held");
        const std::wstring leaveName = TestSupport::UniqueName(L"leave");
        HANDLE held = ::CreateEventW(nullptr, TRUE, FALSE, heldName.c_str());
        HANDLE leave = ::CreateEventW(nullptr, TRUE, FALSE, leaveName.c_str());
        COptex optex(CUnqualifiedName(name), nullptr, 0);

        TestSupport::CChildProcess child(L"OptexHolder", {name, heldName, leaveName}, program);
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(held, 60000)) << child.Output();
        CStateView state(name);
        EXPECT_EQ(2, state.LockCount()) << "the child entered twice";
        EXPECT_EQ(2, state.Recursion());
        EXPECT_NE(0u, state.Owner());

        EXPECT_FALSE(optex.TryEnter()) << "spin count 0: one attempt, then give up";
        EXPECT_EQ(2, state.LockCount());

        std::atomic<bool> entered{false};
        std::atomic<bool> letGo{false};
        std::atomic<DWORD> waiterId{0};
        std::thread waiter([&] {
            optex.Enter();
            waiterId = ::GetCurrentThreadId();
            entered = true;
            while (!letGo)
            {
                ::Sleep(1);
            }
            optex.Leave();
        });
        EXPECT_TRUE(WaitUntil([&] { return state.LockCount() == 3; }));
        ::Sleep(100);
        EXPECT_FALSE(entered.load()) << "Enter blocks while the other process holds the lock";

        ::SetEvent(leave);
        EXPECT_TRUE(WaitUntil([&] { return entered.load(); }));
        EXPECT_EQ(0u, child.Wait());
        EXPECT_EQ(1, state.LockCount());
        EXPECT_EQ(1, state.Recursion());
        EXPECT_EQ(waiterId.load(), state.Owner());
        EXPECT_FALSE(optex.IsLockedByThisThread());
        letGo = true;
        waiter.join();
        EXPECT_EQ(0, state.LockCount());
        EXPECT_EQ(0u, state.Owner());
        ::CloseHandle(held);
        ::CloseHandle(leave);
    }
}
