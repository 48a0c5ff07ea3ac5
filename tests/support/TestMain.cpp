#include "tests/support/ChildProcess.h"
#include "tests/support/LongRuns.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// A test that hangs under Wine otherwise waits for CTest's timeout and says nothing; the
// watchdog names it and ends the program with a failure instead. The long load runs take
// ten minutes and more by design.
const DWORD s_testLimitMs = TestSupport::ShortOrLong<DWORD>(300000, 1800000);

CRITICAL_SECTION s_currentLock;
std::string s_current;
DWORD s_startedAt = 0;

class CWatchdogListener : public testing::EmptyTestEventListener
{
    void OnTestStart(const testing::TestInfo &test) override
    {
        ::EnterCriticalSection(&s_currentLock);
        s_current = std::string(test.test_suite_name()) + "." + test.name();
        s_startedAt = ::GetTickCount();
        ::LeaveCriticalSection(&s_currentLock);
    }

    void OnTestEnd(const testing::TestInfo &) override
    {
        ::EnterCriticalSection(&s_currentLock);
        s_current.clear();
        ::LeaveCriticalSection(&s_currentLock);
    }
};

DWORD WINAPI Watch(LPVOID)
{
    for (;;)
    {
        ::Sleep(1000);
        ::EnterCriticalSection(&s_currentLock);
        const bool hung = !s_current.empty() && ::GetTickCount() - s_startedAt > s_testLimitMs;
        if (hung)
        {
            std::fprintf(stderr, "\nwatchdog: %s has run for more than %lu s; ending the test program\n",
                         s_current.c_str(), s_testLimitMs / 1000);
            std::fflush(stderr);
            ::TerminateProcess(::GetCurrentProcess(), 3);
        }
        ::LeaveCriticalSection(&s_currentLock);
    }
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    int exitCode = 0;
    if (TestSupport::RunChildIfRequested(argc, argv, exitCode))
    {
        return exitCode;
    }
    testing::InitGoogleTest(&argc, argv);
    ::InitializeCriticalSection(&s_currentLock);
    testing::UnitTest::GetInstance()->listeners().Append(new CWatchdogListener);
    ::CloseHandle(::CreateThread(nullptr, 0, &Watch, nullptr, 0, nullptr));
    return RUN_ALL_TESTS();
}
