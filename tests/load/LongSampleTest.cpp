// Pause, continue and stop sent while the polling thread is inside a long sample of a table
// full of TIME_WAIT rows. Prints how long each took against the wait hint the service
// reported; fails when a state is not reached or the stop does not end the process cleanly.
#include "tests/load/LoadRunSupport.h"
#include "tests/support/LongRuns.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

using namespace LoadRuns;

namespace {

// TIME_WAIT rows that outlive their makers for the kernel's minute; three makers, each
// with a listener of its own, so that the client ports suffice.
void MakeTimeWaits(int count)
{
    std::vector<std::unique_ptr<TestSupport::CChildProcess>> makers;
    for (int n = 0; n < 3; ++n)
    {
        makers.emplace_back(new TestSupport::CChildProcess(
            L"", {L"0", L"/timewait:" + std::to_wstring((count + 2) / 3)},
            Top() + L"\\build\\x64\\bin\\TessalyConnections.exe"));
    }
    for (const auto &maker : makers)
    {
        EXPECT_EQ(0u, maker->Wait(120000)) << maker->Output();
    }
}

// A sample begins as the service starts and again as it continues, and one of this table
// takes seconds: a control sent this long after either arrives inside the table call. (The
// log cannot tell: it reaches the file in blocks.)
const DWORD IntoTheSampleMs = 300;

// Sends the control, returns the milliseconds until the state and prints them with the
// wait hint of the pending state.
ULONGLONG Timed(const CInstalledService &service, DWORD control, DWORD state, const char *what)
{
    const ULONGLONG sent = NowMs();
    EXPECT_TRUE(TestSupport::Control(service.Handle(), control)) << what;
    const DWORD hint = service.Status().dwWaitHint;
    const bool reached =
        TestSupport::WaitUntil([&] { return service.Status().dwCurrentState == state; }, 60000);
    const ULONGLONG took = NowMs() - sent;
    EXPECT_TRUE(reached) << what;
    std::printf("%s during a sample: %llu ms (wait hint %lu ms)\n", what, took, hint);
    return took;
}

TEST(LongSampleTest, PauseContinueAndStopArriveInsideTheTableCall)
{
    const int rows = TestSupport::ShortOrLong(2000, 30000);
    const CInstalledService service(L"1");
    ASSERT_TRUE(service.Installed());
    // Made before the service starts, so that its first sample already sees them.
    const ULONGLONG making = NowMs();
    MakeTimeWaits(rows);
    std::printf("%d TIME_WAIT rows made in %llu ms\n", rows, NowMs() - making);
    ASSERT_TRUE(service.Start());
    const HANDLE process =
        ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, service.Status().dwProcessId);
    ASSERT_NE(nullptr, process);

    ::Sleep(IntoTheSampleMs);
    Timed(service, SERVICE_CONTROL_PAUSE, SERVICE_PAUSED, "Pause");
    Timed(service, SERVICE_CONTROL_CONTINUE, SERVICE_RUNNING, "Continue");
    ::Sleep(IntoTheSampleMs);
    Timed(service, SERVICE_CONTROL_STOP, SERVICE_STOPPED, "Stop");
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(process, 30000));
    DWORD exitCode = STILL_ACTIVE;
    ::GetExitCodeProcess(process, &exitCode);
    ::CloseHandle(process);
    EXPECT_EQ(0u, exitCode);
    EXPECT_EQ(0u, service.Status().dwWin32ExitCode);

    const std::vector<std::string> lines = LogMessages(service.LogFile());
    const bool terminated = Contains(lines, "Polling thread failed to shutdown...");
    std::printf("The polling thread %s; process exit code %lu\n",
                terminated ? "was terminated after its 5000 ms" : "ended by itself", exitCode);
    EXPECT_TRUE(terminated || Contains(lines, "Polling thread shutdown..."));
    EXPECT_TRUE(Contains(lines, "Service: \"Corvane Tessaly\" shut down"));
}

} // namespace
