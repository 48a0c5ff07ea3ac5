#include "perfmon/PerformanceCounterInstaller.h"
#include "service/CounterDeployment.h"
#include "service/ResourceDLLDeployer.h"
#include "service/TcpCounterSchema.h"
#include "win32/SmartHandle.h"
#include "win32/SystemDirectories.h"
#include "win32/ToString.h"
#include "win32/Win32Exception.h"

#include "tests/application/ApplicationTestSupport.h"
#include "tests/support/CatchException.h"
#include "tests/support/ProviderRegistrationLock.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>

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

// The counter value of a temporary file name of this thread; fails the test otherwise.
DWORD FileNumber(const std::wstring &baseName, const std::wstring &path)
{
    const std::wstring prefix = NamePrefix(baseName);
    std::wsmatch match;
    const std::wstring rest = path.substr(std::min(prefix.size(), path.size()));
    EXPECT_EQ(prefix, path.substr(0, prefix.size()));
    EXPECT_TRUE(std::regex_match(rest, match, std::wregex(L"(\\d+)\\.tmp"))) << rest;
    return match.empty() ? 0 : static_cast<DWORD>(std::stoul(match[1].str()));
}

TEST(ResourceDLLDeployerTest, TwoInARowGetNamesWhoseCounterDiffersByOne)
{
    const CResourceDLLDeployer first(L"Tessaly-x86", L"PerfMonDll86");
    const CResourceDLLDeployer second(L"Tessaly-x86", L"PerfMonDll86");
    EXPECT_EQ(FileNumber(L"Tessaly-x86", first.GetPath()) + 1, FileNumber(L"Tessaly-x86", second.GetPath()));
}

TEST(ResourceDLLDeployerTest, WritesTheCarriedBuildAndDeletesItWhenGone)
{
    const struct
    {
        const wchar_t *resource;
        const wchar_t *architecture;
    } rows[] = {{L"PerfMonDll86", L"x86"}, {L"PerfMonDll64", L"x64"}};
    for (const auto &row : rows)
    {
        SCOPED_TRACE(row.resource);
        std::wstring path;
        {
            const CResourceDLLDeployer deployer(L"Tessaly-Test", row.resource);
            path = deployer.GetPath();
            EXPECT_TRUE(SameBytes(DistDll(row.architecture), path));
        }
        EXPECT_FALSE(Exists(path));
    }
}

// For its lifetime the process's temporary directory, the first the platform looks at, does
// not exist.
struct CMissingTemporaryDirectory
{
    CMissingTemporaryDirectory()
    {
        ::GetEnvironmentVariableW(L"TMP", m_saved, MAX_PATH);
        ::SetEnvironmentVariableW(L"TMP", L"C:\\TessalyNoSuchDirectory");
    }

    ~CMissingTemporaryDirectory()
    {
        ::SetEnvironmentVariableW(L"TMP", m_saved[0] ? m_saved : nullptr);
    }

    wchar_t m_saved[MAX_PATH] = L"";
};

TEST(ResourceDLLDeployerTest, AFileThatCannotBeOpenedThrowsWithItsPath)
{
    const CMissingTemporaryDirectory missing;
    const CWin32Exception e =
        TestSupport::CatchException<CWin32Exception>([] { CResourceDLLDeployer(L"Tessaly-x64", L"PerfMonDll64"); });
    EXPECT_EQ(DWORD(ERROR_PATH_NOT_FOUND), e.GetError());
    const std::wstring lead = L"CResourceDLLDeployer::CResourceDLLDeployer() - failed to create file: \"";
    ASSERT_EQ(lead, e.GetWhere().substr(0, lead.size()));
    EXPECT_NE(0u, FileNumber(L"Tessaly-x64", e.GetWhere().substr(lead.size(), e.GetWhere().size() - lead.size() - 1)));
    EXPECT_EQ(L'"', e.GetWhere().back());
}

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
    EXPECT_EQ(L"Tessaly.dll", installer.GetInstalledCounterDLLName(TcpCounterSetName));
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
    EXPECT_FALSE(RemovePerformanceCounters(m_message));
    EXPECT_EQ(L"Performance counters are not installed, so cannot be removed", m_message);
    EXPECT_TRUE(Logged(m_log, m_message));
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

} // namespace
