// Tessaly.exe's install and removal as an administrator meets them: a failed install exits
// 5 and leaves nothing behind, and a removal while a reader has a counter DLL loaded
// finishes, leaving the loaded copy to the next restart.
#include "perfmon/PerformanceCounterInstaller.h"

#include "tests/service/ServiceProgramSupport.h"
#include "tests/support/PendingDeletions.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace CorvaneTools::Counters;
using ServiceProgramSupport::RunProgram;
using ServiceProgramSupport::ServiceIsInstalled;
using ServiceProgramSupport::WindowsFolder;
using TestSupport::Exists;
using TestSupport::ReadBytes;

namespace {

using ServiceProgramSupport::Copy;
using ServiceProgramSupport::KeyExists;

// The copies a removal moved aside in one system folder.
std::vector<std::wstring> AsideCopies(const wchar_t *systemFolder)
{
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW data;
    const HANDLE search = ::FindFirstFileW((Copy(systemFolder) + L".*.old").c_str(), &data);
    if (search != INVALID_HANDLE_VALUE)
    {
        do
        {
            found.push_back(WindowsFolder() + L"\\" + systemFolder + L"\\" + data.cFileName);
        } while (::FindNextFileW(search, &data));
        ::FindClose(search);
    }
    return found;
}

// The log as written: a message's later lines carry no thread prefix.
bool Logged(const std::wstring &log, const std::string &part)
{
    return ReadBytes(log).find(part) != std::string::npos;
}

typedef ServiceProgramSupport::CInstalledProgramTest AdministrationTest;

// Something in the way of a copy: the install says which, exits 5 and takes back the
// service, its configuration, the registration and the copies it had already placed.
TEST_F(AdministrationTest, AFailedInstallExitsFiveAndLeavesNothingBehind)
{
    HANDLE held = INVALID_HANDLE_VALUE;
    const struct
    {
        const char *name;
        std::function<void()> plant;
        std::function<void()> clear;
        const char *said;
    } rows[] = {
        {"a folder where the 64-bit copy goes",
         [] { ::CreateDirectoryW(Copy(L"system32").c_str(), nullptr); },
         [] { ::RemoveDirectoryW(Copy(L"system32").c_str()); }, "\\system32\\Tessaly.dll\" is a folder, not a file"},
        {"the 32-bit copy open without delete sharing",
         [&] {
             TestSupport::WriteBytes(Copy(L"syswow64"), "someone's");
             held = ::CreateFileW(Copy(L"syswow64").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  0, nullptr);
         },
         [&] {
             ::CloseHandle(held);
             ::DeleteFileW(Copy(L"syswow64").c_str());
         },
         "Exception whilst installing performance counters: MoveAsideUntilRestart() - MoveFileEx"},
    };
    for (const auto &row : rows)
    {
        SCOPED_TRACE(row.name);
        row.plant();
        EXPECT_EQ(5u, RunProgram({L"/noMessages", L"/install", L"/createLog", L"/logPath", m_logs.Path()}));
        EXPECT_FALSE(ServiceIsInstalled());
        EXPECT_FALSE(KeyExists(ServiceProgramSupport::ServiceKey)) << "configuration or registration left";
        EXPECT_FALSE(CorvaneTools::PerfMon::CPerformanceCounterInstaller().IsInstalled(TcpCounterSetName));
        const std::wstring log = m_logs / L"CorvaneTessaly.log";
        EXPECT_TRUE(Logged(log, "Service NOT installed: installing the performance counters failed, and what was "
                                "installed has been taken back."));
        EXPECT_TRUE(Logged(log, row.said));
        row.clear();
        EXPECT_FALSE(Exists(Copy(L"system32")));
        EXPECT_FALSE(Exists(Copy(L"syswow64")));
        ::DeleteFileW((m_logs / L"CorvaneTessaly.log").c_str());
    }
}

// A monitoring reader keeps the 64-bit copy loaded: the removal finishes all the same,
// the loaded copy waits aside for the restart, and a new install meanwhile works.
TEST_F(AdministrationTest, ARemovalWhileAReaderHasTheDllLoadedFinishesAndAsksForARestart)
{
    ASSERT_EQ(0u, RunProgram({L"/noMessages", L"/install"}));
    const DWORD object = CorvaneTools::PerfMon::CPerformanceCounterInstaller().FirstCounterIndex(TcpCounterSetName);
    const std::wstring stopName = L"TessalyAdministrationStop-" + std::to_wstring(::GetCurrentProcessId());
    const HANDLE stop = ::CreateEventW(nullptr, TRUE, FALSE, stopName.c_str());
    std::vector<std::wstring> asides;
    {
        TestSupport::CChildProcess reader(
            L"", {std::to_wstring(object), L"0", L"/stop:" + stopName},
            ServiceProgramSupport::Top() + L"\\build\\x64\\bin\\TessalyQueryLoop.exe");
        ASSERT_TRUE(ServiceProgramSupport::WaitUntilLoadedAsImage(Copy(L"system32")));

        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS_REBOOT_REQUIRED),
                  RunProgram({L"/noMessages", L"/remove", L"/createLog", L"/logPath", m_logs.Path()}));
        EXPECT_FALSE(ServiceIsInstalled());
        EXPECT_FALSE(KeyExists(ServiceProgramSupport::ServiceKey));
        EXPECT_FALSE(Exists(Copy(L"system32")));
        EXPECT_FALSE(Exists(Copy(L"syswow64"))) << "no reader held the 32-bit copy";
        asides = AsideCopies(L"system32");
        ASSERT_EQ(1u, asides.size());
        EXPECT_TRUE(TestSupport::IsPendingDeletion(asides[0]));
        EXPECT_TRUE(AsideCopies(L"syswow64").empty());
        const std::string aside(asides[0].begin(), asides[0].end());
        EXPECT_TRUE(Logged(m_logs / L"CorvaneTessaly.log",
                           "These copies were moved aside and are deleted when Windows restarts:"));
        EXPECT_TRUE(Logged(m_logs / L"CorvaneTessaly.log", "\"" + aside + "\""));

        EXPECT_EQ(0u, RunProgram({L"/noMessages", L"/install"})) << "the old copy no longer stands in the way";
        EXPECT_EQ(ReadBytes(ServiceProgramSupport::ProgramFolder() + L"\\TessalyCounters.dll"),
                  ReadBytes(Copy(L"system32")));
        ::SetEvent(stop);
        EXPECT_NE(static_cast<DWORD>(STILL_ACTIVE), reader.Wait(20000));
    }
    ::CloseHandle(stop);
    for (const std::wstring &aside : asides)
    {
        TestSupport::ForgetPendingDeletion(aside);
        ::DeleteFileW(aside.c_str());
    }
}

} // namespace
