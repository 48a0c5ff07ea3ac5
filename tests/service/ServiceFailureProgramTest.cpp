// The program failing where nobody can answer a box: a service whose start fails under the
// platform's service control manager, and a program that fails before it has a log. Both
// say it where it can be read, end at once, and exit non-zero. The faulting build stands
// in for the program; the service is installed by the real one and pointed at it.
#include "tests/service/ServiceProgramSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace ServiceProgramSupport;
using CorvaneTools::Service::CServiceHandle;

namespace {

const wchar_t FaultProgram[] = L"TessalyFaultTest.exe";

std::wstring FaultProgramPath()
{
    return TestSupport::ThisFolder() + L"\\" + FaultProgram;
}

size_t Count(const std::vector<std::string> &lines, const std::string &line)
{
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

typedef ServiceProgramSupport::CInstalledProgramTest ServiceFailureProgramTest;

} // namespace

TEST_F(ServiceFailureProgramTest, AServiceWhoseStartFailsStopsWithItsCodeAndItsProcessEnds)
{
    ASSERT_EQ(0u, RunProgram({L"/noMessages", L"/install", L"/logPath", m_logs.Path()}));
    const CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const CServiceHandle service(::OpenServiceW(manager.Get(), ServiceName, SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service.IsValid());
    wchar_t full[MAX_PATH];
    ::GetFullPathNameW(FaultProgramPath().c_str(), MAX_PATH, full, nullptr);
    const std::wstring commandLine = L"\"" + std::wstring(full) + L"\" /service";
    ASSERT_TRUE(::ChangeServiceConfigW(service.Get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                       commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));

    const wchar_t *arguments[] = {L"/refuseStart"};
    ASSERT_TRUE(::StartServiceW(service.Get(), 1, arguments));
    const HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                         TestSupport::QueryServiceStatus(service.Get()).dwProcessId);
    ASSERT_NE(nullptr, process);
    EXPECT_TRUE(TestSupport::ReachesState(service.Get(), SERVICE_STOPPED));
    // Nothing keeps it: no box waits for an answer after the stop.
    const bool ended = ::WaitForSingleObject(process, 30000) == WAIT_OBJECT_0;
    DWORD exitCode = STILL_ACTIVE;
    ::GetExitCodeProcess(process, &exitCode);
    if (!ended)
    {
        ::TerminateProcess(process, 0);
        ::WaitForSingleObject(process, 10000);
    }
    ::CloseHandle(process);
    EXPECT_TRUE(ended);
    const SERVICE_STATUS_PROCESS stopped = TestSupport::QueryServiceStatus(service.Get());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR), stopped.dwWin32ExitCode);
    // An exception from the start: the application's hook leaves the framework's run code.
    EXPECT_EQ(6u, stopped.dwServiceSpecificExitCode);
    EXPECT_EQ(6u, exitCode);

    const std::vector<std::string> log = LogMessages(m_logs / L"CorvaneTessaly.log");
    EXPECT_EQ(1u, Count(log, "CService::OnException() - Exception: CFaultingService::OnServiceStart() - start refused"));
    // What an interactive run would show is logged instead, its first line ending so.
    const std::string box = "MessageBox: Corvane Tessaly - ";
    const std::string failed = "Failed to start service";
    EXPECT_EQ(1, std::count_if(log.begin(), log.end(), [&](const std::string &line) {
                  return line.compare(0, box.size(), box) == 0 && line.size() >= box.size() + failed.size() &&
                         line.compare(line.size() - failed.size(), failed.size(), failed) == 0;
              }));
    const auto shuttingDown = std::find(log.begin(), log.end(), "Service shutting down - Errorcode: 6");
    EXPECT_NE(log.end(), std::find(shuttingDown, log.end(), "Service shut down complete"));
}

// The service cannot be made: no log, no box, not even as a service; the debugger output
// says why and the exit code is the failed action's.
TEST(ServiceFailureProgram, AFailureBeforeTheLogEndsTheProgramWithFiveAndSaysWhy)
{
    for (const wchar_t *action : {L"/service", L"/install", L"/run"})
    {
        SCOPED_TRACE(std::string(action, action + wcslen(action)));
        ::SetEnvironmentVariableW(L"TESSALY_FAULT", L"build");
        std::vector<std::string> debugOutput;
        DWORD exitCode = STILL_ACTIVE;
        {
            TestSupport::CChildProcess child(L"", {action}, FaultProgramPath(), true);
            exitCode = child.WaitDebugging(debugOutput, 60000);
        }
        ::SetEnvironmentVariableW(L"TESSALY_FAULT", nullptr);
        EXPECT_EQ(5u, exitCode);
        EXPECT_EQ(1u, Count(debugOutput, "Exception: MakeService() - no service made\r\n"));
    }
}
