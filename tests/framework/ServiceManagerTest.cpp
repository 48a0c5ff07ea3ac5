#include "framework/ServiceManager.h"
#include "framework/ServiceStatus.h"
#include "win32/errors/ErrorMessage.h"
#include "win32/errors/Exception.h"
#include "win32/errors/Win32Exception.h"
#include "win32/sync/Event.h"

#include "tests/framework/RecordingScm.h"
#include "tests/support/CatchException.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

using namespace CorvaneTools::Service;
using CorvaneTools::Win32::CException;
using CorvaneTools::Win32::CManualResetEvent;
using CorvaneTools::Win32::CWin32Exception;
using FrameworkTestSupport::CFakeService;
using FrameworkTestSupport::CRecordingScm;
using TestSupport::CatchException;

namespace {

const wchar_t s_title[] = L"Tessaly Test";
const wchar_t s_version[] = L"1.2.3.4";
const std::wstring s_prefix = L"Tessaly Test - 1.2.3.4";
const std::wstring s_elevationRequest =
    s_prefix + L"\n\nAccess Denied.\nYou do not have the appropriate credentials to perform the required "
               L"action.\n\nSelect \"Retry\" to attempt this task as an Administrator.";

std::wstring Usage(const std::wstring &extra)
{
    return s_prefix + L"\n\n" + extra + (extra.empty() ? L"" : L"\n\n") +
           L"Usage: Tessaly.exe  Followed by the following command line options.\n"
           L"  /help\t\tDisplay this list.\n"
           L"  /noMessages\tMust be first. Do not display status messages.\n"
           L"  /install\t\tInstalls the service in the SCM's database.\n"
           L"  /remove\tRemoves the service from the SCM's database.\n"
           L"  /run   \t\tRuns the service as a normal process for debugging.\n"
           L"  /poll n\tPolls every n ms.\n"
           L"\nNote that only /noMessages can be combined with all other command line options.\n";
}

DWORD RunManager(CRecordingScm &scm, CFakeService &service)
{
    CServiceManager manager(scm, s_title, s_version, false);
    manager.AddService(service);
    manager.ProcessCommandLine();
    return manager.Run();
}

typedef std::function<void(CRecordingScm &, CFakeService &)> Hook;

struct CommandLineRow
{
    const char *name;
    std::vector<std::wstring> arguments;
    Hook setup;
    DWORD exitCode;
    // Empty: no box is shown.
    std::wstring shown;
    Hook check;
};

void CountersRefused(CRecordingScm &, CFakeService &service)
{
    service.m_configuration.hasPerformanceCounters = true;
    service.m_counters = [](std::wstring &) { return false; };
}

void CountersFail(CRecordingScm &, CFakeService &service)
{
    service.m_configuration.hasPerformanceCounters = true;
    service.m_counters = [](std::wstring &reason) {
        reason = L"Copy failed";
        return false;
    };
}

void CountersThrow(CRecordingScm &, CFakeService &service)
{
    service.m_configuration.hasPerformanceCounters = true;
    service.m_counters = [](std::wstring &) -> bool { throw CException(L"X::Y()", L"broken"); };
}

void CountersDenied(CRecordingScm &, CFakeService &service)
{
    service.m_configuration.hasPerformanceCounters = true;
    service.m_counters = [](std::wstring &) -> bool { throw CWin32Exception(L"X::Y()", ERROR_ACCESS_DENIED); };
}

Hook Denied(bool vistaOrLater, int elevationOutcome)
{
    return [=](CRecordingScm &scm, CFakeService &) {
        scm.m_accessDenied = true;
        scm.m_vistaOrLater = vistaOrLater;
        scm.m_elevationOutcome = elevationOutcome;
    };
}

void TakenBack(CRecordingScm &scm, CFakeService &)
{
    EXPECT_EQ(1u, scm.m_installed.size());
    EXPECT_EQ(std::vector<std::wstring>({L"Tessaly Test Service"}), scm.m_removed);
}

void ServiceKept(CRecordingScm &scm, CFakeService &service)
{
    EXPECT_TRUE(scm.m_removed.empty());
    EXPECT_EQ(0, service.m_removedCalls);
}

void ElevationAsked(CRecordingScm &scm, CFakeService &)
{
    ASSERT_EQ(1u, scm.m_elevationRequests.size());
    EXPECT_EQ(s_elevationRequest, scm.m_elevationRequests[0].text);
    EXPECT_EQ(s_title, scm.m_elevationRequests[0].title);
}

void NothingDone(CRecordingScm &scm, CFakeService &service)
{
    EXPECT_TRUE(scm.m_installed.empty());
    EXPECT_TRUE(scm.m_removed.empty());
    EXPECT_EQ(0, scm.m_dispatches);
    EXPECT_TRUE(service.m_approved.empty());
}

const std::wstring s_notASwitch = L"\"\r\nArguments and switches should start with a - or a /";

std::vector<CommandLineRow> CommandLineRows()
{
    const std::wstring installed = s_prefix + L"\n\nService installed";
    const std::wstring removed = s_prefix + L"\n\nService removed";
    const std::wstring counterLine = L"\n\nTessaly Test Service - ";
    const std::wstring notInstalled = s_prefix + L"\n\nService NOT installed: installing the performance counters "
                                                 L"failed, and what was installed has been taken back.";
    const std::wstring notRemoved = s_prefix + L"\n\nService NOT removed: removing the performance counters failed.";
    return {
        {"NoArguments", {}, nullptr, 255, Usage(L""), NothingDone},
        {"QuestionMark", {L"/?"}, nullptr, 0, Usage(L""), NothingDone},
        {"DashHelpUpperCase", {L"-HELP"}, nullptr, 0, Usage(L""), NothingDone},
        {"InstallRemove", {L"/install", L"/remove"}, nullptr, 255,
         Usage(L"Too many command line options specified"), NothingDone},
        {"InstallHelp", {L"/install", L"/help"}, nullptr, 255, Usage(L"Too many command line options specified"),
         NothingDone},
        {"NoDash", {L"install"}, nullptr, 255, Usage(L"Unknown command line option: \"install" + s_notASwitch),
         NothingDone},
        {"NoMessagesAlone", {L"/noMessages"}, nullptr, 255, L"",
         [](CRecordingScm &scm, CFakeService &) { EXPECT_EQ(Usage(L""), scm.m_composed.at(0).text); }},
        {"NoMessagesAfterAction", {L"/install", L"/noMessages"}, nullptr, 255, Usage(L"Internal Error"),
         NothingDone},
        {"InstallWithServiceOption", {L"/install", L"/poll", L"5"}, nullptr, 0, installed,
         [](CRecordingScm &scm, CFakeService &service) {
             EXPECT_EQ(std::vector<std::wstring>({L"/poll", L"/poll"}), service.m_offered);
             EXPECT_EQ(L"5", service.m_poll);
             ASSERT_EQ(1u, scm.m_installed.size());
             EXPECT_EQ(L"Tessaly Test Service", scm.m_installed[0].name);
             EXPECT_EQ(DWORD(SERVICE_WIN32_OWN_PROCESS), scm.m_installed[0].type);
             EXPECT_EQ(L"C:\\Tessaly\\Tessaly.exe /service", scm.m_installed[0].commandLine);
             EXPECT_EQ(1, service.m_installedCalls);
         }},
        {"UnknownSwitchAlone", {L"/frobnicate"}, nullptr, 255,
         Usage(L"Unknown command line option: \"/frobnicate\""), NothingDone},
        {"ServiceOptionAlone", {L"/poll", L"5"}, nullptr, 255, L"", NothingDone},
        {"ServiceRefusesOption", {L"/install", L"/poll"}, nullptr, 255, Usage(L"/poll needs a value"),
         [](CRecordingScm &, CFakeService &service) {
             EXPECT_EQ(std::vector<std::wstring>({L"/poll needs a value"}), service.m_commandLineErrors);
         }},
        {"NotASwitchAfterAction", {L"/install", L"/poll", L"5", L"x"}, nullptr, 255,
         Usage(L"Unknown command line option: \"x" + s_notASwitch), NothingDone},
        {"Remove", {L"/remove"}, nullptr, 0, removed,
         [](CRecordingScm &scm, CFakeService &service) {
             EXPECT_EQ(std::vector<std::wstring>({L"Tessaly Test Service"}), scm.m_removed);
             EXPECT_EQ(1, service.m_removedCalls);
         }},
        {"RunAsProcess", {L"/RUN"}, nullptr, 0, L"",
         [](CRecordingScm &scm, CFakeService &) {
             EXPECT_TRUE(scm.m_dispatchedInDebugMode);
             EXPECT_EQ(std::vector<std::wstring>({L"Tessaly Test Service"}), scm.m_dispatchedNames);
         }},
        {"DebugIsRun", {L"-debug"}, [](CRecordingScm &scm, CFakeService &) { scm.m_dispatchExitCode = 9; }, 0, L"",
         [](CRecordingScm &scm, CFakeService &) { EXPECT_TRUE(scm.m_dispatchedInDebugMode); }},
        {"ServiceEndsCleanly", {L"/service"}, nullptr, 0, L"",
         [](CRecordingScm &scm, CFakeService &service) {
             EXPECT_EQ(1, scm.m_dispatches);
             EXPECT_FALSE(scm.m_dispatchedInDebugMode);
             EXPECT_FALSE(service.m_displayMessages);
         }},
        // A service's messages are composed, and so logged, but never shown.
        {"ServiceFails", {L"/service"}, [](CRecordingScm &scm, CFakeService &) { scm.m_dispatchExitCode = 7; }, 7,
         L"",
         [](CRecordingScm &scm, CFakeService &) {
             ASSERT_EQ(1u, scm.m_composed.size());
             EXPECT_EQ(s_prefix + L"Failed to start service\nError code: 7", scm.m_composed[0].text);
         }},
        {"ServiceAfterAnAction", {L"/install", L"/service"}, nullptr, 255,
         Usage(L"Too many command line options specified"), NothingDone},
        {"ServiceThrowsInTheDispatcher", {L"/service"},
         [](CRecordingScm &scm, CFakeService &) {
             scm.m_onDispatch = [](const std::vector<SERVICE_TABLE_ENTRYW> &) {
                 throw CWin32Exception(L"Failed to start service", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
             };
         },
         5, L"",
         [](CRecordingScm &scm, CFakeService &) {
             ASSERT_EQ(1u, scm.m_composed.size());
             EXPECT_EQ(s_prefix + L"\n\nException: \nFailed to start service\n" +
                           CWin32Exception(L"", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT).GetMessage(),
                       scm.m_composed[0].text);
         }},
        {"InstallCountersRefused", {L"/install"}, CountersRefused, 5,
         notInstalled + counterLine + L"Performance counters already installed", TakenBack},
        {"InstallCountersFail", {L"/install"}, CountersFail, 5, notInstalled + counterLine + L"Copy failed",
         TakenBack},
        {"RemoveCountersRefused", {L"/remove"}, CountersRefused, 0,
         removed + counterLine + L"Performance counters are not installed",
         [](CRecordingScm &scm, CFakeService &) { EXPECT_EQ(1u, scm.m_removed.size()); }},
        {"RemoveCountersFail", {L"/remove"}, CountersFail, 5, notRemoved + counterLine + L"Copy failed",
         ServiceKept},
        {"InstallCountersThrow", {L"/install"}, CountersThrow, 5,
         notInstalled + counterLine + L"Exception whilst installing performance counters: X::Y() - broken",
         TakenBack},
        {"InstallNeedsRestart", {L"/install"},
         [](CRecordingScm &, CFakeService &service) { service.m_restartNote = L"Held copies"; }, 3010,
         installed + L"\n\nHeld copies", nullptr},
        {"RemoveNeedsRestart", {L"/remove"},
         [](CRecordingScm &, CFakeService &service) { service.m_restartNote = L"Held copies"; }, 3010,
         removed + L"\n\nHeld copies", nullptr},
        {"InstallDeniedNt6RelaunchedEndsWith9", {L"/install"},
         [](CRecordingScm &scm, CFakeService &service) {
             Denied(true, 0)(scm, service);
             scm.m_elevatedExitCode = 9;
         },
         9, L"", ElevationAsked},
        {"RemoveCountersThrow", {L"/remove"}, CountersThrow, 5,
         notRemoved + counterLine + L"Exception whilst removing performance counters: X::Y() - broken", ServiceKept},
        {"InstallCountersDeniedNt6", {L"/install"}, CountersDenied, 4, L"",
         [](CRecordingScm &scm, CFakeService &service) {
             ElevationAsked(scm, service);
             TakenBack(scm, service);
         }},
        {"InstallDeniedNt6Declined", {L"/install"}, Denied(true, 1), 4, L"", ElevationAsked},
        {"InstallDeniedNt6MessagesOff", {L"/noMessages", L"/install"}, Denied(true, 1), 4, L"",
         [](CRecordingScm &scm, CFakeService &) { EXPECT_TRUE(scm.m_elevationRequests.empty()); }},
        {"InstallDeniedNt6RelaunchFails", {L"/install"}, Denied(true, 2), 3,
         s_prefix + L"\n\nFailed to launch with elevated credentials: \n" +
             CorvaneTools::Win32::GetLastErrorMessage(ERROR_FILE_NOT_FOUND, true),
         ElevationAsked},
        {"InstallDeniedNt6Relaunched", {L"/install"}, Denied(true, 0), 0, L"", ElevationAsked},
        {"InstallDeniedNt5", {L"/install"}, Denied(false, 1), 5,
         s_prefix + L"\n\nException: \nCService::InstallService() - OpenSCManager\n" +
             CWin32Exception(L"", ERROR_ACCESS_DENIED).GetMessage(),
         [](CRecordingScm &scm, CFakeService &) { EXPECT_TRUE(scm.m_elevationRequests.empty()); }},
    };
}

TEST(ServiceManagerTest, CommandLinesGiveTheirExitCodeAndMessage)
{
    for (const CommandLineRow &row : CommandLineRows())
    {
        SCOPED_TRACE(row.name);
        CRecordingScm scm(row.arguments);
        CFakeService service;
        if (row.setup)
        {
            row.setup(scm, service);
        }
        EXPECT_EQ(row.exitCode, RunManager(scm, service));
        if (row.shown.empty())
        {
            EXPECT_TRUE(scm.m_shown.empty()) << (scm.m_shown.empty() ? "" : "shown");
        }
        else if (scm.m_shown.size() != 1)
        {
            ADD_FAILURE() << scm.m_shown.size() << " boxes shown";
        }
        else
        {
            EXPECT_EQ(row.shown, scm.m_shown[0].text);
            EXPECT_EQ(s_title, scm.m_shown[0].title);
        }
        if (row.check)
        {
            row.check(scm, service);
        }
    }
}

TEST(ServiceManagerTest, RefusalsBeforeTheActionReachTheCaller)
{
    CRecordingScm scm({L"/?"});
    CFakeService service;
    CFakeService twin;
    CServiceManager manager(scm, s_title, s_version, false);
    CException none = CatchException<CException>([&] { manager.Run(); });
    EXPECT_EQ(L"CServiceManagerBase::Run()", none.GetWhere());
    EXPECT_EQ(L"No services have been registered. Services must be registered before calling Run(). At least one "
              L"service must be registered to call Run()",
              none.GetMessage());

    manager.AddService(service);
    CException duplicate = CatchException<CException>([&] { manager.AddService(twin); });
    EXPECT_EQ(L"CServiceManagerBase::AddService()", duplicate.GetWhere());
    EXPECT_EQ(L"Duplicate service: \"Tessaly Test Service\" has already been added.", duplicate.GetMessage());

    EXPECT_EQ(0u, manager.Run());
    CException again = CatchException<CException>([&] { manager.Run(); });
    EXPECT_EQ(L"CServiceManagerBase::Run()", again.GetWhere());
    EXPECT_EQ(L"Service has already been run...", again.GetMessage());
}

TEST(ServiceManagerTest, SecondManagerDuringRunIsRefused)
{
    CRecordingScm scm({L"/install"});
    CFakeService service;
    CFakeService other(L"Other");
    std::wstring refusal;
    service.m_onApprove = [&] {
        CServiceManager second(scm, s_title, s_version, false);
        second.AddService(other);
        try
        {
            second.Run();
        }
        catch (const CException &e)
        {
            refusal = e.GetWhere() + L"|" + e.GetMessage();
        }
    };
    EXPECT_EQ(0u, RunManager(scm, service));
    EXPECT_EQ(L"CServiceManagerBase::Run()|Service manager already exists. Only one instance of a "
              L"CServiceManagerBase class should be instantiated at any one time.",
              refusal);
    // Run lets go of the process's manager slot when it ends.
    service.m_onApprove = nullptr;
    CRecordingScm later({L"/?"});
    EXPECT_EQ(0u, RunManager(later, other));
}

TEST(ServiceManagerTest, ServicesConsumingDifferentCountsEndInException)
{
    CRecordingScm scm({L"/install", L"/poll", L"5"});
    CFakeService first;
    CFakeService second(L"Second");
    second.m_pollCount = 1;
    CServiceManager manager(scm, s_title, s_version, false);
    manager.AddService(first);
    manager.AddService(second);
    const std::wstring where = L"CServiceManagerBase::ParseServiceSpecificCommandLineArgument()";
    const std::wstring message = L"Unexpected: one service consumed more command line arguments than another";
    CException early = CatchException<CException>([&] { manager.ProcessCommandLine(); });
    EXPECT_EQ(where, early.GetWhere());
    EXPECT_EQ(message, early.GetMessage());
    EXPECT_EQ(5u, manager.Run());
    ASSERT_EQ(1u, scm.m_shown.size());
    EXPECT_EQ(s_prefix + L"\n\nException: \n" + where + L"\n" + message, scm.m_shown[0].text);
    EXPECT_TRUE(scm.m_installed.empty());
}

TEST(ServiceManagerTest, ServiceTableReachesServiceMainAndHandler)
{
    CRecordingScm scm({L"/run"});
    CFakeService service;
    service.m_configuration.interactive = true;
    service.m_configuration.acceptedControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
    IReportServiceStatus *mainStatus = nullptr;
    bool oneStatusRecord = false;
    SERVICE_STATUS registered = {};
    int mains = 0;
    // The record dies with the manager, so it is looked at while the service runs.
    service.m_main = [&](IReportServiceStatus &status, IManageServiceNotifications &notifications, DWORD,
                         wchar_t **) {
        ++mains;
        mainStatus = &status;
        CServiceStatus *record = dynamic_cast<CServiceStatus *>(&status);
        oneStatusRecord = record != nullptr && dynamic_cast<CServiceStatus *>(&notifications) == record;
        if (record != nullptr)
        {
            registered = record->GetStatus();
        }
        ASSERT_NE(nullptr, scm.m_handler);
        EXPECT_EQ(DWORD(NO_ERROR), scm.m_handler(SERVICE_CONTROL_INTERROGATE, 0, nullptr, scm.m_context));
    };
    scm.m_onDispatch = [](const std::vector<SERVICE_TABLE_ENTRYW> &table) {
        wchar_t instance[] = L"Tessaly Test Service:7";
        wchar_t unknown[] = L"Someone Else";
        wchar_t *instanceArgs[] = {instance, nullptr};
        wchar_t *unknownArgs[] = {unknown, nullptr};
        table[0].lpServiceProc(0, nullptr);
        table[0].lpServiceProc(1, unknownArgs);
        table[0].lpServiceProc(1, instanceArgs);
    };
    EXPECT_EQ(0u, RunManager(scm, service));
    EXPECT_EQ(1, mains);
    EXPECT_EQ(std::vector<std::wstring>({L"Tessaly Test Service"}), scm.m_registered);
    EXPECT_TRUE(oneStatusRecord);
    EXPECT_EQ(DWORD(SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS), registered.dwServiceType);
    EXPECT_EQ(DWORD(SERVICE_START_PENDING), registered.dwCurrentState);
    EXPECT_EQ(mainStatus, service.m_handlerStatus);
    EXPECT_EQ(std::vector<DWORD>({SERVICE_CONTROL_INTERROGATE}), service.m_controls);
}

TEST(ServiceManagerTest, DestructorWaitsWhileServiceMainRuns)
{
    CRecordingScm scm({L"/run"});
    CFakeService service;
    CManualResetEvent entered;
    CManualResetEvent release;
    std::thread serviceThread;
    service.m_main = [&](IReportServiceStatus &, IManageServiceNotifications &, DWORD, wchar_t **) {
        entered.Set();
        release.Wait(10000);
    };
    // The platform's thread for the service; the dispatcher returns once it is in.
    scm.m_onDispatch = [&](const std::vector<SERVICE_TABLE_ENTRYW> &table) {
        LPSERVICE_MAIN_FUNCTIONW entry = table[0].lpServiceProc;
        serviceThread = std::thread([entry] {
            wchar_t name[] = L"Tessaly Test Service";
            wchar_t *argv[] = {name, nullptr};
            entry(1, argv);
        });
        entered.Wait(5000);
    };
    auto manager = std::make_unique<CServiceManager>(scm, s_title, s_version, false);
    manager->AddService(service);
    manager->ProcessCommandLine();
    EXPECT_EQ(0u, manager->Run());

    std::atomic<bool> destroyed(false);
    std::thread destroyer([&] {
        manager.reset();
        destroyed = true;
    });
    ::Sleep(300);
    const bool destroyedWhileRunning = destroyed;
    release.Set();
    destroyer.join();
    if (serviceThread.joinable())
    {
        serviceThread.join();
    }
    EXPECT_TRUE(entered.IsSignalled());
    EXPECT_FALSE(destroyedWhileRunning);
    EXPECT_TRUE(destroyed);
}

} // namespace
