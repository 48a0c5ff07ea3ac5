// The service entry and control handler as the platform's dispatcher thread calls them:
// nothing they meet reaches that thread, a service whose start failed is reported stopped,
// and what they have to say goes to the log, never to a box.
#include "framework/ServiceManager.h"
#include "win32/errors/Exception.h"
#include "win32/errors/Win32Exception.h"
#include "win32/text/StringConverter.h"

#include "tests/framework/RecordingScm.h"
#include "tests/framework/RecordingStatusScm.h"
#include "tests/support/CapturedLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

using namespace CorvaneTools::Service;
using CorvaneTools::Win32::CException;
using CorvaneTools::Win32::CWin32Exception;
using FrameworkTestSupport::CFakeService;
using FrameworkTestSupport::CRecordingScm;
using FrameworkTestSupport::StatusFields;

namespace {

const std::string s_entryException = "CServiceManagerBase::ServiceMain - Exception";

DWORD RunServiceTable(CRecordingScm &scm, CFakeService &service)
{
    scm.m_onDispatch = [](const std::vector<SERVICE_TABLE_ENTRYW> &table) {
        wchar_t name[] = L"Tessaly Test Service";
        wchar_t *argv[] = {name, nullptr};
        table[0].lpServiceProc(1, argv);
    };
    CServiceManager manager(scm, L"Tessaly Test", L"1.2.3.4", false);
    manager.AddService(service);
    manager.ProcessCommandLine();
    return manager.Run();
}

std::string Failure(const wchar_t *where, DWORD error)
{
    return s_entryException + ": " + CorvaneTools::Win32::CStringConverter::WtoA(where) + " - " +
           CorvaneTools::Win32::CStringConverter::WtoA(CWin32Exception(L"", error).GetMessage());
}

size_t Count(const std::vector<std::string> &lines, const std::string &line)
{
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

} // namespace

TEST(ServiceEntryTest, FailuresOfRegistrationAndStartStayOffThePlatformsThread)
{
    typedef std::function<void(CRecordingScm &, CFakeService &)> Hook;
    const StatusFields pending = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 5, 0, 0, 0, 2000};
    const StatusFields failed = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 5, ERROR_SERVICE_SPECIFIC_ERROR, 5, 0, 0};
    const StatusFields ownStop = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 5, ERROR_SERVICE_SPECIFIC_ERROR, 7, 0, 0};
    const struct
    {
        const char *name;
        Hook setup;
        int mains;
        std::vector<StatusFields> reports;
        // Empty: nothing logged.
        std::vector<std::string> logged;
    } rows[] = {
        // No status handle: nothing can be reported.
        {"RegistrationRefused",
         [](CRecordingScm &scm, CFakeService &) { scm.m_registrationError = ERROR_SERVICE_NOT_IN_EXE; }, 0, {},
         {Failure(L"CServiceControlManagerInterface::RegisterControlHandler()", ERROR_SERVICE_NOT_IN_EXE)}},
        {"ReportsRefused", [](CRecordingScm &scm, CFakeService &) { scm.m_reportError = ERROR_INVALID_HANDLE; }, 0,
         {pending, failed},
         {Failure(L"CServiceControlManagerInterface::SetStatus()", ERROR_INVALID_HANDLE), s_entryException}},
        {"MainThrowsAnException",
         [](CRecordingScm &, CFakeService &service) {
             service.m_main = [](IReportServiceStatus &, IManageServiceNotifications &, DWORD, wchar_t **) {
                 throw CException(L"X::Y()", L"broken");
             };
         },
         1, {pending, failed}, {s_entryException}},
        {"MainThrowsAnything",
         [](CRecordingScm &, CFakeService &service) {
             service.m_main = [](IReportServiceStatus &, IManageServiceNotifications &, DWORD, wchar_t **) {
                 throw 42;
             };
         },
         1, {pending, failed}, {s_entryException}},
        // The stop the service reported stays the last.
        {"MainStopsThenThrows",
         [](CRecordingScm &, CFakeService &service) {
             service.m_main = [](IReportServiceStatus &status, IManageServiceNotifications &, DWORD, wchar_t **) {
                 status.ServiceStoppedWithServiceSpecificError(7);
                 throw 42;
             };
         },
         1, {pending, ownStop}, {s_entryException}},
        {"MainReturns",
         [](CRecordingScm &, CFakeService &service) {
             service.m_main = [](IReportServiceStatus &, IManageServiceNotifications &, DWORD, wchar_t **) {};
         },
         1, {pending}, {}},
    };
    for (const auto &row : rows)
    {
        SCOPED_TRACE(row.name);
        TestSupport::CCapturedLog log;
        CRecordingScm scm({L"/service"});
        CFakeService service;
        int mains = 0;
        row.setup(scm, service);
        const auto main = service.m_main;
        service.m_main = [&](IReportServiceStatus &status, IManageServiceNotifications &notifications, DWORD argc,
                             wchar_t **argv) {
            ++mains;
            main(status, notifications, argc, argv);
        };
        // Anything out of the entry would have reached the dispatcher call and ended the run
        // with 5 and a message.
        EXPECT_EQ(0u, RunServiceTable(scm, service));
        EXPECT_TRUE(scm.m_composed.empty());
        EXPECT_EQ(row.mains, mains);
        std::vector<StatusFields> reports;
        for (const SERVICE_STATUS &status : scm.m_statuses)
        {
            reports.push_back(FrameworkTestSupport::Fields(status));
        }
        EXPECT_EQ(row.reports, reports);
        std::vector<std::string> failures;
        for (const std::string &line : log.Messages())
        {
            if (line.compare(0, s_entryException.size(), s_entryException) == 0)
            {
                failures.push_back(line);
            }
        }
        EXPECT_EQ(row.logged, failures);
    }
}

// A call from the platform after the run: no service is reached, and the log says why.
TEST(ServiceEntryTest, EntriesWithoutRunningManagerReachNoService)
{
    TestSupport::CCapturedLog log;
    CRecordingScm scm({L"/run"});
    CFakeService service;
    int mains = 0;
    service.m_main = [&](IReportServiceStatus &, IManageServiceNotifications &, DWORD, wchar_t **) { ++mains; };
    CServiceManager manager(scm, L"Tessaly Test", L"1.2.3.4", false);
    manager.AddService(service);
    manager.ProcessCommandLine();
    EXPECT_EQ(0u, manager.Run());
    wchar_t name[] = L"Tessaly Test Service";
    wchar_t *argv[] = {name, nullptr};
    scm.m_dispatched.at(0).lpServiceProc(1, argv);
    EXPECT_EQ(0u, CServiceManagerBase::HandlerEx(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr));
    EXPECT_EQ(0, mains);
    EXPECT_EQ(2u, Count(log.Messages(), "CServiceManagerBase::Run() - Service Manager does not exist!"));
}
