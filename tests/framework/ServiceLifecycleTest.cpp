// The test service (tests/framework/service) under the platform's service control manager:
// installed through the SCM interface, started, controlled and removed.
#include "framework/ServiceControlManagerInterface.h"
#include "framework/ServiceHandle.h"
#include "win32/handles/KernelObjectName.h"
#include "win32/handles/SmartHandle.h"
#include "win32/process/CommandLine.h"
#include "win32/sync/Event.h"

#include "tests/framework/ServiceQuery.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestNames.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <array>

using namespace CorvaneTools;
using Service::CServiceHandle;

namespace {

// Type, state, accepted controls, Win32 exit code, service-specific exit code, checkpoint,
// wait hint.
typedef std::array<DWORD, 7> Fields;

SERVICE_STATUS_PROCESS Query(SC_HANDLE service)
{
    return TestSupport::QueryServiceStatus(service);
}

Fields FieldsOf(const SERVICE_STATUS_PROCESS &s)
{
    return {s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode,
            s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint};
}

// Waits for the state and returns the status it was seen with.
SERVICE_STATUS_PROCESS WaitForState(SC_HANDLE service, DWORD state)
{
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return Query(service).dwCurrentState == state; })) << state;
    return Query(service);
}

// Runs the test service from start to stop; returns the exit code of its process.
DWORD RunTestService(const std::wstring &stopCode, const Fields &stopped)
{
    const std::wstring name = TestSupport::UniqueName(L"svc");
    const Win32::CGlobalName proceedName(name + L"_proceed");
    Win32::CAutoResetEvent proceed(nullptr, Win32::CEvent::NonSignalled, &proceedName);
    Service::CServiceControlManagerInterface scm(1);
    Service::ServiceConfiguration configuration;
    configuration.startType = Service::ServiceConfiguration::Manual;
    configuration.displayName = name;
    const std::wstring program = TestSupport::ThisFolder() + L"\\TessalyTestService.exe";
    scm.InstallService(name, SERVICE_WIN32_OWN_PROCESS, configuration,
                       Win32::QuoteCommandLineArgument(program) + L" " + name + L" " + stopCode);

    DWORD exitCode = STILL_ACTIVE;
    {
        const CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        const CServiceHandle service(::OpenServiceW(manager.Get(), name.c_str(),
                                                    SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                                                        SERVICE_QUERY_STATUS));
        EXPECT_TRUE(::StartServiceW(service.Get(), 0, nullptr)) << ::GetLastError();
        const DWORD accepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
        EXPECT_TRUE(TestSupport::WaitUntil([&] { return Query(service.Get()).dwWaitHint == 2000; }));
        const SERVICE_STATUS_PROCESS starting = Query(service.Get());
        EXPECT_EQ((Fields{0x10, SERVICE_START_PENDING, accepted, 0, 0, 0, 2000}), FieldsOf(starting));
        const Win32::CSmartHandle process(
            ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, starting.dwProcessId));
        proceed.Set();
        EXPECT_EQ((Fields{0x10, SERVICE_RUNNING, accepted, 0, 0, 0, 0}),
                  FieldsOf(WaitForState(service.Get(), SERVICE_RUNNING)));

        const struct
        {
            DWORD control;
            DWORD pending;
            DWORD final;
        } steps[] = {{SERVICE_CONTROL_PAUSE, SERVICE_PAUSE_PENDING, SERVICE_PAUSED},
                     {SERVICE_CONTROL_CONTINUE, SERVICE_CONTINUE_PENDING, SERVICE_RUNNING},
                     {SERVICE_CONTROL_STOP, SERVICE_STOP_PENDING, SERVICE_STOPPED}};
        for (const auto &step : steps)
        {
            SERVICE_STATUS sent = {};
            EXPECT_TRUE(::ControlService(service.Get(), step.control, &sent)) << ::GetLastError();
            EXPECT_EQ((Fields{0x10, step.pending, accepted, 0, 0, 1, 2000}),
                      FieldsOf(WaitForState(service.Get(), step.pending)));
            proceed.Set();
            const Fields reached = {0x10, step.final, accepted, 0, 0, 0, 0};
            EXPECT_EQ(step.final == SERVICE_STOPPED ? stopped : reached,
                      FieldsOf(WaitForState(service.Get(), step.final)));
        }
        if (::WaitForSingleObject(process, 20000) == WAIT_OBJECT_0)
        {
            ::GetExitCodeProcess(process, &exitCode);
        }
    }
    scm.RemoveService(name);
    const CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    EXPECT_FALSE(CServiceHandle(::OpenServiceW(manager.Get(), name.c_str(), SERVICE_QUERY_STATUS)).IsValid());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), ::GetLastError());
    return exitCode;
}

} // namespace

TEST(ServiceLifecycleTest, StopsWithItsServiceSpecificCodeAsTheProcessExitCode)
{
    const DWORD accepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
    EXPECT_EQ(42u, RunTestService(L"42", {0x10, SERVICE_STOPPED, accepted, 1066, 42, 0, 0}));
}

TEST(ServiceLifecycleTest, StopsCleanlyWithExitCodeZero)
{
    const DWORD accepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
    EXPECT_EQ(0u, RunTestService(L"", {0x10, SERVICE_STOPPED, accepted, 0, 0, 0, 0}));
}
