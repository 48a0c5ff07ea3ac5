// The counter registration of the installed service damaged after install: readers of
// both architectures keep getting another provider's data, the service starts and runs
// without publishing and logs why, and a removal afterwards clears what it can, the DLL
// copies always.
#include "tests/service/ServiceProgramSupport.h"
#include "tests/support/loadperf/CounterTextLoaderNames.h"
#include "tests/support/ProviderRegistrationLock.h"
#include "tests/support/TestNames.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

using namespace ServiceProgramSupport;
using CorvaneTools::Service::CServiceHandle;

namespace {

// The object title the trivial provider gives its object, whatever it is registered as.
const DWORD TrivialTitleIndex = 0x7FFFFFF0;
const long TrivialCounters = 28;

std::wstring Copy(const wchar_t *systemFolder, const std::wstring &file)
{
    return WindowsFolder() + L"\\" + systemFolder + L"\\" + file;
}

// A second provider, registered by hand so that its first counter is its object's title
// and the reader finds it with /app:.
class CTrivialProvider
{
public:
    CTrivialProvider() : m_name(TestSupport::UniqueName(L"Trivial")), m_file(m_name + L".dll")
    {
        const std::wstring bin = Top() + L"\\build\\";
        ::CopyFileW((bin + L"x64\\bin\\TessalyTrivialProvider.dll").c_str(), Copy(L"system32", m_file).c_str(), FALSE);
        ::CopyFileW((bin + L"x86\\bin\\TessalyTrivialProvider.dll").c_str(), Copy(L"syswow64", m_file).c_str(), FALSE);
        const std::wstring key = Key() + L"\\Performance";
        SetString(key, L"Library", m_file);
        SetString(key, L"Open", L"PerfData_Open");
        SetString(key, L"Collect", L"PerfData_Collect");
        SetString(key, L"Close", L"PerfData_Close");
        SetValue(key, L"First Counter", REG_DWORD, &TrivialTitleIndex, sizeof(TrivialTitleIndex));
    }

    ~CTrivialProvider()
    {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, Key().c_str());
        ::DeleteFileW(Copy(L"system32", m_file).c_str());
        ::DeleteFileW(Copy(L"syswow64", m_file).c_str());
    }

    const std::wstring &Name() const
    {
        return m_name;
    }

private:
    std::wstring Key() const
    {
        return L"SYSTEM\\CurrentControlSet\\Services\\" + m_name;
    }

    const std::wstring m_name;
    const std::wstring m_file;
};

// The counter-text lists and their highest indexes, put back as they were: a removal that
// cannot read the first counter leaves its texts, which would fill the lists for every
// later installation in the prefix.
class CCounterTextSnapshot
{
public:
    CCounterTextSnapshot()
    {
        for (SValue &value : m_values)
        {
            HKEY key;
            if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, value.key, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS)
            {
                DWORD bytes = 0;
                if (::RegQueryValueExW(key, value.name, nullptr, &value.type, nullptr, &bytes) == ERROR_SUCCESS)
                {
                    value.data.resize(bytes);
                    value.saved = ::RegQueryValueExW(key, value.name, nullptr, &value.type, value.data.data(),
                                                     &bytes) == ERROR_SUCCESS;
                }
                ::RegCloseKey(key);
            }
        }
    }

    ~CCounterTextSnapshot()
    {
        for (const SValue &value : m_values)
        {
            if (value.saved)
            {
                SetValue(value.key, value.name, value.type, value.data.data(), static_cast<DWORD>(value.data.size()));
            }
        }
    }

    CCounterTextSnapshot(const CCounterTextSnapshot &) = delete;
    CCounterTextSnapshot &operator=(const CCounterTextSnapshot &) = delete;

private:
    struct SValue
    {
        const wchar_t *key;
        const wchar_t *name;
        DWORD type;
        std::vector<BYTE> data;
        bool saved;
    };

    static constexpr const wchar_t *Lists = TESSALY_COUNTER_TEXT_LOADER_SUBSTITUTE_LISTS L"\\009";
    static constexpr const wchar_t *Perflib = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib";
    SValue m_values[4] = {{Lists, L"Counter", REG_NONE, {}, false},
                          {Lists, L"Help", REG_NONE, {}, false},
                          {Perflib, L"Last Counter", REG_NONE, {}, false},
                          {Perflib, L"Last Help", REG_NONE, {}, false}};
};

void DeleteValue(const wchar_t *name)
{
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, PerformanceKey.c_str(), name);
}

void Truncate(const wchar_t *systemFolder)
{
    const std::wstring copy = Copy(systemFolder, L"Tessaly.dll");
    TestSupport::WriteBytes(copy, TestSupport::ReadBytes(copy).substr(0, 1024));
}

const char *const NotInstalled = "Performance counters NOT enabled, the counters are not installed";

struct CDamage
{
    const char *name;
    std::function<void()> damage;
    // What a reader of the Tessaly object exits with: 1 the object is not in the data, 2 the
    // counters are not installed.
    DWORD tessalyReader;
    // The lines of the service's start that say it does not publish.
    std::vector<std::string> logged;
    // A registration without a readable first counter counts as not installed, and one
    // naming another library leads the removal to that name: the DLL copies go all the same.
    bool copiesFoundByName;
};

const CDamage Damages[] = {
    {"FirstCounterDeleted", [] { DeleteValue(L"First Counter"); }, 2, {NotInstalled}, false},
    {"FirstCounterAsText", [] { SetString(PerformanceKey, L"First Counter", L"1000"); }, 2, {NotInstalled}, false},
    {"LibraryMissing", [] { SetString(PerformanceKey, L"Library", L"TessalyMissing.dll"); }, 1, {}, false},
    {"DllCopiesTruncated",
     [] {
         Truncate(L"system32");
         Truncate(L"syswow64");
     },
     1, {}, true},
};

class DamagedRegistrationTest : public ::testing::TestWithParam<CDamage>
{
protected:
    void SetUp() override
    {
        RunProgram({L"/noMessages", L"/remove"});
    }

    void TearDown() override
    {
        // Whatever the removal left, so that the next test installs afresh.
        RunProgram({L"/noMessages", L"/remove"});
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, ServiceKey);
        ::DeleteFileW(Copy(L"system32", L"Tessaly.dll").c_str());
        ::DeleteFileW(Copy(L"syswow64", L"Tessaly.dll").c_str());
    }

    // Every reader ends in time, the trivial provider's object is there for each, and the
    // Tessaly object is not.
    void ExpectReadersKeepWorking(DWORD tessalyReader)
    {
        for (const wchar_t *architecture : TestSupport::ReaderArchitectures())
        {
            SCOPED_TRACE(std::string(architecture, architecture + 3));
            const CReading trivial = ReadWith(architecture, {L"/app:" + m_trivial.Name()}, 30000);
            EXPECT_EQ(0u, trivial.exitCode) << trivial.output;
            // The stand-in name lists name none of its counters, so count the lines.
            EXPECT_EQ(TrivialCounters, std::count(trivial.output.begin(), trivial.output.end(), '\t'))
                << trivial.output;
            const CReading tessaly = ReadWith(architecture, {}, 30000);
            EXPECT_EQ(tessalyReader, tessaly.exitCode) << tessaly.output;
            std::printf("  %ls reader of Tessaly: exit %lu, %s", architecture, tessaly.exitCode,
                        tessaly.output.c_str());
        }
    }

    TestSupport::CProviderRegistrationLock m_lock;
    const CCounterTextSnapshot m_texts;
    TestSupport::CScratchDirectory m_logs{L"TessalyDamagedRegistration"};
    CTrivialProvider m_trivial;
};

} // namespace

TEST_P(DamagedRegistrationTest, ReadersKeepWorkingAndTheServiceRunsWithoutPublishing)
{
    const CDamage &damage = GetParam();
    ASSERT_EQ(0u, RunProgram({L"/noMessages", L"/install", L"/poll", L"1", L"/logPath", m_logs.Path()}));
    damage.damage();
    ExpectReadersKeepWorking(damage.tessalyReader);

    const CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    CServiceHandle service(::OpenServiceW(manager.Get(), ServiceName, SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service.IsValid());
    ASSERT_TRUE(::StartServiceW(service.Get(), 0, nullptr));
    ASSERT_TRUE(TestSupport::ReachesState(service.Get(), SERVICE_RUNNING));
    const std::wstring log = m_logs.Path() + L"\\CorvaneTessaly.log";
    // A loaded machine may take a while before the first sample; the readers are asked after it.
    const auto sampled = [&] {
        const std::vector<std::string> lines = LogMessages(log);
        return std::any_of(lines.begin(), lines.end(), IsSampleStart);
    };
    EXPECT_TRUE(TestSupport::WaitUntil(sampled, 30000));
    ExpectReadersKeepWorking(damage.tessalyReader);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), TestSupport::QueryServiceStatus(service.Get()).dwCurrentState);
    ASSERT_TRUE(TestSupport::Control(service.Get(), SERVICE_CONTROL_STOP));
    ASSERT_TRUE(TestSupport::ReachesState(service.Get(), SERVICE_STOPPED));
    EXPECT_EQ(0u, TestSupport::QueryServiceStatus(service.Get()).dwWin32ExitCode);
    service.Reset();

    const std::vector<std::string> lines = LogMessages(log);
    for (const std::string &line : lines)
    {
        if (line.find("LISTEN") == std::string::npos && line.find("Processing") == std::string::npos)
        {
            std::printf("  %s\n", line.c_str());
        }
    }
    for (const std::string &line : damage.logged)
    {
        EXPECT_TRUE(Contains(lines, line)) << line;
    }

    const std::wstring removalLog = m_logs.Path() + L"\\Removal";
    ::CreateDirectoryW(removalLog.c_str(), nullptr);
    EXPECT_EQ(0u, RunProgram({L"/noMessages", L"/remove", L"/logPath", removalLog}));
    EXPECT_FALSE(ServiceIsInstalled());
    HKEY gone;
    EXPECT_NE(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ServiceKey, 0, KEY_READ, &gone));
    const std::vector<std::string> removal = LogMessages(removalLog + L"\\CorvaneTessaly.log");
    for (const wchar_t *folder : {L"system32", L"syswow64"})
    {
        const std::wstring copy = Copy(folder, L"Tessaly.dll");
        EXPECT_FALSE(TestSupport::Exists(copy)) << folder;
        const std::string line = "Performance counter DLL removed: \"" + std::string(copy.begin(), copy.end()) + "\"";
        EXPECT_EQ(!damage.copiesFoundByName, Contains(removal, line)) << line;
    }
    ExpectReadersKeepWorking(2);
}

INSTANTIATE_TEST_SUITE_P(Damages, DamagedRegistrationTest, ::testing::ValuesIn(Damages),
                         [](const ::testing::TestParamInfo<CDamage> &info) { return info.param.name; });
