#include "counters/TcpCounterSchema.h"
#include "perfmon/PerformanceCounterInstaller.h"
#include "service/CounterDeployment.h"
#include "win32/errors/Win32Exception.h"
#include "win32/files/FileReplacement.h"
#include "win32/files/FileUtils.h"
#include "win32/handles/SmartHandle.h"
#include "win32/system/SystemDirectories.h"
#include "win32/text/ToString.h"

#include "tests/service/ApplicationTestSupport.h"
#include "tests/service/ServiceProgramSupport.h"
#include "tests/support/CatchException.h"
#include "tests/support/ProviderRegistrationLock.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>

using namespace CorvaneTools::Counters;
using namespace CorvaneTools::TessalyService;
using ApplicationTest::CCapturedLog;
using CorvaneTools::PerfMon::CPerformanceCounterInstaller;
using CorvaneTools::Win32::CWin32Exception;
using CorvaneTools::Win32::ToString;
using TestSupport::Exists;
using TestSupport::ReadBytes;

namespace {

// The deliverable builds the program carries, found from this file's place in the tree,
// so that any build folder will do.
std::wstring DistDll(const std::wstring &architecture)
{
    std::string source = __FILE__;
    std::replace(source.begin(), source.end(), '/', '\\');
    const std::string root = (source[0] == '\\' ? "Z:" : "") + source.substr(0, source.rfind("\\tests\\"));
    return std::wstring(root.begin(), root.end()) + L"\\dist\\" + architecture + L"\\TessalyCounters.dll";
}

// Compared without printing them: a mismatch would dump half a megabyte.
testing::AssertionResult SameBytes(const std::wstring &expectedPath, const std::wstring &actualPath)
{
    const std::string expected = ReadBytes(expectedPath);
    const std::string actual = ReadBytes(actualPath);
    if (!expected.empty() && expected == actual)
    {
        return testing::AssertionSuccess();
    }
    const size_t common = std::min(expected.size(), actual.size());
    const size_t first =
        std::mismatch(expected.begin(), expected.begin() + common, actual.begin()).first - expected.begin();
    return testing::AssertionFailure() << expected.size() << " bytes expected, " << actual.size()
                                       << " found, first difference at " << first;
}

std::wstring NamePrefix(const std::wstring &baseName)
{
    return CorvaneTools::Win32::GetTempPath() + baseName + ToString(::GetCurrentProcessId()) + L"-" +
           ToString(::GetCurrentThreadId()) + L"-";
}

// The builds the program carries are the deliverable builds, byte for byte.
TEST(CarriedBuildsTest, TheResourcesAreTheDeliverableBuilds)
{
    const struct
    {
        const wchar_t *resource;
        const wchar_t *architecture;
    } rows[] = {{L"PerfMonDll86", L"x86"}, {L"PerfMonDll64", L"x64"}};
    for (const auto &row : rows)
    {
        SCOPED_TRACE(row.resource);
        const CorvaneTools::Win32::CByteView bytes = CorvaneTools::Win32::GetResourceBytes(row.resource, L"DLL");
        EXPECT_TRUE(std::string(reinterpret_cast<const char *>(bytes.data), bytes.size) ==
                    ReadBytes(DistDll(row.architecture)));
    }
}

// For its lifetime TEMP and TMP name a folder that does not exist.
struct CMissingTemporaryDirectory
{
    CMissingTemporaryDirectory()
    {
        for (size_t i = 0; i < 2; ++i)
        {
            ::GetEnvironmentVariableW(s_names[i], m_saved[i], MAX_PATH);
            ::SetEnvironmentVariableW(s_names[i], L"C:\\TessalyNoSuchDirectory");
        }
    }

    ~CMissingTemporaryDirectory()
    {
        for (size_t i = 0; i < 2; ++i)
        {
            ::SetEnvironmentVariableW(s_names[i], m_saved[i][0] ? m_saved[i] : nullptr);
        }
    }

    static constexpr const wchar_t *s_names[2] = {L"TEMP", L"TMP"};
    wchar_t m_saved[2][MAX_PATH] = {L"", L""};
};

std::wstring Copy(const std::wstring &directory)
{
    return directory + L"\\Tessaly.dll";
}

bool Logged(const CCapturedLog &log, const std::wstring &message)
{
    const std::vector<std::string> messages = log.Messages();
    return std::find(messages.begin(), messages.end(), std::string(message.begin(), message.end())) != messages.end();
}

// Installs and removes the real counter set of the prefix; whatever a test leaves
// installed goes again.
class CounterDeploymentTest : public testing::Test
{
protected:
    CounterDeploymentTest()
    {
        RemoveAll();
    }

    ~CounterDeploymentTest() override
    {
        RemoveAll();
    }

    static void RemoveAll()
    {
        CPerformanceCounterInstaller installer;
        if (installer.IsInstalled(TcpCounterSetName))
        {
            installer.Uninstall(TcpCounterSetName);
        }
    }

    const std::wstring m_system = CorvaneTools::Win32::GetSystemDirectory();
    const std::wstring m_wow64 = CorvaneTools::Win32::GetSystemWow64Directory();
    TestSupport::CProviderRegistrationLock m_lock;
    CCapturedLog m_log;
    std::wstring m_message;
};

TEST_F(CounterDeploymentTest, InstallCopiesBothBuildsAndLeavesNoTemporaryFiles)
{
    ASSERT_TRUE(InstallPerformanceCounters(m_message));
    EXPECT_TRUE(Logged(m_log, L"Performance counters installed"));
    CPerformanceCounterInstaller installer;
    EXPECT_TRUE(installer.IsInstalled(TcpCounterSetName));
    EXPECT_EQ(L"%SystemRoot%\\System32\\Tessaly.dll", installer.GetInstalledCounterDLLName(TcpCounterSetName));
    EXPECT_TRUE(SameBytes(DistDll(L"x64"), Copy(m_system)));
    EXPECT_TRUE(SameBytes(DistDll(L"x86"), Copy(m_wow64)));
    for (const wchar_t *baseName : {L"Tessaly-x86", L"Tessaly-x64"})
    {
        WIN32_FIND_DATAW found;
        const HANDLE search = ::FindFirstFileW((NamePrefix(baseName) + L"*.tmp").c_str(), &found);
        EXPECT_EQ(INVALID_HANDLE_VALUE, search) << found.cFileName;
        if (search != INVALID_HANDLE_VALUE)
        {
            ::FindClose(search);
        }
    }
}

TEST_F(CounterDeploymentTest, EachActionDoneTwiceRefusesTheSecondTime)
{
    ASSERT_TRUE(InstallPerformanceCounters(m_message));
    EXPECT_FALSE(InstallPerformanceCounters(m_message));
    EXPECT_EQ(L"Performance counters are already installed", m_message);
    EXPECT_TRUE(Logged(m_log, m_message));

    EXPECT_TRUE(RemovePerformanceCounters(m_message));
    EXPECT_TRUE(Logged(m_log, L"Performance counters removed"));
    EXPECT_FALSE(CPerformanceCounterInstaller().IsInstalled(TcpCounterSetName));
    EXPECT_FALSE(Exists(Copy(m_system)));
    EXPECT_FALSE(Exists(Copy(m_wow64)));
    // Nothing to remove is no failure: the reason the framework preset is left as it was.
    m_message = L"preset";
    EXPECT_FALSE(RemovePerformanceCounters(m_message));
    EXPECT_EQ(L"preset", m_message);
    EXPECT_TRUE(Logged(m_log, L"Performance counters are not installed, so cannot be removed"));
}

TEST_F(CounterDeploymentTest, RemoveWhileACopyIsHeldKeepsEverythingUntilItIsReleased)
{
    for (const std::wstring &directory : {m_system, m_wow64})
    {
        SCOPED_TRACE(directory);
        ASSERT_TRUE(InstallPerformanceCounters(m_message));
        {
            // As a reader of performance data holds it: no one else may write or delete it.
            const CorvaneTools::Win32::CSmartHandle held(::CreateFileW(Copy(directory).c_str(), GENERIC_READ,
                                                                       FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                                       FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(held.IsValid());
            const std::wstring inUse = L"Performance counters NOT removed: \"" + Copy(directory) +
                                       L"\" is in use by a program that reads performance data (error 32). Close "
                                       L"every program that reads performance data, such as a performance monitor, "
                                       L"then run /remove again.";
            EXPECT_FALSE(PerformanceCountersCanBeRemoved(m_message));
            EXPECT_EQ(inUse, m_message);
            m_message.clear();
            EXPECT_FALSE(RemovePerformanceCounters(m_message));
            EXPECT_EQ(inUse, m_message);
            EXPECT_TRUE(Logged(m_log, inUse));
            EXPECT_TRUE(CPerformanceCounterInstaller().IsInstalled(TcpCounterSetName));
            EXPECT_TRUE(Exists(Copy(m_system)));
            EXPECT_TRUE(Exists(Copy(m_wow64)));
        }
        EXPECT_TRUE(PerformanceCountersCanBeRemoved(m_message));
        EXPECT_TRUE(RemovePerformanceCounters(m_message));
        EXPECT_FALSE(CPerformanceCounterInstaller().IsInstalled(TcpCounterSetName));
        EXPECT_FALSE(Exists(Copy(m_system)));
        EXPECT_FALSE(Exists(Copy(m_wow64)));
    }
}

// What a staging name may find already there: a file someone else planted, left alone.
// In the temporary folder, the names the deployment used before it staged nothing there.
TEST_F(CounterDeploymentTest, PlantedStagingFilesAreLeftAloneAndTheCopiesAreTheCarriedBuilds)
{
    std::vector<std::wstring> planted;
    for (const std::wstring &directory : {m_system, m_wow64})
    {
        for (unsigned int attempt = 0; attempt < 3; ++attempt)
        {
            planted.push_back(CorvaneTools::Win32::StagingFileName(Copy(directory), attempt));
        }
    }
    for (const wchar_t *baseName : {L"Tessaly-x86", L"Tessaly-x64"})
    {
        planted.push_back(NamePrefix(baseName) + L"1.tmp");
    }
    for (const std::wstring &path : planted)
    {
        CorvaneTools::Win32::SaveStringAsFile(path, std::string("planted"));
    }
    const bool installed = InstallPerformanceCounters(m_message);
    for (const std::wstring &path : planted)
    {
        EXPECT_EQ("planted", ReadBytes(path)) << std::string(path.begin(), path.end());
        ::DeleteFileW(path.c_str());
    }
    ASSERT_TRUE(installed) << std::string(m_message.begin(), m_message.end());
    EXPECT_TRUE(SameBytes(DistDll(L"x64"), Copy(m_system)));
    EXPECT_TRUE(SameBytes(DistDll(L"x86"), Copy(m_wow64)));
}

// The program itself, without a temporary folder: everything installed, exit code 0, and
// the registration names the copy by its full path.
TEST_F(CounterDeploymentTest, InstallWithoutATemporaryFolderInstallsEverything)
{
    ServiceProgramSupport::RunProgram({L"/noMessages", L"/remove"});
    {
        const CMissingTemporaryDirectory missing;
        EXPECT_EQ(0u, ServiceProgramSupport::RunProgram({L"/noMessages", L"/install"}));
    }
    CPerformanceCounterInstaller installer;
    EXPECT_TRUE(installer.IsInstalled(TcpCounterSetName));
    EXPECT_TRUE(SameBytes(DistDll(L"x64"), Copy(m_system)));
    EXPECT_TRUE(SameBytes(DistDll(L"x86"), Copy(m_wow64)));
    wchar_t library[MAX_PATH] = L"";
    DWORD type = REG_NONE;
    DWORD bytes = sizeof(library);
    EXPECT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_LOCAL_MACHINE, ServiceProgramSupport::PerformanceKey.c_str(), L"Library",
                                            RRF_RT_ANY | RRF_NOEXPAND, &type, library, &bytes));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    EXPECT_EQ(std::wstring(L"%SystemRoot%\\System32\\Tessaly.dll"), library);
    EXPECT_EQ(0u, ServiceProgramSupport::RunProgram({L"/noMessages", L"/remove"}));
}

} // namespace
