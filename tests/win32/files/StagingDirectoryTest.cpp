#include "win32/errors/Win32Exception.h"
#include "win32/files/StagingDirectory.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/ScratchDirectory.h"
#include "tests/support/UnsafeFolders.h"

#include <gtest/gtest.h>

#include <string>

using CorvaneTools::Win32::CStagingDirectory;
using TestSupport::CScratchDirectory;
using TestSupport::Exists;
using TestSupport::ReadBytes;

namespace {

// Wine hands back a Unix program's process as ended at once; a marker file tells when
// the command is done.
bool RunShell(const std::string &command)
{
    const std::wstring marker = TestSupport::ThisFolder() + L"\\shell-done-" + std::to_wstring(::GetCurrentProcessId());
    ::DeleteFileW(marker.c_str());
    const std::string text = command + "; touch '" + TestSupport::UnixPath(marker) + "'";
    std::wstring line = L"/bin/sh -c \"" + std::wstring(text.begin(), text.end()) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(L"Z:\\bin\\sh", &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process))
    {
        return false;
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    for (int waited = 0; waited < 300 && !Exists(marker); ++waited)
    {
        ::Sleep(100);
    }
    return ::DeleteFileW(marker.c_str()) != FALSE;
}

// A link put where the folder or one of its files was is never followed by the clean-up:
// what it points at stays, and what is still reachable as made goes.
TEST(StagingDirectoryTest, TheCleanUpFollowsNoLinkPutInPlaceOfWhatItMade)
{
    const struct
    {
        const char *name;
        // Shell text with %S for the staging folder and %V for the victim folder.
        const char *swap;
        // Beside or below the staging folder's path.
        const wchar_t *left;
        const wchar_t *gone;
    } rows[] = {
        {"nothing swapped", "true", nullptr, L""},
        {"folder replaced by a link", "mv %S %S.moved && ln -s %V %S", L".moved\\b.h", nullptr},
        {"file replaced by a link", "rm %S/a.ini && ln -s %V/a.ini %S/a.ini", nullptr, L"\\b.h"},
    };
    for (const auto &row : rows)
    {
        SCOPED_TRACE(row.name);
        const CScratchDirectory scratch(L"TessalyStaging");
        const std::wstring victim = scratch / L"victim";
        ASSERT_TRUE(::CreateDirectoryW(victim.c_str(), nullptr));
        TestSupport::WriteBytes(victim + L"\\a.ini", "victim a");
        TestSupport::WriteBytes(victim + L"\\b.h", "victim b");
        std::string staged;
        std::wstring path;
        {
            CStagingDirectory staging(scratch.Path() + L"\\", L"Test");
            EXPECT_EQ(staging.GetPath() + L"a.ini", staging.SaveFile(L"a.ini", "ours a"));
            staging.SaveFile(L"b.h", "ours b");
            EXPECT_EQ("ours a", ReadBytes(staging.GetPath() + L"a.ini"));
            // Not even its owner can move the folder while it is held.
            EXPECT_FALSE(::MoveFileW(staging.GetPath().c_str(), (scratch / L"moved").c_str()));
            path = staging.GetPath().substr(0, staging.GetPath().size() - 1);
            staged = TestSupport::UnixPath(path);
            if (staged.empty())
            {
                GTEST_SKIP() << "no Unix file system to swap things in";
            }
            std::string swap = row.swap;
            for (size_t at; (at = swap.find("%S")) != std::string::npos;)
            {
                swap.replace(at, 2, "'" + staged + "'");
            }
            for (size_t at; (at = swap.find("%V")) != std::string::npos;)
            {
                swap.replace(at, 2, "'" + TestSupport::UnixPath(victim) + "'");
            }
            ASSERT_TRUE(RunShell(swap));
        }
        EXPECT_EQ("victim a", ReadBytes(victim + L"\\a.ini"));
        EXPECT_EQ("victim b", ReadBytes(victim + L"\\b.h"));
        if (row.left)
        {
            EXPECT_TRUE(Exists(path + row.left));
        }
        if (row.gone)
        {
            EXPECT_FALSE(Exists(path + row.gone));
        }
        // The links go first, so that the scratch clean-up cannot follow them.
        RunShell("rm -f '" + staged + "/a.ini'; [ -L '" + staged + "' ] && rm -f '" + staged + "'");
        RunShell("rm -rf '" + staged + "' '" + staged + ".moved'");
    }
}

// A file written twice is the second one; its name is the directory's, never followed.
TEST(StagingDirectoryTest, FilesAreNewAndGoWithTheDirectory)
{
    std::wstring path;
    {
        CStagingDirectory staging(L"TessalyStagingTest");
        path = staging.GetPath();
        EXPECT_EQ(L'\\', path.back());
        staging.SaveFile(L"x.ini", "first");
        EXPECT_EQ("second", ReadBytes(staging.SaveFile(L"x.ini", "second")));
    }
    EXPECT_FALSE(Exists(path));
}

} // namespace
