// Waits that give up, owners that end while holding the lock, and lock states that another
// process planted.
#include "win32/sync/Optex.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/LiveThread.h"
#include "tests/support/OptexStateView.h"
#include "tests/support/TestNames.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>
#include <vector>

using namespace CorvaneTools::Win32;
using TestSupport::COptexStateView;
using TestSupport::OptexEventIsSet;
using TestSupport::WaitUntil;

namespace {

// Events by which the OptexHolder child says it holds the lock and is told to let go.
struct CHolderEvents
{
    CHolderEvents()
        : heldName(TestSupport::UniqueName(L"held")), leaveName(TestSupport::UniqueName(L"leave")),
          held(::CreateEventW(nullptr, TRUE, FALSE, heldName.c_str())),
          leave(::CreateEventW(nullptr, TRUE, FALSE, leaveName.c_str()))
    {
    }
    ~CHolderEvents()
    {
        ::CloseHandle(held);
        ::CloseHandle(leave);
    }
    const std::wstring heldName;
    const std::wstring leaveName;
    const HANDLE held;
    const HANDLE leave;
};

void ExpectFree(const COptexStateView &state, const std::wstring &name)
{
    EXPECT_EQ(0, state.LockCount());
    EXPECT_EQ(0u, state.Owner());
    EXPECT_FALSE(OptexEventIsSet(name)) << "no signal is left for a later waiter";
}

} // namespace

TEST(OptexRecoveryTest, TimedWaitsGiveUpWithoutATrace)
{
    for (const DWORD timeout : {0u, 40u})
    {
        SCOPED_TRACE(timeout);
        const std::wstring name = TestSupport::UniqueName(L"optex");
        COptex optex(CUnqualifiedName(name), nullptr, 0);
        COptexStateView state(name);
        optex.Enter();
        bool got = true;
        DWORD waited = 0;
        std::thread other([&] {
            const DWORD start = ::GetTickCount();
            got = optex.TryEnterFor(timeout);
            waited = ::GetTickCount() - start;
        });
        other.join();
        EXPECT_FALSE(got);
        EXPECT_GE(waited + 1, timeout);
        EXPECT_EQ(1, state.LockCount()) << "the announcement was withdrawn";
        optex.Leave();
        ExpectFree(state, name);
    }
}

// A waiter whose time runs out just as the owner leaves either has the lock or has left no
// trace: never two owners, never a stray signal.
TEST(OptexRecoveryTest, HandOversAtTheLastMomentAreKept)
{
    const std::wstring name = TestSupport::UniqueName(L"optex");
    COptex optex(CUnqualifiedName(name), nullptr, 0);
    COptexStateView state(name);
    std::atomic<int> inside{0};
    std::atomic<int> most{0};
    const auto critical = [&] {
        const int now = ++inside;
        most = now > most ? now : most.load();
        --inside;
    };
    const int rounds = 1500;
    int timedGot = 0;
    std::thread holder([&] {
        std::mt19937 random(7);
        for (int i = 0; i < rounds; ++i)
        {
            optex.Enter();
            critical();
            ::Sleep(random() % 2);
            optex.Leave();
        }
    });
    std::thread timed([&] {
        std::mt19937 random(11);
        for (int i = 0; i < rounds; ++i)
        {
            if (optex.TryEnterFor(random() % 3))
            {
                critical();
                ++timedGot;
                optex.Leave();
            }
        }
    });
    holder.join();
    timed.join();
    std::printf("timed waiter had the lock %d times of %d\n", timedGot, rounds);
    EXPECT_EQ(1, most.load());
    ExpectFree(state, name);
}

// The holder child enters twice and is killed; waiters of this process, each with a lock
// object of its own, recover the lock. Half the rounds the waiters are waiting already when
// the owner dies, half they arrive after it, all at once, to meet at the take-over.
TEST(OptexRecoveryTest, AnOwnerThatEndedIsTakenOverByExactlyOneWaiter)
{
    const int rounds = 16;
    const int waiters = 4;
    int contested = 0;
    for (int round = 0; round < rounds; ++round)
    {
        SCOPED_TRACE(round);
        const std::wstring program = round % 2 ? TestSupport::OtherArchitectureProgram() : std::wstring();
        const bool waitingAlready = round % 4 < 2;
        const std::wstring name = L"Global\\" + TestSupport::UniqueName(L"optex");
        CHolderEvents events;
        std::vector<std::unique_ptr<COptex>> locks;
        for (int i = 0; i < waiters; ++i)
        {
            locks.emplace_back(new COptex(CUnqualifiedName(name), nullptr, 4000));
        }
        COptexStateView state(name);
        TestSupport::CChildProcess holder(L"OptexHolder", {name, events.heldName, events.leaveName}, program);
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(events.held, 60000)) << holder.Output();

        std::atomic<bool> go{false};
        std::atomic<int> inside{0};
        std::atomic<int> most{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < waiters; ++i)
        {
            threads.emplace_back([&, i] {
                while (!go)
                {
                    ::Sleep(0);
                }
                locks[i]->Enter();
                const int now = ++inside;
                most = now > most ? now : most.load();
                ::Sleep(1);
                --inside;
                locks[i]->Leave();
            });
        }
        if (waitingAlready)
        {
            go = true;
            EXPECT_TRUE(WaitUntil([&] { return state.LockCount() == 2 + waiters; }));
        }
        ::TerminateProcess(holder.Handle(), 99);
        EXPECT_EQ(99u, holder.Wait());
        go = true;
        for (std::thread &thread : threads)
        {
            thread.join();
        }
        LONG takeOvers = 0;
        LONG attempts = 0;
        for (const auto &lock : locks)
        {
            takeOvers += lock->GetTakeOvers();
            attempts += lock->GetTakeOverAttempts();
        }
        EXPECT_EQ(1, takeOvers);
        EXPECT_EQ(1, most.load()) << "one owner at a time, the ended one's entries gone";
        ExpectFree(state, name);
        contested += attempts > 1 ? 1 : 0;
    }
    std::printf("%d of %d rounds had more than one waiter trying to take over\n", contested, rounds);
}

TEST(OptexRecoveryTest, ALiveOwnerIsNeverTakenOver)
{
    for (const std::wstring &program : {std::wstring(), TestSupport::OtherArchitectureProgram()})
    {
        const std::wstring name = L"Global\\" + TestSupport::UniqueName(L"optex");
        CHolderEvents events;
        COptex optex(CUnqualifiedName(name), nullptr, 0);
        COptexStateView state(name);
        TestSupport::CChildProcess holder(L"OptexHolder", {name, events.heldName, events.leaveName}, program);
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(events.held, 60000)) << holder.Output();
        EXPECT_FALSE(optex.TryEnterFor(5 * COptex::OwnerCheckIntervalMs + 50));
        EXPECT_EQ(0, optex.GetTakeOverAttempts());
        EXPECT_EQ(2, state.LockCount());
        ::SetEvent(events.leave);
        EXPECT_EQ(0u, holder.Wait()) << "the owner's own leaving still works";
        ExpectFree(state, name);
    }
}

// Another process may create the lock's objects first and write anything into them.
TEST(OptexRecoveryTest, PlantedStatesNeverHang)
{
    const TestSupport::CLiveThread live;
    const DWORD liveThread = live.Id();
    const struct
    {
        const char *what;
        LONG count;
        DWORD owner;
        LONG recursion;
        bool taken;
    } cases[] = {
        {"an owner id no thread has", 3, 0x7FFFFFF8, 3, true},
        {"an owner that ended with a recursion count of nonsense", 2, 0x7FFFFFF8, 1000000, true},
        {"a count without an owner", 5, 0, 0, false},
        {"a live thread of another owner's id", 2, 0, 1, false},
    };
    for (const auto &planted : cases)
    {
        SCOPED_TRACE(planted.what);
        const std::wstring name = TestSupport::UniqueName(L"optex");
        COptex optex(CUnqualifiedName(name), nullptr, 0);
        COptexStateView state(name);
        const TestSupport::CPlantedOptexState shared(name);
        ASSERT_NE(nullptr, shared.Get());
        shared.Plant(planted.count, planted.owner ? planted.owner : (planted.recursion ? liveThread : 0),
                     planted.recursion);
        const DWORD start = ::GetTickCount();
        const bool taken = optex.TryEnterFor(300);
        const DWORD waited = ::GetTickCount() - start;
        EXPECT_EQ(planted.taken, taken);
        EXPECT_LT(waited, 2000u);
        if (taken)
        {
            EXPECT_EQ(1, state.LockCount());
            EXPECT_EQ(1, state.Recursion());
            optex.Leave();
            ExpectFree(state, name);
        }
        else
        {
            EXPECT_EQ(planted.count, state.LockCount()) << "the waiter withdrew";
        }
    }
}
