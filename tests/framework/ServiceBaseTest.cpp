// CService: its configuration and names, MapStopReason, the control handler's table and
// the main routine's reports and exception phases.
#include "framework/Service.h"
#include "win32/sync/Event.h"

#include "tests/framework/TestServiceCallbacks.h"
#include "tests/support/CatchException.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <wtsapi32.h>

using namespace CorvaneTools;
using namespace FrameworkTestSupport;

namespace {

const DWORD s_type = SERVICE_WIN32_OWN_PROCESS;
const DWORD s_specific = ERROR_SERVICE_SPECIFIC_ERROR;
const StatusFields s_startPending = {s_type, SERVICE_START_PENDING, 7, 0, 0, 0, 2000};
const StatusFields s_startProgress = {s_type, SERVICE_START_PENDING, 7, 0, 0, 1, 1000};
const StatusFields s_running = {s_type, SERVICE_RUNNING, 7, 0, 0, 0, 0};

void WaitForState(CServiceUnderTest &target, DWORD state)
{
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return target.status.GetStatus().dwCurrentState == state; }))
        << state;
}

} // namespace

TEST(ServiceBase, ConfigurationDefaultsAndNames)
{
    CTestCallbacks callbacks;
    Service::CService service(callbacks, L"Name", L"Description");
    const Service::ServiceConfiguration &configuration = service.GetConfiguration();
    EXPECT_EQ(L"Name", configuration.displayName);
    EXPECT_EQ(L"Description", configuration.description);
    EXPECT_EQ(Service::ServiceConfiguration::Manual, configuration.startType);
    EXPECT_EQ(7u, configuration.acceptedControls);
    EXPECT_EQ(1u, configuration.errorControl);
    EXPECT_FALSE(service.GetDisplayMessages());
    EXPECT_EQ(L"Name", service.GetServiceName());
    EXPECT_EQ(L"CorvaneToolsServerShutdown", service.GetShutdownEventBaseName());
    EXPECT_EQ(L"CorvaneToolsServerPauseResume", service.GetPauseEventBaseName());
    EXPECT_EQ(L"CorvaneToolsServerShutdown-", service.GetShutdownEventName());

    service.SetInstanceName(L"Two");
    EXPECT_EQ(L"Name: Two", service.GetServiceName());
    EXPECT_EQ(L"Name: Two", configuration.displayName);
    EXPECT_EQ(L"CorvaneToolsServerShutdown-Two", service.GetShutdownEventName());
    EXPECT_EQ(L"CorvaneToolsServerPauseResume-Two", service.GetPauseEventName());
    service.SetInstanceName(L"");
    EXPECT_EQ(L"Name", service.GetServiceName());
    EXPECT_EQ(L"Name", configuration.displayName);
}

TEST(ServiceBase, DefaultsOfTheServiceOperations)
{
    CTestCallbacks callbacks;
    Service::CService service(callbacks, L"Name", L"Name");
    // The program's folder, without the separator.
    wchar_t program[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    const std::wstring path = service.GetLogFilePath();
    EXPECT_EQ(std::wstring(program).substr(0, path.size() + 1), path + L"\\");
    EXPECT_EQ(std::wstring::npos, path.find(L"framework_tests.exe"));

    std::wstring message;
    DWORD result = 77;
    EXPECT_EQ(0, service.ParseCommandLineArgument(nullptr, 0, 0, message, result));
    EXPECT_EQ(77u, result);
    EXPECT_EQ(L"usage", service.GetServiceSpecificUsage(L"usage"));
    std::wstring reason;
    EXPECT_TRUE(service.InstallPerformanceCounters(reason));
    EXPECT_TRUE(service.RemovePerformanceCounters(reason));
    service.OnServiceInstalled();
    service.OnServiceRemoved();
    EXPECT_EQ((std::vector<std::wstring>{L"handler:InstallCounters", L"handler:RemoveCounters",
                                         L"handler:Installed", L"handler:Removed"}),
              callbacks.Log());
}

TEST(ServiceBase, MapStopReason)
{
    EXPECT_EQ(0u, Service::CService::MapStopReason(1));
    EXPECT_EQ(1u, Service::CService::MapStopReason(5));
    EXPECT_EQ(2u, Service::CService::MapStopReason(15));
    const struct
    {
        DWORD control;
        const wchar_t *message;
    } refused[] = {{2, L"Unexpected stop reason: 0x2"}, {7, L"Unexpected stop reason: 0x7"},
                   {0xAB, L"Unexpected stop reason: 0xab"}};
    for (const auto &row : refused)
    {
        const auto e = TestSupport::CatchException<Win32::CException>([&] { Service::CService::MapStopReason(row.control); });
        EXPECT_EQ(L"CService::MapStopReason()", e.GetWhere());
        EXPECT_EQ(row.message, e.GetMessage());
    }
}

// Each control handled while running, then a stop: the handler's answer and what the
// callbacks saw between the synthetic continue and the stop.
TEST(ServiceBase, HandlerExTable)
{
    WTSSESSION_NOTIFICATION session = {sizeof(session), 9};
    const struct
    {
        DWORD control;
        DWORD eventType;
        void *eventData;
        bool answer;
        DWORD result;
        std::vector<std::wstring> seen;
    } rows[] = {
        {2, 0, nullptr, true, 0, {L"Pause"}},
        {3, 0, nullptr, true, 0, {L"Continue"}},
        {4, 0, nullptr, true, 0, {}},
        {6, 0, nullptr, true, 0, {L"ParamChange", L"NetBind 6"}},
        {7, 0, nullptr, true, 0, {L"NetBind 7"}},
        {10, 0, nullptr, true, 0, {L"NetBind 10"}},
        {11, 0x8001, nullptr, false, 0x424D5144, {L"handler:DeviceQueryRemove"}},
        {11, 0x8001, nullptr, true, 0, {L"handler:DeviceQueryRemove"}},
        {11, 0x8000, nullptr, false, 0, {L"handler:Device 32768"}},
        {12, 23, nullptr, false, 0x424D5144, {L"handler:ProfileQuery"}},
        {12, 23, nullptr, true, 0, {L"handler:ProfileQuery"}},
        {12, 24, nullptr, false, 0, {L"Profile 24"}},
        {13, 0, nullptr, false, 0x424D5144, {L"handler:PowerQuery 0"}},
        {13, 1, nullptr, false, 0x424D5144, {L"handler:PowerQuery 1"}},
        {13, 1, nullptr, true, 0, {L"handler:PowerQuery 1"}},
        {13, 10, nullptr, false, 0, {L"handler:Power 10"}},
        {14, 5, &session, true, 0, {L"Session 5 9"}},
        {128, 3, nullptr, true, 0, {L"User 128 3"}},
        {200, 7, nullptr, true, 0, {L"User 200 7"}},
        {255, 0, nullptr, true, 0, {L"User 255 0"}},
        // Controls the service does not handle.
        {0, 0, nullptr, true, ERROR_CALL_NOT_IMPLEMENTED, {}},
        {16, 0, nullptr, true, ERROR_CALL_NOT_IMPLEMENTED, {}},
        {32, 1, nullptr, true, ERROR_CALL_NOT_IMPLEMENTED, {}},
        {127, 0, nullptr, true, ERROR_CALL_NOT_IMPLEMENTED, {}},
        {256, 7, nullptr, true, ERROR_CALL_NOT_IMPLEMENTED, {}},
        {0xFFFFFFFF, 0, nullptr, true, ERROR_CALL_NOT_IMPLEMENTED, {}},
    };
    for (const auto &row : rows)
    {
        SCOPED_TRACE(row.control);
        SCOPED_TRACE(row.eventType);
        CServiceUnderTest target;
        target.callbacks.m_answer = row.answer;
        CMainRoutineThread main(target);
        WaitForState(target, SERVICE_RUNNING);
        const size_t before = target.scm.Reports().size();
        EXPECT_EQ(row.result, target.Handle(row.control, row.eventType, row.eventData));
        // Every call reports the current status.
        EXPECT_LT(before, target.scm.Reports().size());
        if (row.control == 2)
        {
            WaitForState(target, SERVICE_PAUSED);
        }
        EXPECT_EQ(0u, target.Handle(1));
        main.Join();
        std::vector<std::wstring> expected = {L"Start", L"Continue"};
        expected.insert(expected.end(), row.seen.begin(), row.seen.end());
        expected.insert(expected.end(), {L"Stop 0", L"Shutdown"});
        EXPECT_EQ(expected, target.callbacks.Log());
    }
}

TEST(ServiceBase, InterrogateReportsTheCurrentStatusOnly)
{
    CServiceUnderTest target;
    CMainRoutineThread main(target);
    WaitForState(target, SERVICE_RUNNING);
    EXPECT_EQ(0u, target.Handle(4));
    const std::vector<StatusFields> reports = target.scm.Reports();
    EXPECT_EQ((std::vector<StatusFields>{s_startPending, s_startProgress, s_running, s_running}), reports);
    target.Handle(1);
}

TEST(ServiceBase, StopControlsAndTheirReasons)
{
    const struct
    {
        DWORD control;
        const wchar_t *stop;
    } rows[] = {{1, L"Stop 0"}, {5, L"Stop 1"}, {15, L"Stop 2"}};
    for (const auto &row : rows)
    {
        SCOPED_TRACE(row.control);
        CServiceUnderTest target;
        // The handler's report goes first: the main routine's progress report would race it.
        Win32::CManualResetEvent handled;
        target.callbacks.m_onCall = [&](const std::wstring &call) {
            if (call == row.stop)
            {
                handled.Wait(10000);
            }
        };
        CMainRoutineThread main(target);
        WaitForState(target, SERVICE_RUNNING);
        EXPECT_EQ(0u, target.Handle(row.control));
        handled.Set();
        main.Join();
        EXPECT_EQ((std::vector<std::wstring>{L"Start", L"Continue", row.stop, L"Shutdown"}), target.callbacks.Log());
        const StatusFields stopPending = {s_type, SERVICE_STOP_PENDING, 7, 0, 0, 1, 2000};
        const StatusFields stopProgress = {s_type, SERVICE_STOP_PENDING, 7, 0, 0, 2, 2000};
        const StatusFields stopped = {s_type, SERVICE_STOPPED, 7, 0, 0, 0, 0};
        EXPECT_EQ((std::vector<StatusFields>{s_startPending, s_startProgress, s_running, stopPending, stopProgress,
                                             stopped}),
                  target.scm.Reports());
    }
}

TEST(ServiceBase, StartFailureStopsWithItsCodeAndStillShutsDown)
{
    CServiceUnderTest target;
    target.callbacks.m_startResult = 7;
    target.callbacks.m_shutdownResult = 8;
    target.RunMain();
    EXPECT_EQ((std::vector<std::wstring>{L"Start", L"Shutdown"}), target.callbacks.Log());
    const StatusFields stopped = {s_type, SERVICE_STOPPED, 7, s_specific, 7, 0, 0};
    EXPECT_EQ((std::vector<StatusFields>{s_startPending, s_startProgress, stopped}), target.scm.Reports());
}
