// The installed service started by the platform's service control manager with one value
// of its registry configuration spoiled between install and start: it runs, publishes,
// falls back to the default, says in its log what it passed over, and stops cleanly.
#include "tests/service/ServiceProgramSupport.h"
#include "tests/support/LoopbackConnections.h"
#include "tests/support/ProviderRegistrationLock.h"
#include "tests/support/UnsafeFolders.h"
#include "tests/support/WaitUntil.h"
#include "win32/files/ProtectedFolder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

using namespace CorvaneTools::Counters;
using namespace ServiceProgramSupport;
using CorvaneTools::Service::CServiceHandle;

namespace {

const std::wstring LogName = L"\\CorvaneTessaly.log";

enum class LogPlace
{
    Configured, // the scratch folder the install named
    Program,    // the program's folder, the fallback
    None,
};

struct CSpoiledValue
{
    DWORD type;
    std::vector<BYTE> bytes;
};

CSpoiledValue Text(const std::wstring &text)
{
    const BYTE *begin = reinterpret_cast<const BYTE *>(text.c_str());
    return {REG_SZ, std::vector<BYTE>(begin, begin + (text.size() + 1) * sizeof(wchar_t))};
}

struct CBadConfiguration
{
    const char *name;
    const wchar_t *value;
    // Given the configured log folder, which holds a file "file.txt".
    std::function<CSpoiledValue(const std::wstring &logs)> spoil;
    LogPlace log;
    DWORD pollMs;
    // The line that says what was passed over, exactly.
    std::function<std::string(const std::wstring &logs)> ignored;
};

std::string Narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

// Not Z:\sys itself: a mount point, which this platform reports as a reparse point.
const std::wstring Unwritable = L"Z:\\sys\\kernel";
// 32 KB with its terminating zero.
const size_t LongPathCharacters = 16383;

std::wstring LongPath(const std::wstring &logs)
{
    return logs + L"\\" + std::wstring(LongPathCharacters - logs.size() - 1, L'x');
}

std::string UnusableDirectory(const std::string &shown, DWORD error)
{
    return "Log directory " + shown + " cannot be used (error " + std::to_string(error) +
           "); the log is in the program's directory";
}

const CBadConfiguration Cases[] = {
    {"PollAsText", L"Poll", [](const std::wstring &) { return Text(L"5"); }, LogPlace::Configured, 1000,
     [](const std::wstring &) {
         return std::string("Config value Poll ignored: not a REG_DWORD (type 1, 4 bytes); polling every 1000ms");
     }},
    {"PollAsTwoBytes", L"Poll", [](const std::wstring &) { return CSpoiledValue{REG_BINARY, {0x10, 0x27}}; },
     LogPlace::Configured, 1000,
     [](const std::wstring &) {
         return std::string("Config value Poll ignored: not a REG_DWORD (type 3, 2 bytes); polling every 1000ms");
     }},
    {"LogAsText", L"Log", [](const std::wstring &) { return Text(L"1"); }, LogPlace::None, 2000, nullptr},
    {"LogPathAsNumber", L"LogPath", [](const std::wstring &) { return CSpoiledValue{REG_DWORD, {1, 0, 0, 0}}; },
     LogPlace::Program, 2000,
     [](const std::wstring &) {
         return std::string("Config value LogPath ignored: not a REG_SZ (type 4, 4 bytes); the log is in the "
                            "program's directory");
     }},
    {"LogPathOf32KB", L"LogPath", [](const std::wstring &logs) { return Text(LongPath(logs)); }, LogPlace::Program,
     2000,
     [](const std::wstring &) { return UnusableDirectory("of " + std::to_string(LongPathCharacters) + " characters",
                                                         ERROR_FILE_NOT_FOUND); }},
    {"LogPathNamingAFile", L"LogPath", [](const std::wstring &logs) { return Text(logs + L"\\file.txt"); },
     LogPlace::Program, 2000,
     [](const std::wstring &logs) {
         return UnusableDirectory("\"" + Narrow(logs) + "\\file.txt\"", ERROR_ALREADY_EXISTS);
     }},
    {"LogPathBelowAFile", L"LogPath", [](const std::wstring &logs) { return Text(logs + L"\\file.txt\\logs"); },
     LogPlace::Program, 2000,
     [](const std::wstring &logs) {
         return UnusableDirectory("\"" + Narrow(logs) + "\\file.txt\\logs\"", ERROR_ALREADY_EXISTS);
     }},
    // Others could plant a link there under the log's name.
    {"LogPathWritableByEveryone", L"LogPath",
     [](const std::wstring &logs) {
         TestSupport::MakeFolderWritableByEveryone(logs + L"\\open");
         return Text(logs + L"\\open");
     },
     LogPlace::Program, 2000,
     [](const std::wstring &logs) {
         return "Log directory \"" + Narrow(logs) + "\\open\" refused: " +
                Narrow(CorvaneTools::Win32::FindFolderHazard(logs + L"\\open")) +
                "; the log is in the program's directory";
     }},
    {"LogMaxSizeAsText", L"LogMaxSize", [](const std::wstring &) { return Text(L"4096"); }, LogPlace::Configured, 2000,
     [](const std::wstring &) {
         return std::string("Config value LogMaxSize ignored: not a REG_DWORD (type 1, 10 bytes); the log rolls over "
                            "at 10485760 bytes");
     }},
    // A directory of the host that takes no file, whoever asks.
    {"LogPathUnwritable", L"LogPath", [](const std::wstring &) { return Text(Unwritable); }, LogPlace::Program, 2000,
     [](const std::wstring &) { return UnusableDirectory("\"" + Narrow(Unwritable) + "\"", ERROR_ACCESS_DENIED); }},
};

// The lines a log file gained since it held `skip` lines.
std::vector<std::string> LinesAfter(const std::wstring &path, size_t skip)
{
    std::vector<std::string> lines = LogMessages(path);
    lines.erase(lines.begin(), lines.begin() + std::min(skip, lines.size()));
    return lines;
}

class BadConfigurationTest : public ::testing::TestWithParam<CBadConfiguration>
{
protected:
    void SetUp() override
    {
        RunProgram({L"/noMessages", L"/remove"});
        m_programLogExisted = TestSupport::Exists(ProgramFolder() + LogName);
        TestSupport::WriteBytes(m_logs / L"file.txt", "not a folder");
    }

    void TearDown() override
    {
        EXPECT_EQ(0u, RunProgram({L"/noMessages", L"/remove"}));
        if (!m_programLogExisted)
        {
            ::DeleteFileW((ProgramFolder() + LogName).c_str());
        }
    }

    std::vector<std::wstring> Dumps() const
    {
        std::vector<std::wstring> dumps;
        for (const std::wstring &folder : {m_logs.Path(), ProgramFolder(), WindowsFolder().substr(0, 2)})
        {
            const std::vector<std::wstring> found = DumpFiles(folder);
            dumps.insert(dumps.end(), found.begin(), found.end());
        }
        return dumps;
    }

    TestSupport::CProviderRegistrationLock m_lock;
    TestSupport::CScratchDirectory m_logs{L"TessalyBadConfiguration"};
    bool m_programLogExisted = false;
};

} // namespace

TEST_P(BadConfigurationTest, TheServiceRunsPublishesWithTheDefaultAndStopsCleanly)
{
    const CBadConfiguration &bad = GetParam();
    ASSERT_EQ(0u, RunProgram({L"/noMessages", L"/install", L"/poll", L"2", L"/logPath", m_logs.Path()}));
    const CSpoiledValue spoiled = bad.spoil(m_logs.Path());
    SetValue(ConfigKey, bad.value, spoiled.type, spoiled.bytes.data(), static_cast<DWORD>(spoiled.bytes.size()));
    const std::wstring logs[] = {m_logs.Path() + LogName, ProgramFolder() + LogName};
    const size_t before[] = {LogMessages(logs[0]).size(), LogMessages(logs[1]).size()};
    const std::vector<std::wstring> dumpsBefore = Dumps();

    const CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const CServiceHandle service(::OpenServiceW(manager.Get(), ServiceName, SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service.IsValid());
    const TestSupport::CLoopbackConnections listener(AF_INET);
    ASSERT_TRUE(::StartServiceW(service.Get(), 0, nullptr));
    ASSERT_TRUE(TestSupport::ReachesState(service.Get(), SERVICE_RUNNING));
    // The object alone could be the counter DLL's zeros; the listener's count is the service's.
    Values read;
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return (read = Read(L"x64"))["IPv4: LISTEN"] >= 1; }, 10000));
    EXPECT_EQ(static_cast<size_t>(NumTcpCounters), read.size());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), TestSupport::QueryServiceStatus(service.Get()).dwCurrentState);
    ASSERT_TRUE(TestSupport::Control(service.Get(), SERVICE_CONTROL_STOP));
    ASSERT_TRUE(TestSupport::ReachesState(service.Get(), SERVICE_STOPPED));
    const SERVICE_STATUS_PROCESS stopped = TestSupport::QueryServiceStatus(service.Get());
    EXPECT_EQ(0u, stopped.dwWin32ExitCode);
    EXPECT_EQ(0u, stopped.dwServiceSpecificExitCode);
    EXPECT_EQ(dumpsBefore, Dumps());

    // The process writes its last line after the service control manager saw it stop.
    const size_t used = bad.log == LogPlace::Program ? 1 : 0;
    TestSupport::WaitUntil([&] { return Contains(LinesAfter(logs[used], before[used]), "Service shut down complete"); },
                           bad.log == LogPlace::None ? 0 : 10000);
    const std::vector<std::string> configured = LinesAfter(logs[0], before[0]);
    const std::vector<std::string> program = LinesAfter(logs[1], before[1]);
    EXPECT_EQ(bad.log == LogPlace::Configured, !configured.empty());
    EXPECT_EQ(bad.log == LogPlace::Program, !program.empty());
    const std::vector<std::string> &log = bad.log == LogPlace::Program ? program : configured;
    for (const std::string &line : log)
    {
        std::printf("  %s\n", line.substr(0, 200).c_str());
    }
    if (bad.log != LogPlace::None)
    {
        EXPECT_TRUE(Contains(log, "Will poll for TCP Stats every " + std::to_string(bad.pollMs) + "ms"));
        EXPECT_TRUE(Contains(log, bad.ignored(m_logs.Path()))) << bad.ignored(m_logs.Path());
        EXPECT_TRUE(Contains(log, "Service shut down complete"));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, BadConfigurationTest, ::testing::ValuesIn(Cases),
                         [](const ::testing::TestParamInfo<CBadConfiguration> &info) { return info.param.name; });
