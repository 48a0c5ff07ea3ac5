// CServiceControlDispatcher: the application's own stop, and the control queue's order
// with the pending-state step that waits for the previous transition.
#include "framework/ServiceControlDispatcher.h"

#include "win32/sync/Event.h"

#include "tests/framework/TestServiceCallbacks.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace CorvaneTools;
using namespace FrameworkTestSupport;

namespace {

const DWORD s_type = SERVICE_WIN32_OWN_PROCESS;

bool WaitForState(CServiceUnderTest &target, DWORD state)
{
    return TestSupport::WaitUntil([&] { return target.status.GetStatus().dwCurrentState == state; });
}

} // namespace

TEST(ControlDispatch, ShutdownServiceWithACodeStopsAtOnce)
{
    CServiceUnderTest target;
    CMainRoutineThread main(target);
    ASSERT_TRUE(WaitForState(target, SERVICE_RUNNING));
    const size_t before = target.scm.Reports().size();
    target.callbacks.m_shutdown->ShutdownService(42);
    // Reported by the caller itself, before the main routine has seen the stop.
    const std::vector<StatusFields> atOnce = target.scm.Reports();
    main.Join();
    ASSERT_EQ(before + 1, atOnce.size());
    const StatusFields stopped = {s_type, SERVICE_STOPPED, 7, ERROR_SERVICE_SPECIFIC_ERROR, 42, 0, 0};
    EXPECT_EQ(stopped, atOnce.back());
    EXPECT_EQ(atOnce, target.scm.Reports());
    EXPECT_EQ((std::vector<std::wstring>{L"Start", L"Continue", L"Stop 0", L"Shutdown"}), target.callbacks.Log());
}

TEST(ControlDispatch, ShutdownServiceWithoutACodeAsksForTheStop)
{
    CServiceUnderTest target;
    target.callbacks.m_shutdownResult = 8;
    CMainRoutineThread main(target);
    ASSERT_TRUE(WaitForState(target, SERVICE_RUNNING));
    const size_t before = target.scm.Reports().size();
    target.callbacks.m_shutdown->ShutdownService(0);
    main.Join();
    const std::vector<StatusFields> reports = target.scm.Reports();
    const StatusFields stopProgress = {s_type, SERVICE_STOP_PENDING, 7, 0, 0, 2, 2000};
    // The callbacks' shutdown code becomes the exit code.
    const StatusFields stopped = {s_type, SERVICE_STOPPED, 7, ERROR_SERVICE_SPECIFIC_ERROR, 8, 0, 0};
    EXPECT_EQ((std::vector<StatusFields>{stopProgress, stopped}),
              std::vector<StatusFields>(reports.begin() + before, reports.end()));
    EXPECT_EQ((std::vector<std::wstring>{L"Start", L"Continue", L"Stop 0", L"Shutdown"}), target.callbacks.Log());
}

// A stop arrives while the pause is being handled: its pending state waits until paused
// has been reached, and the stop is handled after the pause.
TEST(ControlDispatch, StopDuringPauseWaitsAndFollowsInQueueOrder)
{
    CServiceUnderTest target;
    Win32::CManualResetEvent inPause;
    Win32::CManualResetEvent stopCalling;
    Win32::CManualResetEvent stopHandled;
    std::atomic<bool> stopReturned(false);
    DWORD stateAtPauseEnd = 0;
    bool stopReturnedAtPauseEnd = true;
    target.callbacks.m_onCall = [&](const std::wstring &call) {
        if (call == L"Pause")
        {
            inPause.Set();
            // Held until the stop's handler call is on its way.
            stopCalling.Wait(10000);
            stopReturnedAtPauseEnd = stopReturned;
            stateAtPauseEnd = target.status.GetStatus().dwCurrentState;
        }
        else if (call == L"Stop 0")
        {
            // The handler's own report comes first.
            stopHandled.Wait(10000);
        }
    };
    CMainRoutineThread main(target);
    ASSERT_TRUE(WaitForState(target, SERVICE_RUNNING));
    target.Handle(SERVICE_CONTROL_PAUSE);
    inPause.Wait(10000);
    std::thread stopper([&] {
        stopCalling.Set();
        target.Handle(SERVICE_CONTROL_STOP);
        stopReturned = true;
        stopHandled.Set();
    });
    stopper.join();
    main.Join();
    EXPECT_FALSE(stopReturnedAtPauseEnd);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_PAUSE_PENDING), stateAtPauseEnd);
    EXPECT_EQ((std::vector<std::wstring>{L"Start", L"Continue", L"Pause", L"Stop 0", L"Shutdown"}),
              target.callbacks.Log());
    const std::vector<StatusFields> reports = target.scm.Reports();
    const std::vector<StatusFields> expected = {
        {s_type, SERVICE_PAUSE_PENDING, 7, 0, 0, 1, 2000}, {s_type, SERVICE_PAUSED, 7, 0, 0, 0, 0},
        {s_type, SERVICE_STOP_PENDING, 7, 0, 0, 1, 2000},  {s_type, SERVICE_STOP_PENDING, 7, 0, 0, 2, 2000},
        {s_type, SERVICE_STOPPED, 7, 0, 0, 0, 0},
    };
    ASSERT_LE(expected.size(), reports.size());
    EXPECT_EQ(expected, std::vector<StatusFields>(reports.end() - expected.size(), reports.end()));
}
