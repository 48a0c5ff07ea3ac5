// Tessaly.exe as an administrator uses it: installed with its options, started, paused,
// continued and stopped by the platform's service control manager, read by readers of
// both architectures through the performance library, and removed; and run as a process.
#include "counters/TcpCounterSchema.h"
#include "framework/ServiceHandle.h"
#include "perfmon/PerformanceDataBlockNames.h"
#include "perfmon/PerformanceDataSchema.h"
#include "win32/registry/RegistryKey.h"

#include "tests/framework/ServiceQuery.h"
#include "tests/service/ServiceProgramSupport.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LoopbackConnections.h"
#include "tests/support/ProviderRegistrationLock.h"
#include "tests/support/ScratchDirectory.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

using namespace CorvaneTools::Counters;
using CorvaneTools::PerfMon::CPerformanceDataBlockNames;
using CorvaneTools::Service::CServiceHandle;
using TestSupport::CChildProcess;
using TestSupport::CLoopbackConnections;

namespace {

using ServiceProgramSupport::ConfigKey;
using ServiceProgramSupport::LogMessages;
using ServiceProgramSupport::Program;
using ServiceProgramSupport::Read;
using ServiceProgramSupport::RunProgram;
using ServiceProgramSupport::ServiceName;
using ServiceProgramSupport::Top;
using ServiceProgramSupport::Values;

const DWORD PollSeconds = 2;
const std::wstring TcpParameters = L"SYSTEM\\CurrentControlSet\\Services\\TcpIp\\Parameters";

// What the test's own connections should show, every other counter zero.
Values Expected(const CLoopbackConnections &ipv4, const CLoopbackConnections &ipv6, DWORD maxUserPort,
                DWORD timedWaitDelay)
{
    Values expected;
    for (int counter = 0; counter < NumTcpCounters; ++counter)
    {
        const std::wstring name = GetTcpCounterName(static_cast<TcpCounter>(counter));
        expected[std::string(name.begin(), name.end())] = 0;
    }
    const char *const states[] = {"LISTEN", "ESTABLISHED", "FIN_WAIT2", "CLOSE_WAIT"};
    const DWORD values[] = {CLoopbackConnections::Listen, CLoopbackConnections::Established,
                            CLoopbackConnections::FinWait2, CLoopbackConnections::CloseWait};
    for (size_t i = 0; i < 4; ++i)
    {
        expected[std::string("IPv4: ") + states[i]] = ipv4.Expected()[values[i] - 1];
        expected[std::string("IPv6: ") + states[i]] = ipv6.Expected()[values[i] - 1];
    }
    expected["MaxUserPort"] = maxUserPort;
    expected["TcpTimedWaitDelay"] = timedWaitDelay;
    return expected;
}

using TestSupport::Control;
using TestSupport::ReachesState;

void SetTcpParameter(const wchar_t *name, DWORD value)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, TcpParameters.c_str(), 0, nullptr, 0, KEY_WRITE,
                                               nullptr, &key, nullptr));
    ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof(value));
    ::RegCloseKey(key);
}

void DeleteTcpParameters()
{
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, TcpParameters.c_str(), L"MaxUserPort");
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, TcpParameters.c_str(), L"TcpTimedWaitDelay");
}

bool ExactCountsPossible(std::string &reason)
{
    const char *marker = std::getenv("TESSALY_PRIVATE_NETWORK");
    if (marker == nullptr || std::string(marker) != "1")
    {
        reason = "not inside a private network namespace";
    }
    else if (!CLoopbackConnections::TableIsEmpty(AF_INET) || !CLoopbackConnections::TableIsEmpty(AF_INET6))
    {
        reason = "the table holds rows this test did not make";
    }
    return reason.empty();
}

class ServiceProgramTest : public ServiceProgramSupport::CInstalledProgramTest
{
protected:
    void SetUp() override
    {
        CInstalledProgramTest::SetUp();
        DeleteTcpParameters();
    }

    void TearDown() override
    {
        CInstalledProgramTest::TearDown();
        DeleteTcpParameters();
    }
};

} // namespace

TEST_F(ServiceProgramTest, InstallRegistersTheServiceItsConfigurationAndBothCounterDlls)
{
    ASSERT_EQ(0u, RunProgram({L"/noMessages", L"/install", L"/poll", L"2", L"/logPath", m_logs.Path()}));

    const CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    // Closed before the removal: an open handle keeps a deleted service.
    CServiceHandle service(::OpenServiceW(manager.Get(), ServiceName, SERVICE_QUERY_CONFIG));
    ASSERT_TRUE(service.IsValid());
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    ASSERT_TRUE(::QueryServiceConfigW(service.Get(), reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data()),
                                      static_cast<DWORD>(buffer.size()), &needed));
    const QUERY_SERVICE_CONFIGW &config = *reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config.dwServiceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), config.dwStartType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config.dwErrorControl);
    wchar_t full[MAX_PATH];
    ::GetFullPathNameW(Program().c_str(), MAX_PATH, full, nullptr);
    EXPECT_EQ(std::wstring(full) + L" /service", config.lpBinaryPathName);
    EXPECT_EQ(std::wstring(ServiceName), config.lpDisplayName);
    ASSERT_TRUE(::QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, buffer.data(),
                                       static_cast<DWORD>(buffer.size()), &needed));
    EXPECT_EQ(std::wstring(ServiceName), reinterpret_cast<SERVICE_DESCRIPTIONW *>(buffer.data())->lpDescription);

    const CorvaneTools::Win32::CRegistryKey key(HKEY_LOCAL_MACHINE, ConfigKey.c_str(), KEY_READ);
    DWORD poll = 0, log = 0;
    std::wstring logPath;
    EXPECT_TRUE(key.QueryValue(L"Poll", poll));
    EXPECT_TRUE(key.QueryValue(L"Log", log));
    EXPECT_TRUE(key.QueryValue(L"LogPath", logPath));
    EXPECT_EQ(2000u, poll);
    EXPECT_EQ(1u, log);
    EXPECT_EQ(m_logs.Path(), logPath);

    const CorvaneTools::Win32::CRegistryKey performance(
        HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Corvane Tessaly\\Performance", KEY_READ);
    std::wstring checksum;
    EXPECT_TRUE(performance.QueryValue(L"SchemaChecksum", checksum));
    CorvaneTools::PerfMon::CPerformanceDataSchema schema(L"009");
    BuildTcpCounterSchema(schema);
    EXPECT_EQ(schema.GetChecksum(), checksum);

    wchar_t windows[MAX_PATH];
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    EXPECT_EQ(TestSupport::ReadBytes(Top() + L"\\dist\\x64\\TessalyCounters.dll"),
              TestSupport::ReadBytes(std::wstring(windows) + L"\\system32\\Tessaly.dll"));
    EXPECT_EQ(TestSupport::ReadBytes(Top() + L"\\dist\\x86\\TessalyCounters.dll"),
              TestSupport::ReadBytes(std::wstring(windows) + L"\\syswow64\\Tessaly.dll"));
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    for (const wchar_t *pattern : {L"Tessaly-x86*.tmp", L"Tessaly-x64*.tmp"})
    {
        WIN32_FIND_DATAW found;
        const HANDLE search = ::FindFirstFileW((std::wstring(temp) + pattern).c_str(), &found);
        EXPECT_EQ(INVALID_HANDLE_VALUE, search) << "left behind: " << found.cFileName;
        if (search != INVALID_HANDLE_VALUE)
        {
            ::FindClose(search);
        }
    }
    const std::vector<std::string> log1 = LogMessages(m_logs / L"CorvaneTessaly.log");
    EXPECT_NE(log1.end(), std::find(log1.begin(), log1.end(), "Performance counters installed"));

    service.Reset();
    EXPECT_EQ(0u, RunProgram({L"/noMessages", L"/remove"}));
    EXPECT_FALSE(CServiceHandle(::OpenServiceW(manager.Get(), ServiceName, SERVICE_QUERY_CONFIG)).IsValid());
    EXPECT_FALSE(TestSupport::Exists(std::wstring(windows) + L"\\system32\\Tessaly.dll"));
    EXPECT_FALSE(TestSupport::Exists(std::wstring(windows) + L"\\syswow64\\Tessaly.dll"));
    HKEY gone;
    EXPECT_NE(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ConfigKey.c_str(), 0, KEY_READ, &gone));
    EXPECT_EQ(0u, RunProgram({L"/noMessages", L"/install"})) << "installs again after a removal";
}

// The whole life of a started service, with connections the test makes in known states.
TEST_F(ServiceProgramTest, TheStartedServiceCountsPausesContinuesAndStops)
{
    std::string reason;
    const bool exact = ExactCountsPossible(reason);
    if (!exact)
    {
        std::printf("Exact counts are not compared: %s.\n", reason.c_str());
    }
    ASSERT_EQ(0u, RunProgram({L"/noMessages", L"/install", L"/poll", L"2", L"/logPath", m_logs.Path()}));
    const CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const CServiceHandle service(::OpenServiceW(manager.Get(), ServiceName, SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service.IsValid());
    CLoopbackConnections ipv4(AF_INET), ipv6(AF_INET6);
    ipv4.AddEstablishedPairs(3);
    ipv4.AddHalfClosedPairs(1);
    ipv6.AddEstablishedPairs(2);
    ASSERT_TRUE(CLoopbackConnections::WaitForTable(ipv4, ipv6) || !exact);

    ASSERT_TRUE(::StartServiceW(service.Get(), 0, nullptr));
    ASSERT_TRUE(ReachesState(service.Get(), SERVICE_RUNNING));
    const DWORD twoPolls = 2 * PollSeconds * 1000;
    for (const wchar_t *architecture : {L"x64", L"x86"})
    {
        SCOPED_TRACE(std::string(architecture, architecture + 3));
        Values read;
        // The first sample comes at once, so within two intervals the values are there.
        const bool matched = TestSupport::WaitUntil(
            [&] { return (read = Read(architecture)) == Expected(ipv4, ipv6, 0, 0) || (!exact && !read.empty()); },
            twoPolls);
        EXPECT_TRUE(matched) << "IPv4: ESTABLISHED read " << read["IPv4: ESTABLISHED"];
    }

    SetTcpParameter(L"MaxUserPort", 40000);
    SetTcpParameter(L"TcpTimedWaitDelay", 45);
    ASSERT_TRUE(Control(service.Get(), SERVICE_CONTROL_PAUSE));
    ASSERT_TRUE(ReachesState(service.Get(), SERVICE_PAUSED));
    const Values paused = Read(L"x64");
    ipv4.AddEstablishedPairs(2);
    ::Sleep(twoPolls);
    EXPECT_EQ(paused, Read(L"x64")) << "values stay while paused";

    ASSERT_TRUE(Control(service.Get(), SERVICE_CONTROL_CONTINUE));
    ASSERT_TRUE(ReachesState(service.Get(), SERVICE_RUNNING));
    Values resumed;
    // Sooner than a whole interval: the continue samples at once.
    const Values expected = Expected(ipv4, ipv6, 40000, 45);
    EXPECT_TRUE(TestSupport::WaitUntil(
        [&] {
            resumed = Read(L"x86");
            return exact ? resumed == expected : resumed["TcpTimedWaitDelay"] == 45;
        },
        PollSeconds * 1000 - 500))
        << "IPv4: ESTABLISHED read " << resumed["IPv4: ESTABLISHED"];
    EXPECT_EQ(40000u, resumed["MaxUserPort"]);

    ASSERT_TRUE(Control(service.Get(), SERVICE_CONTROL_STOP));
    ASSERT_TRUE(ReachesState(service.Get(), SERVICE_STOPPED));
    const SERVICE_STATUS_PROCESS stopped = TestSupport::QueryServiceStatus(service.Get());
    EXPECT_EQ(0u, stopped.dwWin32ExitCode);
    const Values afterStop = Read(L"x64");
    EXPECT_EQ(static_cast<size_t>(NumTcpCounters), afterStop.size()) << "the object stays, with zeros";
    for (const auto &value : afterStop)
    {
        EXPECT_EQ(0u, value.second) << value.first << " after the stop";
    }

    const std::vector<std::string> log = LogMessages(m_logs / L"CorvaneTessaly.log");
    const char *const inOrder[] = {"****************New Log*****************",
                                   "Service: \"Corvane Tessaly\" initialising",
                                   "Will poll for TCP Stats every 2000ms",
                                   "Polling thread started...",
                                   "Service: \"Corvane Tessaly\" running",
                                   "Service is running...",
                                   "Service is paused...",
                                   "Service is running...",
                                   "Service is stopping...",
                                   "Service: \"Corvane Tessaly\" shutting down",
                                   "Polling thread shutdown...",
                                   "Deleting objects...",
                                   "Service: \"Corvane Tessaly\" shut down",
                                   "Service shutting down",
                                   "Service shut down complete"};
    auto at = log.begin();
    for (const char *line : inOrder)
    {
        at = std::find(at, log.end(), line);
        ASSERT_NE(log.end(), at) << "missing, or out of order: " << line;
    }
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), exact ? "ESTABLISHED: 6" : "LISTEN: 1"));
}

// As a plain process: publishes until the global shutdown event is pulsed.
TEST_F(ServiceProgramTest, RunAsAProcessPublishesUntilTheShutdownEvent)
{
    ASSERT_EQ(0u, RunProgram({L"/noMessages", L"/install"}));
    const HANDLE shutdown = ::CreateEventW(nullptr, TRUE, FALSE, L"Global\\CorvaneToolsServerShutdown");
    CLoopbackConnections ipv4(AF_INET);
    {
        CChildProcess program(L"", {L"/noMessages", L"/run", L"/createLog", L"/logPath", m_logs.Path()}, Program());
        Values read;
        EXPECT_TRUE(TestSupport::WaitUntil([&] { return (read = Read(L"x64"))["IPv4: LISTEN"] >= 1; }, 10000));
        ::PulseEvent(shutdown);
        EXPECT_EQ(0u, program.Wait(20000));
    }
    ::CloseHandle(shutdown);
    const std::vector<std::string> log = LogMessages(m_logs / L"CorvaneTessaly.log");
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "Service shut down complete"));
}

// A reader holding a DLL copy: the removal is refused whole, and a second one after the
// reader lets go removes everything.
TEST_F(ServiceProgramTest, ARemovalWhileACopyIsHeldIsRefusedAndCanBeRepeated)
{
    ASSERT_EQ(0u, RunProgram({L"/noMessages", L"/install"}));
    wchar_t windows[MAX_PATH];
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring copy = std::wstring(windows) + L"\\system32\\Tessaly.dll";
    const HANDLE held = ::CreateFileW(copy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), RunProgram({L"/noMessages", L"/remove"}));
    ::CloseHandle(held);
    const CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    EXPECT_TRUE(CServiceHandle(::OpenServiceW(manager.Get(), ServiceName, SERVICE_QUERY_STATUS)).IsValid())
        << "the service stays with its counters";
    EXPECT_TRUE(TestSupport::Exists(copy));

    EXPECT_EQ(0u, RunProgram({L"/noMessages", L"/remove"}));
    EXPECT_FALSE(CServiceHandle(::OpenServiceW(manager.Get(), ServiceName, SERVICE_QUERY_STATUS)).IsValid());
    EXPECT_FALSE(TestSupport::Exists(copy));
    EXPECT_FALSE(TestSupport::Exists(std::wstring(windows) + L"\\syswow64\\Tessaly.dll"));
}

// Someone made one of the block's names first: the service publishes nothing through it,
// says which object and why, and stops with its own exit code.
TEST_F(ServiceProgramTest, AServiceWhoseBlockNameIsTakenRefusesToStartAndSaysWhich)
{
    ASSERT_EQ(0u, RunProgram({L"/noMessages", L"/install", L"/logPath", m_logs.Path()}));
    const std::wstring lock = CPerformanceDataBlockNames::OfCounterSet(TcpCounterSetName).Lock();
    const HANDLE squatter = ::CreateMutexW(nullptr, FALSE, lock.c_str());
    ASSERT_NE(nullptr, squatter);
    const CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const CServiceHandle service(::OpenServiceW(manager.Get(), ServiceName, SERVICE_ALL_ACCESS));
    ASSERT_TRUE(::StartServiceW(service.Get(), 0, nullptr));
    const HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE,
                                         TestSupport::QueryServiceStatus(service.Get()).dwProcessId);
    EXPECT_TRUE(ReachesState(service.Get(), SERVICE_STOPPED));
    ::CloseHandle(squatter);
    // Its process ends too: no box waits for an answer. One left running would leave the
    // service marked for delete by the removal that follows.
    const bool ended = process && ::WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
    EXPECT_TRUE(ended);
    if (process && !ended)
    {
        ::TerminateProcess(process, 0);
        ::WaitForSingleObject(process, 10000);
    }
    if (process)
    {
        ::CloseHandle(process);
    }
    const SERVICE_STATUS_PROCESS stopped = TestSupport::QueryServiceStatus(service.Get());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR), stopped.dwWin32ExitCode);
    EXPECT_EQ(14u, stopped.dwServiceSpecificExitCode);
    const std::vector<std::string> log = LogMessages(m_logs / L"CorvaneTessaly.log");
    const std::string named = "CService::OnException() - Exception: CPerformanceDataBlock::CPerformanceDataBlock() - "
                              "\"Global\\Corvane Tessaly_PerfData_Lock\" is held by an object that is not an event";
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), named));
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(),
                                   "Refusing to publish performance counters through an object another account "
                                   "could change; service-specific exit code 14"));
}
