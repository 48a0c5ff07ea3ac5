#include "framework/ServiceConfigurationMapping.h"
#include "framework/ServiceControlManagerInterface.h"
#include "win32/errors/Win32Exception.h"
#include "win32/log/DebugTrace.h"

#include "tests/framework/RecordingPlatform.h"
#include "tests/support/CatchException.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestNames.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <fstream>
#include <sstream>

using namespace CorvaneTools::Service;
using CorvaneTools::Win32::CException;
using CorvaneTools::Win32::CWin32Exception;
using FrameworkTestSupport::CRecordingPlatform;
using TestSupport::CatchException;

namespace {

class CRecordingDebugDispatcher : public IDispatchServicesInDebugMode
{
public:
    void DispatchServices(const SERVICE_TABLE_ENTRYW *dispatched) override
    {
        table = dispatched;
        threadId = ::GetCurrentThreadId();
    }

    const SERVICE_TABLE_ENTRYW *table = nullptr;
    DWORD threadId = 0;
};

SERVICE_TABLE_ENTRYW s_table[] = {{const_cast<wchar_t *>(L"Svc"), nullptr}, {nullptr, nullptr}};

SERVICE_STATUS Stop(DWORD state, DWORD win32ExitCode, DWORD serviceSpecificExitCode)
{
    SERVICE_STATUS status = {};
    status.dwCurrentState = state;
    status.dwWin32ExitCode = win32ExitCode;
    status.dwServiceSpecificExitCode = serviceSpecificExitCode;
    return status;
}

// What the process-wide log wrote while the action ran.
template <typename Action>
std::string Logged(Action action)
{
    char folder[MAX_PATH];
    ::GetTempPathA(MAX_PATH, folder);
    const std::wstring name = TestSupport::UniqueName(L"scm.log");
    const std::string path = folder + std::string(name.begin(), name.end());
    CorvaneTools::Win32::CDebugTrace::Instance().SetLogName(path);
    action();
    CorvaneTools::Win32::CDebugTrace::Instance().SetLogName(std::string("CorvaneTools.log"));
    std::string content;
    {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream read;
        read << file.rdbuf();
        content = read.str();
    }
    ::DeleteFileA(path.c_str());
    return content;
}

} // namespace

TEST(ServiceControlManagerInterfaceTest, MapsStartupAndSidTypes)
{
    const struct
    {
        LONG value;
        DWORD startType;
        DWORD sidType;
    } table[] = {{0, SERVICE_DISABLED, 0}, {1, SERVICE_DEMAND_START, 0}, {2, SERVICE_AUTO_START, 3},
                 {3, SERVICE_AUTO_START, 1}};
    for (const auto &row : table)
    {
        EXPECT_EQ(row.startType, MapStartupType(row.value)) << row.value;
        EXPECT_EQ(row.sidType, MapServiceSidType(row.value)) << row.value;
    }
    for (const LONG value : {4, -1})
    {
        const std::wstring hex = value == 4 ? L"0x4" : L"0xffffffff";
        const CException start = CatchException<CException>([&] { MapStartupType(value); });
        EXPECT_EQ(L"CServiceControlManagerInterface::MapStartupType()", start.GetWhere());
        EXPECT_EQ(L"Unexpected service startup type: " + hex, start.GetMessage());
        const CException sid = CatchException<CException>([&] { MapServiceSidType(value); });
        EXPECT_EQ(L"CServiceControlManagerInterface::MapServiceSidType()", sid.GetWhere());
        EXPECT_EQ(L"Unexpected service SID type: " + hex, sid.GetMessage());
    }
}

TEST(ServiceControlManagerInterfaceTest, RecordsTheExitCodeOfTheFirstStopReportWithAnError)
{
    const struct
    {
        std::vector<SERVICE_STATUS> reports;
        DWORD exitCode;
    } table[] = {
        {{Stop(1, 1066, 7)}, 7},
        {{Stop(1, 2, 0)}, 5},
        {{Stop(1, 0, 0)}, 0},
        {{Stop(1, 0, 0), Stop(1, 1066, 9)}, 9},
        {{Stop(4, 1066, 7), Stop(3, 2, 0)}, 0},
        {{Stop(1, 1066, 7), Stop(1, 2, 0)}, 7},
        {{Stop(1, 1066, 0), Stop(1, 2, 0)}, 5},
    };
    for (const auto &row : table)
    {
        SCOPED_TRACE(testing::Message() << row.reports.size() << " reports, first " << row.reports[0].dwWin32ExitCode);
        CRecordingPlatform platform;
        CRecordingDebugDispatcher dispatcher;
        CServiceControlManagerInterface scm(1, platform, &dispatcher);
        scm.SetDebugMode(L"/run", L"");
        for (const SERVICE_STATUS &report : row.reports)
        {
            scm.SetStatus(nullptr, report);
        }
        EXPECT_EQ(row.exitCode, scm.StartDispatcher(s_table));
        EXPECT_EQ(s_table, dispatcher.table);
        EXPECT_EQ(::GetCurrentThreadId(), dispatcher.threadId);
        EXPECT_TRUE(platform.calls.empty());
    }
}

TEST(ServiceControlManagerInterfaceTest, DebugModeAsksNothingOfTheServiceControlManager)
{
    CRecordingPlatform platform;
    CServiceControlManagerInterface scm(1, platform, nullptr);
    EXPECT_FALSE(scm.IsDebugMode());
    EXPECT_TRUE(scm.GetDisplayMessages());
    // Outside debug mode a name the dispatcher does not run is refused by the platform.
    const auto extended = [](DWORD, DWORD, void *, void *) -> DWORD { return 0; };
    const auto plain = [](DWORD) {};
    for (const auto &registration : std::vector<std::function<SERVICE_STATUS_HANDLE()>>{
             [&] { return scm.RegisterControlHandler(L"TessalyNoSuchService", extended, nullptr); },
             [&] { return scm.RegisterControlHandler(L"TessalyNoSuchService", plain); }})
    {
        const CWin32Exception refused = CatchException<CWin32Exception>(registration);
        EXPECT_EQ(L"CServiceControlManagerInterface::RegisterControlHandler()", refused.GetWhere());
        EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), refused.GetError());
    }
    const CWin32Exception notSent = CatchException<CWin32Exception>([&] { scm.SetStatus(nullptr, Stop(1, 1066, 3)); });
    EXPECT_EQ(L"CServiceControlManagerInterface::SetStatus()", notSent.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), notSent.GetError());
    EXPECT_EQ(3u, scm.StartDispatcher(s_table));
    platform.dispatcherResult = FALSE;
    const CWin32Exception failed = CatchException<CWin32Exception>([&] { scm.StartDispatcher(s_table); });
    EXPECT_EQ(L"Failed to start service", failed.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), failed.GetError());
    EXPECT_EQ((std::vector<std::wstring>{L"Dispatcher 'Svc'", L"Dispatcher 'Svc'"}), platform.calls);

    scm.SetDebugMode(L"/run", L"");
    EXPECT_TRUE(scm.IsDebugMode());
    EXPECT_EQ(nullptr, scm.RegisterControlHandler(L"TessalyNoSuchService", extended, nullptr));
    EXPECT_EQ(nullptr, scm.RegisterControlHandler(L"TessalyNoSuchService", plain));
    scm.SetStatus(nullptr, Stop(1, 1066, 4));
    const CException noDispatcher = CatchException<CException>([&] { scm.StartDispatcher(s_table); });
    EXPECT_EQ(L"CServiceControlManagerInterface::StartDispatcher()", noDispatcher.GetWhere());
    EXPECT_EQ(2u, platform.calls.size());
}

TEST(ServiceControlManagerInterfaceTest, CommandLineAndExecutable)
{
    CServiceControlManagerInterface scm(1);
    wchar_t **argv = nullptr;
    const int argc = scm.GetCommandLineArgs(argv);
    int count = 0;
    wchar_t **split = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    const std::vector<std::wstring> expected(split, split + count);
    ::LocalFree(split);
    EXPECT_EQ(expected, std::vector<std::wstring>(argv, argv + argc));
    wchar_t **again = nullptr;
    EXPECT_EQ(argc, scm.GetCommandLineArgs(again));
    EXPECT_EQ(argv, again);

    EXPECT_EQ(TestSupport::ThisProgram(), scm.GetExecutablePath());
    EXPECT_EQ(L"framework_tests.exe", scm.GetExecutableName());
}

TEST(ServiceControlManagerInterfaceTest, IsVistaOrLaterOnNTFromVersionSix)
{
    EXPECT_TRUE(CServiceControlManagerInterface(1).IsVistaOrLater());
    const struct
    {
        DWORD platformId;
        DWORD majorVersion;
        bool vistaOrLater;
    } table[] = {{VER_PLATFORM_WIN32_NT, 5, false}, {VER_PLATFORM_WIN32_NT, 6, true},
                 {VER_PLATFORM_WIN32_NT, 10, true}, {VER_PLATFORM_WIN32_WINDOWS, 6, false}};
    for (const auto &row : table)
    {
        CRecordingPlatform platform;
        platform.platformId = row.platformId;
        platform.majorVersion = row.majorVersion;
        EXPECT_EQ(row.vistaOrLater, CServiceControlManagerInterface(1, platform, nullptr).IsVistaOrLater())
            << row.platformId << " " << row.majorVersion;
    }
}

// No box can be seen here: the log and the platform seam show what happened.
TEST(ServiceControlManagerInterfaceTest, MessageBoxLogsAndShowsAsConfigured)
{
    const struct
    {
        DWORD loggingMode;
        bool display;
    } table[] = {{1, true}, {1, false}, {0, true}, {2, false}};
    for (const auto &row : table)
    {
        CRecordingPlatform platform;
        CServiceControlManagerInterface scm(row.loggingMode, platform, nullptr);
        scm.SetDisplayMessages(row.display);
        EXPECT_EQ(row.display, scm.GetDisplayMessages());
        const std::string log = Logged([&] { scm.MessageBox(L"Text of the box", L"Title"); });
        EXPECT_EQ(row.loggingMode == 1, log.find(": MessageBox: Text of the box\r\n") != std::string::npos) << log;
        EXPECT_EQ(row.display ? std::vector<std::wstring>{L"MessageBox 'Text of the box' 'Title' 0x0"}
                              : std::vector<std::wstring>{},
                  platform.calls)
            << row.loggingMode;
    }
    // The platform's own box returns at once without a display.
    CServiceControlManagerInterface(0).MessageBox(L"shown nowhere", L"Title");
}

// The platform's box returns at once here without a display: the declined answer.
TEST(ServiceControlManagerInterfaceTest, RunElevatedDeclinedReturnsOne)
{
    CServiceControlManagerInterface scm(1);
    DWORD error = 77;
    DWORD exitCode = 0;
    EXPECT_EQ(1, scm.RunElevated(L"Title", L"Run elevated?", error, exitCode));
    EXPECT_EQ(77u, error);
}

namespace {

const std::vector<std::wstring> s_relaunchArguments = {
    L"/install", L"/logPath", L"C:\\Program Files\\Tessaly logs", L"say \"hi\"", L"trail\\", L"", L"tab\there"};

// Relaunches through a shell that only records; prints what went wrong and returns 1.
TESSALY_CHILD_MAIN(RunElevatedRelaunch)
{
    CRecordingPlatform platform;
    platform.messageBoxAnswer = IDRETRY;
    platform.shellExecuteResult = _wtoi(args.at(0).c_str());
    CServiceControlManagerInterface scm(1, platform, nullptr);
    DWORD error = 77;
    DWORD exitCode = 77;
    const int result = scm.RunElevated(L"Title", L"Run elevated?", error, exitCode);
    wchar_t **argv = nullptr;
    const int argc = scm.GetCommandLineArgs(argv);
    int count = 0;
    wchar_t **relaunched = ::CommandLineToArgvW((L"program " + platform.launchParameters).c_str(), &count);
    std::vector<std::wstring> expected(argv, argv + argc);
    expected[0] = L"program";
    // The program's own file, whatever argv[0] says.
    wchar_t program[MAX_PATH];
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    const std::vector<std::wstring> calls = {L"MessageBox 'Run elevated?' 'Title' 0x5",
                                             L"ShellExecute 'runas' '" + std::wstring(program) + L"' null 5"};
    const bool same = std::vector<std::wstring>(argv + 3, argv + argc) == s_relaunchArguments &&
                      std::vector<std::wstring>(relaunched, relaunched + count) == expected && calls == platform.calls;
    ::LocalFree(relaunched);
    std::wprintf(L"%d %lu %ls\n", result, error, platform.launchParameters.c_str());
    return same ? 0 : 1;
}

} // namespace

// The elevated copy is waited for and its exit code is the outcome.
TEST(ServiceControlManagerInterfaceTest, RunElevatedWaitsForTheCopyAndGivesItsExitCode)
{
    wchar_t command[] = L"cmd.exe /c exit 9";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(::CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                                 &startup, &process));
    ::CloseHandle(process.hThread);
    CRecordingPlatform platform;
    platform.messageBoxAnswer = IDRETRY;
    platform.launchedProcess = process.hProcess;
    CServiceControlManagerInterface scm(1, platform, nullptr);
    DWORD error = 77;
    DWORD exitCode = 0;
    EXPECT_EQ(0, scm.RunElevated(L"Title", L"Run elevated?", error, exitCode));
    EXPECT_EQ(9u, exitCode);
    EXPECT_EQ(77u, error);
}

namespace {

} // namespace

TEST(ServiceControlManagerInterfaceTest, RunElevatedRelaunchesWithTheSameArguments)
{
    const struct
    {
        const wchar_t *launchResult;
        const char *output;
    } table[] = {{L"42", "0 77 "}, {L"2", "2 2 "}};
    for (const auto &row : table)
    {
        std::vector<std::wstring> args = {row.launchResult};
        args.insert(args.end(), s_relaunchArguments.begin(), s_relaunchArguments.end());
        TestSupport::CChildProcess child(L"RunElevatedRelaunch", args);
        EXPECT_EQ(0u, child.Wait()) << child.Output();
        EXPECT_EQ(0u, child.Output().find(row.output)) << child.Output();
    }
}
