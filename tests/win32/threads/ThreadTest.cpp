#include "win32/errors/Exception.h"
#include "win32/sync/Event.h"
#include "win32/threads/Thread.h"

#include "tests/support/CatchException.h"
#include "ThreadTestSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace CorvaneTools::Win32;
using ThreadTestSupport::TestTimeoutMs;

namespace {

// Records the thread naming exception on its way to CThread's own handler.
struct CNamingRecord
{
    DWORD code = 0;
    DWORD flags = 0xFFFFFFFF;
    DWORD parameters = 0;
    ULONG_PTR type = 0;
    std::string name;
    ULONG_PTR threadId = 0;
    ULONG_PTR reserved = 0xFFFFFFFF;
    DWORD raisedOn = 0;
};

CNamingRecord g_naming;

LONG CALLBACK ObserveNaming(EXCEPTION_POINTERS *pointers)
{
    const EXCEPTION_RECORD *record = pointers->ExceptionRecord;
    if (record->ExceptionCode == 0x406D1388 && record->NumberParameters >= 4)
    {
        g_naming.code = record->ExceptionCode;
        g_naming.flags = record->ExceptionFlags;
        g_naming.parameters = record->NumberParameters;
        g_naming.type = record->ExceptionInformation[0];
        g_naming.name = reinterpret_cast<const char *>(record->ExceptionInformation[1]);
        g_naming.threadId = record->ExceptionInformation[2];
        g_naming.reserved = record->ExceptionInformation[3];
        g_naming.raisedOn = ::GetCurrentThreadId();
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// Runs until released; counts its runs.
struct CHeldWorker
{
    CManualResetEvent started;
    CManualResetEvent release;
    int runs = 0;

    unsigned int operator()()
    {
        ++runs;
        started.Set();
        release.Wait();
        return 7;
    }
};

} // namespace

TEST(ThreadTest, RunResultIsTheExitCode)
{
    EXPECT_EQ(42u, ThreadTestSupport::RunOnOtherThread([]() -> unsigned int { return 42; }));
}

TEST(ThreadTest, AnEscapingExceptionEndsTheThreadWith666)
{
    EXPECT_EQ(666u, ThreadTestSupport::RunOnOtherThread([]() -> unsigned int {
                  throw CException(L"Runnable::Run()", L"failed");
              }));
    EXPECT_EQ(666u, ThreadTestSupport::RunOnOtherThread([]() -> unsigned int { throw 1; }));
}

TEST(ThreadTest, StartWhileRunningThrowsAndLeavesTheThreadAlone)
{
    CHeldWorker worker;
    ThreadTestSupport::TTestThread<std::reference_wrapper<CHeldWorker>> thread(std::ref(worker));
    EXPECT_FALSE(thread.Thread().IsRunning());
    thread.Thread().Start();
    ASSERT_TRUE(worker.started.Wait(TestTimeoutMs));
    EXPECT_TRUE(thread.Thread().IsRunning());

    const CException e = TestSupport::CatchException<CException>([&] { thread.Thread().Start(); });
    EXPECT_EQ(L"CThread::Start()", e.GetWhere());
    EXPECT_EQ(L"Thread already running - you can only call Start() once!", e.GetMessage());
    EXPECT_TRUE(thread.Thread().IsRunning());

    worker.release.Set();
    EXPECT_EQ(7u, thread.ExitCode());
    EXPECT_EQ(1, worker.runs);
    EXPECT_FALSE(thread.Thread().IsRunning());
}

TEST(ThreadTest, StartsAgainOnceTheThreadHasEnded)
{
    CHeldWorker worker;
    worker.release.Set();
    ThreadTestSupport::TTestThread<std::reference_wrapper<CHeldWorker>> thread(std::ref(worker));
    thread.Thread().Start();
    EXPECT_EQ(7u, thread.ExitCode());
    thread.Thread().Start();
    EXPECT_EQ(7u, thread.ExitCode());
    EXPECT_EQ(2, worker.runs);
}

TEST(ThreadTest, NotStartedHasNoHandleToWaitOn)
{
    CHeldWorker worker;
    ThreadTestSupport::TFunctionRunnable<std::reference_wrapper<CHeldWorker>> runnable(std::ref(worker));
    CThread thread(runnable);
    EXPECT_FALSE(thread.IsRunning());
    const CException e = TestSupport::CatchException<CException>([&] { thread.Wait(0); });
    EXPECT_EQ(L"Handle is invalid", e.GetMessage());
}

TEST(ThreadTest, SetThreadNameNeedsARunningThread)
{
    CHeldWorker worker;
    worker.release.Set();
    ThreadTestSupport::TTestThread<std::reference_wrapper<CHeldWorker>> thread(std::ref(worker));
    for (int started = 0; started < 2; ++started)
    {
        const CException e = TestSupport::CatchException<CException>([&] { thread.Thread().SetThreadName(L"Worker"); });
        EXPECT_EQ(L"CThread::SetThreadName()", e.GetWhere());
        EXPECT_EQ(L"Thread has not been started!", e.GetMessage());
        thread.Thread().Start();
        ASSERT_EQ(7u, thread.ExitCode());
    }
}

TEST(ThreadTest, SetThreadNameRaisesTheNamingExceptionAndCarriesOn)
{
    CHeldWorker worker;
    ThreadTestSupport::TTestThread<std::reference_wrapper<CHeldWorker>> thread(std::ref(worker));
    thread.Thread().Start();
    ASSERT_TRUE(worker.started.Wait(TestTimeoutMs));

    g_naming = CNamingRecord();
    const PVOID observer = ::AddVectoredExceptionHandler(1, &ObserveNaming);
    ASSERT_NE(nullptr, observer);
    thread.Thread().SetThreadName(L"PollingThread");
    ::RemoveVectoredExceptionHandler(observer);

    EXPECT_EQ(0x406D1388u, g_naming.code);
    EXPECT_EQ(0u, g_naming.flags);
    EXPECT_EQ(4u, g_naming.parameters);
    EXPECT_EQ(0x1000u, g_naming.type);
    EXPECT_EQ("PollingThread", g_naming.name);
    EXPECT_EQ(thread.Thread().GetThreadId(), g_naming.threadId);
    EXPECT_EQ(0u, g_naming.reserved);
    EXPECT_EQ(::GetCurrentThreadId(), g_naming.raisedOn);

    EXPECT_TRUE(thread.Thread().IsRunning());
    worker.release.Set();
    EXPECT_EQ(7u, thread.ExitCode());
}

TEST(ThreadTest, TerminateEndsTheThreadWithTheGivenCode)
{
    CHeldWorker worker;
    ThreadTestSupport::TTestThread<std::reference_wrapper<CHeldWorker>> thread(std::ref(worker));
    thread.Thread().Start();
    ASSERT_TRUE(worker.started.Wait(TestTimeoutMs));

    HANDLE copy = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), thread.Thread().GetWaitHandle(), ::GetCurrentProcess(), &copy,
                                  0, FALSE, DUPLICATE_SAME_ACCESS));
    thread.Thread().Terminate(42);
    EXPECT_FALSE(thread.Thread().IsRunning());
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(copy, TestTimeoutMs));
    DWORD code = 0;
    EXPECT_TRUE(::GetExitCodeThread(copy, &code));
    EXPECT_EQ(42u, code);
    ::CloseHandle(copy);
}
