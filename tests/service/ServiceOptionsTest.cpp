#include "service/ServiceOptions.h"

#include "win32/errors/Exception.h"
#include "win32/files/ProtectedFolder.h"

#include "tests/support/ScratchDirectory.h"
#include "tests/support/TestNames.h"
#include "tests/support/UnsafeFolders.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace CorvaneTools::TessalyService;
using TestSupport::CScratchDirectory;

namespace {

const std::wstring s_servicesKey = L"SYSTEM\\CurrentControlSet\\Services\\";
const std::wstring s_logFile = L"\\CorvaneTessaly.log";

// The working directory moved into a scratch directory for as long as the object lives.
class CScratchWorkingDirectory
{
public:
    CScratchWorkingDirectory() : m_scratch(L"options")
    {
        wchar_t old[MAX_PATH] = {};
        ::GetCurrentDirectoryW(MAX_PATH, old);
        m_old = old;
        ::SetCurrentDirectoryW(m_scratch.Path().c_str());
    }

    ~CScratchWorkingDirectory()
    {
        ::SetCurrentDirectoryW(m_old.c_str());
    }

    const CScratchDirectory &Scratch() const
    {
        return m_scratch;
    }

private:
    CScratchDirectory m_scratch;
    std::wstring m_old;
};

// The service key as the service control manager leaves it at install, under a name of
// the test's own; removed with all below it however the test ends.
class CServiceKey
{
public:
    CServiceKey() : m_name(TestSupport::UniqueName(L"options")), m_path(s_servicesKey + m_name)
    {
        HKEY key = nullptr;
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        ::RegCloseKey(key);
    }

    ~CServiceKey()
    {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_path.c_str());
    }

    CServiceKey(const CServiceKey &) = delete;
    CServiceKey &operator=(const CServiceKey &) = delete;

    const std::wstring &Name() const
    {
        return m_name;
    }

    void Set(const wchar_t *name, DWORD type, const void *data, DWORD bytes) const
    {
        ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, (m_path + L"\\Config").c_str(), name, type,
                                                   data, bytes));
    }

    void SetDword(const wchar_t *name, DWORD value) const
    {
        Set(name, REG_DWORD, &value, sizeof(value));
    }

    LONG GetDword(const wchar_t *name, DWORD &value) const
    {
        DWORD bytes = sizeof(value);
        return ::RegGetValueW(HKEY_LOCAL_MACHINE, (m_path + L"\\Config").c_str(), name, RRF_RT_REG_DWORD, nullptr,
                              &value, &bytes);
    }

private:
    std::wstring m_name;
    std::wstring m_path;
};

int Parse(CServiceOptions &options, std::vector<std::wstring> arguments, int index, std::wstring &message,
          DWORD &result)
{
    std::vector<wchar_t *> argv;
    for (std::wstring &argument : arguments)
    {
        argv.push_back(&argument[0]);
    }
    argv.push_back(nullptr);
    return options.ParseCommandLineArgument(argv.data(), static_cast<int>(arguments.size()), index, message, result);
}

std::wstring ProgramDirectory()
{
    wchar_t program[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    const std::wstring path = program;
    return path.substr(0, path.find_last_of(L"\\/:"));
}

// "@" stands for the working directory, so that the rows can hold whole texts.
std::wstring Expand(const std::wstring &text, const std::wstring &directory)
{
    std::wstring expanded;
    for (wchar_t c : text)
    {
        expanded += c == L'@' ? directory : std::wstring(1, c);
    }
    return expanded;
}

struct ParseCase
{
    std::vector<std::wstring> argv;
    int consumed;
    DWORD result;
    std::wstring message;
    bool createLog;
    std::wstring logPath;
    DWORD pollIntervalMs;
    bool pollIntervalSet;
};

const std::wstring s_pollRange =
    L"\noption defines a polling interval that is out of range: it must be from 0 to 4294967 seconds.";
const std::wstring s_longName(300, L'a');

const ParseCase s_parseCases[] = {
    {{L"/poll", L"5"}, 2, 0, L"", false, L"", 5000, true},
    {{L"-POLL", L"5x"}, 2, 0, L"", false, L"", 5000, true},
    {{L"/Poll", L" \t+7"}, 2, 0, L"", false, L"", 7000, true},
    {{L"/poll", L"x"}, 2, 0, L"", false, L"", 0, true},
    {{L"/poll", L"-0"}, 2, 0, L"", false, L"", 0, true},
    {{L"/poll", L"4294967"}, 2, 0, L"", false, L"", 4294967000u, true},
    {{L"/poll", L"4294968"}, 0, 255, L"/poll: 4294968" + s_pollRange, false, L"", 1000, false},
    {{L"/poll", L"5000000"}, 0, 255, L"/poll: 5000000" + s_pollRange, false, L"", 1000, false},
    {{L"/poll", L"18446744073709551616"}, 0, 255, L"/poll: 18446744073709551616" + s_pollRange, false, L"",
     1000, false},
    {{L"-poll", L"-1"}, 0, 255, L"/poll: -1" + s_pollRange, false, L"", 1000, false},
    {{L"/poll"}, 0, 255,
     L"/poll requires that the next command line argument is the polling interval (defaults to 1 second if /poll is "
     L"not specified.",
     false, L"", 1000, false},
    {{L"-POLL"}, 0, 255,
     L"-POLL requires that the next command line argument is the polling interval (defaults to 1 second if -POLL is "
     L"not specified.",
     false, L"", 1000, false},
    {{L"/createLog"}, 1, 0, L"", true, L"", 1000, false},
    {{L"/CREATELOG", L"x"}, 1, 0, L"", true, L"", 1000, false},
    {{L"-createlog"}, 1, 0, L"", true, L"", 1000, false},
    {{L"-LogPath"}, 0, 255, L"-LogPath requires that the next command line argument is the config file path.", false,
     L"", 1000, false},
    {{L"/logPath", L"."}, 2, 0, L"", true, L"@", 1000, false},
    {{L"/logpath", L".\\logs"}, 2, 0, L"", true, L"@\\logs", 1000, false},
    {{L"/logPath", L".\\a\\..\\b\\c"}, 2, 0, L"", true, L"@\\b\\c", 1000, false},
    {{L"/logPath", L"C:\\x"}, 2, 0, L"", true, L"C:\\x", 1000, false},
    {{L"/logPath", L"plain"}, 2, 0, L"", true, L"plain", 1000, false},
    {{L"/logPath", L""}, 2, 0, L"", true, L"", 1000, false},
    {{L"/logPath", L".\\file"}, 0, 255,
     L"/logPath: .\\file\noption defines a path that is not a directory: \"@\\file\".\n\nWorking directory:@", false,
     L"@\\file", 1000, false},
    {{L"/logPath", L".\\file\\sub"}, 0, 255,
     L"/logPath: .\\file\\sub\noption defines a path that is not a directory: \"@\\file\\sub\".\n\nWorking "
     L"directory:@",
     false, L"@\\file\\sub", 1000, false},
    {{L"/logPath", L".\\" + s_longName}, 0, 255,
     L"/logPath: .\\" + s_longName + L"\noption defines an invalid path: \".\\" + s_longName +
         L"\".\n\nWorking directory:@",
     false, L".\\" + s_longName, 1000, false},
    {{L"/install"}, 0, 0, L"", false, L"", 1000, false},
    {{L"/pollx", L"5"}, 0, 0, L"", false, L"", 1000, false},
    {{L""}, 0, 0, L"", false, L"", 1000, false},
};

TEST(ServiceOptions, ParsesEachArgumentVector)
{
    const CScratchWorkingDirectory working;
    const std::wstring &directory = working.Scratch().Path();
    TestSupport::WriteBytes(working.Scratch() / L"file", "not a directory");
    for (const ParseCase &c : s_parseCases)
    {
        const std::wstring line = c.argv.empty() ? L"" : c.argv[0] + (c.argv.size() > 1 ? L" " + c.argv[1] : L"");
        SCOPED_TRACE(std::string(line.begin(), line.end()));
        CServiceOptions options(L"Unused");
        std::vector<std::wstring> argv = c.argv;
        argv.insert(argv.begin(), L"/run");
        std::wstring message;
        DWORD result = 77;
        EXPECT_EQ(c.consumed, Parse(options, argv, 1, message, result));
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(Expand(c.message, directory), message);
        EXPECT_EQ(c.createLog, options.GetCreateLog());
        EXPECT_EQ(c.createLog, options.GetLogOptionsSet());
        EXPECT_EQ(Expand(c.logPath, directory), options.GetLogPath());
        EXPECT_EQ(c.pollIntervalMs, options.GetPollIntervalMs());
        EXPECT_EQ(c.pollIntervalSet, options.GetPollIntervalSet());
    }
    EXPECT_TRUE(::GetFileAttributesW((working.Scratch() / L"logs").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(TestSupport::Exists(working.Scratch() / L"b\\c"));
    EXPECT_FALSE(TestSupport::Exists(working.Scratch() / L"a"));
    EXPECT_FALSE(TestSupport::Exists(working.Scratch() / L"plain"));
}

TEST(ServiceOptions, AddsItsLinesToTheUsage)
{
    EXPECT_EQ(L"Usage:\n"
              L"  /createLog         \tCreate a log file.\n"
              L"  /logPath path\tUse the supplied path to for the log file.\n"
              L"  \t\tImplies /createLog\n"
              L"  /poll interval\tPoll for TCP stats changes every\n"
              L"  \t\tinterval seconds. Defaults to every second.\n"
              L"\n"
              L"Note that /createLog /logPath and /poll can be used with /install and /run\n"
              L"but MUST come AFTER the /install or /run command.\n",
              CServiceOptions(L"Unused").GetServiceSpecificUsage(L"Usage:\n"));
}

TEST(ServiceOptions, ReadsBackWhatInstallSaved)
{
    const CServiceKey key;
    CServiceOptions installed(key.Name());
    std::wstring message;
    DWORD result = 0;
    ASSERT_EQ(2, Parse(installed, {L"/install", L"/poll", L"5"}, 1, message, result));
    ASSERT_EQ(2, Parse(installed, {L"/install", L"/logPath", L"C:\\logs"}, 1, message, result));
    installed.SaveConfiguration();

    DWORD value = 0;
    EXPECT_EQ(ERROR_SUCCESS, key.GetDword(L"Poll", value));
    EXPECT_EQ(5000u, value);
    EXPECT_EQ(ERROR_SUCCESS, key.GetDword(L"Log", value));
    EXPECT_EQ(1u, value);
    CServiceOptions started(key.Name());
    EXPECT_EQ(5000u, started.ReadPollInterval());
    EXPECT_TRUE(started.ReadCreateLog());
    EXPECT_EQ(L"C:\\logs", started.ReadLogPath());

    // Options given at start win over the stored ones.
    CServiceOptions given(key.Name());
    ASSERT_EQ(2, Parse(given, {L"/run", L"/poll", L"7"}, 1, message, result));
    ASSERT_EQ(1, Parse(given, {L"/run", L"/createLog"}, 1, message, result));
    EXPECT_EQ(7000u, given.ReadPollInterval());
    EXPECT_EQ(L"", given.ReadLogPath());

    CServiceOptions(key.Name()).SaveConfiguration(1000, false, L"");
    DWORD bytes = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ::RegGetValueW(HKEY_LOCAL_MACHINE, (s_servicesKey + key.Name() + L"\\Config").c_str(),
                                                   L"LogPath", RRF_RT_ANY, nullptr, nullptr, &bytes));
    CServiceOptions plain(key.Name());
    EXPECT_EQ(1000u, plain.ReadPollInterval());
    EXPECT_FALSE(plain.ReadCreateLog());
    EXPECT_EQ(L"", plain.ReadLogPath());

    key.SetDword(L"Log", 2);
    EXPECT_FALSE(CServiceOptions(key.Name()).ReadCreateLog());
}

TEST(ServiceOptions, WithoutTheServiceKeyReadsDefaultsAndCannotSave)
{
    CServiceOptions options(TestSupport::UniqueName(L"absent"));
    EXPECT_EQ(1000u, options.ReadPollInterval());
    EXPECT_FALSE(options.ReadCreateLog());
    EXPECT_EQ(L"", options.ReadLogPath());
    EXPECT_THROW(options.SaveConfiguration(), CorvaneTools::Win32::CException);
}

struct WrongValueCase
{
    const wchar_t *name;
    DWORD type;
    std::vector<BYTE> data;
    bool createLog;
    size_t logPathLength;
};

std::vector<BYTE> Bytes(const std::wstring &text)
{
    const BYTE *begin = reinterpret_cast<const BYTE *>(text.c_str());
    return std::vector<BYTE>(begin, begin + (text.size() + 1) * sizeof(wchar_t));
}

// Log is 1 before each row's value is written, so that LogPath is read too.
const WrongValueCase s_wrongValues[] = {
    {L"Poll", REG_SZ, Bytes(L"5000"), true, 0},
    {L"Poll", REG_BINARY, {0x88, 0x13}, true, 0},
    {L"Poll", REG_QWORD, {0x88, 0x13, 0, 0, 0, 0, 0, 0}, true, 0},
    {L"Log", REG_SZ, Bytes(L"1"), false, 0},
    {L"Log", REG_BINARY, {1, 0}, false, 0},
    {L"LogPath", REG_DWORD, {1, 0, 0, 0}, true, 0},
    {L"LogPath", REG_SZ, Bytes(L"C:\\" + std::wstring(16380, L'a')), true, 16383},
};

TEST(ServiceOptions, ValuesOfTheWrongTypeOrSizeGiveTheDefaults)
{
    for (const WrongValueCase &c : s_wrongValues)
    {
        SCOPED_TRACE(std::to_string(&c - s_wrongValues));
        const CServiceKey key;
        key.SetDword(L"Log", 1);
        key.Set(c.name, c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
        CServiceOptions options(key.Name());
        EXPECT_EQ(1000u, options.ReadPollInterval());
        EXPECT_EQ(c.createLog, options.ReadCreateLog());
        EXPECT_EQ(c.logPathLength, options.ReadLogPath().size());
        // No directory can have so long a name: the log goes next to the program.
        EXPECT_EQ(c.createLog ? ProgramDirectory() + s_logFile : L"", options.GetLogFilePath());
    }
}

TEST(ServiceOptions, PlacesTheLogFile)
{
    const CScratchDirectory scratch(L"logfile");
    TestSupport::WriteBytes(scratch / L"file", "not a directory");
    const struct
    {
        std::vector<std::wstring> argv;
        std::wstring expected;
    } cases[] = {
        {{}, L""},
        {{L"/createLog"}, ProgramDirectory() + s_logFile},
        {{L"/logPath", scratch / L"new\\deep"}, scratch / L"new\\deep" + s_logFile},
        {{L"/logPath", scratch / L"file\\logs"}, ProgramDirectory() + s_logFile},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.expected);
        // No service key of this name: nothing comes from the registry.
        CServiceOptions options(TestSupport::UniqueName(L"absent"));
        std::vector<std::wstring> argv = c.argv;
        argv.insert(argv.begin(), L"/run");
        std::wstring message;
        DWORD result = 0;
        EXPECT_EQ(static_cast<int>(c.argv.size()), Parse(options, argv, 1, message, result));
        EXPECT_EQ(c.expected, options.GetLogFilePath());
    }
    EXPECT_TRUE(TestSupport::Exists(scratch / L"new\\deep"));
}

std::vector<BYTE> Dword(DWORD value)
{
    const BYTE *begin = reinterpret_cast<const BYTE *>(&value);
    return std::vector<BYTE>(begin, begin + sizeof(value));
}

struct LogMaxSizeCase
{
    const char *what;
    DWORD type; // REG_NONE: no value
    std::vector<BYTE> data;
    DWORD expected;
    std::wstring line;
};

const std::wstring s_logMaxSizeIgnored = L"Config value LogMaxSize ignored: not a REG_DWORD ";
const std::wstring s_logMaxSizeRaised = L"Config value LogMaxSize raised to 4096 bytes, the smallest allowed (it was ";

const LogMaxSizeCase s_logMaxSizes[] = {
    {"absent", REG_NONE, {}, 10485760, L""},
    {"text", REG_SZ, Bytes(L"4096"), 10485760,
     s_logMaxSizeIgnored + L"(type 1, 10 bytes); the log rolls over at 10485760 bytes"},
    {"eight bytes", REG_QWORD, {0, 0x10, 0, 0, 0, 0, 0, 0}, 10485760,
     s_logMaxSizeIgnored + L"(type 11, 8 bytes); the log rolls over at 10485760 bytes"},
    {"two bytes", REG_BINARY, {0, 0x10}, 10485760,
     s_logMaxSizeIgnored + L"(type 3, 2 bytes); the log rolls over at 10485760 bytes"},
    {"zero, the default", REG_DWORD, Dword(0), 10485760, L""},
    {"one byte", REG_DWORD, Dword(1), 4096, s_logMaxSizeRaised + L"1)"},
    {"just below the smallest", REG_DWORD, Dword(4095), 4096, s_logMaxSizeRaised + L"4095)"},
    {"the smallest", REG_DWORD, Dword(4096), 4096, L""},
    {"a megabyte", REG_DWORD, Dword(1048576), 1048576, L""},
    {"the largest", REG_DWORD, Dword(0xFFFFFFFF), 0xFFFFFFFF, L""},
};

TEST(ServiceOptions, ReadsTheLogsMaximumSize)
{
    for (const LogMaxSizeCase &c : s_logMaxSizes)
    {
        SCOPED_TRACE(c.what);
        const CServiceKey key;
        key.SetDword(L"Log", 1);
        if (c.type != REG_NONE)
        {
            key.Set(L"LogMaxSize", c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
        }
        CServiceOptions options(key.Name());
        EXPECT_EQ(c.expected, options.ReadLogMaxSize());
        EXPECT_EQ(c.line.empty() ? std::vector<std::wstring>() : std::vector<std::wstring>{c.line},
                  options.TakeIgnoredSettings());
    }
    EXPECT_EQ(10485760u, CServiceOptions(TestSupport::UniqueName(L"absent")).ReadLogMaxSize());
}

// Whoever may write into the log's folder could plant a link at the log's name: the
// folder is refused before anything is written there, and the log is beside the program.
TEST(ServiceOptions, RefusesALogFolderOthersMayChange)
{
    const CScratchDirectory scratch(L"refused");
    ASSERT_TRUE(::CreateDirectoryW((scratch / L"target").c_str(), nullptr));
    const struct
    {
        const char *what;
        std::function<bool(const std::wstring &)> make;
    } cases[] = {
        {"writable by everyone", [](const std::wstring &path) { return TestSupport::MakeFolderWritableByEveryone(path); }},
        {"a link", [&](const std::wstring &path) { return TestSupport::MakeLink(path, scratch / L"target", true); }},
    };
    int made = 0;
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.what);
        const std::wstring folder = scratch / (L"logs" + std::to_wstring(++made));
        ASSERT_TRUE(c.make(folder));
        CServiceOptions options(TestSupport::UniqueName(L"absent"));
        std::wstring message;
        DWORD result = 0;
        ASSERT_EQ(2, Parse(options, {L"/run", L"/logPath", folder}, 1, message, result));
        EXPECT_EQ(ProgramDirectory() + s_logFile, options.GetLogFilePath());
        const std::wstring why = CorvaneTools::Win32::FindFolderHazard(folder);
        ASSERT_NE(L"", why);
        EXPECT_EQ(std::vector<std::wstring>{L"Log directory \"" + folder + L"\" refused: " + why +
                                            L"; the log is in the program's directory"},
                  options.TakeIgnoredSettings());
        EXPECT_FALSE(TestSupport::Exists(folder + s_logFile));
        EXPECT_FALSE(TestSupport::Exists(scratch / L"target" + s_logFile));
    }
    TestSupport::RemoveHostLink(scratch / L"logs2");
}

} // namespace
