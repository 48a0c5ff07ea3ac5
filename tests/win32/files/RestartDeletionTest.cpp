#include "win32/errors/Exception.h"
#include "win32/errors/Win32Exception.h"
#include "win32/files/FileReplacement.h"
#include "win32/files/RestartDeletion.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/PendingDeletions.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <string>

using namespace CorvaneTools::Win32;
using TestSupport::Exists;
using TestSupport::ReadBytes;

namespace {

enum class Standing
{
    Nothing,
    FreeFile,
    LoadedLibrary,
    OpenWithoutDeleteSharing,
    Folder
};

// What stands at the path and what deleting it or replacing it leaves: the path free (or
// holding the new bytes), the old bytes aside and queued for the restart, or an error with
// everything as it was.
TEST(RestartDeletionTest, AHeldFileIsMovedAsideUntilRestartAndAnythingElseIsLeftAsItWas)
{
    const struct
    {
        const char *name;
        Standing standing;
        bool replace;
        bool existed;
        bool asideExpected;
        DWORD error; // ~0u: CException
    } rows[] = {
        {"delete: nothing there", Standing::Nothing, false, false, false, 0},
        {"delete: a file no one holds", Standing::FreeFile, false, true, false, 0},
        {"delete: a library a program has loaded", Standing::LoadedLibrary, false, true, true, 0},
        {"delete: a file open without delete sharing", Standing::OpenWithoutDeleteSharing, false, true, false,
         ERROR_SHARING_VIOLATION},
        {"delete: a folder", Standing::Folder, false, true, false, ~0u},
        {"replace: a library a program has loaded", Standing::LoadedLibrary, true, true, true, 0},
        {"replace: a folder", Standing::Folder, true, true, false, ~0u},
    };
    const std::wstring library = TestSupport::ThisFolder() + L"\\TessalyTrivialProvider.dll";
    const std::string libraryBytes = ReadBytes(library);
    ASSERT_FALSE(libraryBytes.empty());
    const std::string bytes = "new bytes";
    for (const auto &row : rows)
    {
        SCOPED_TRACE(row.name);
        const TestSupport::CScratchDirectory scratch(L"TessalyAside");
        const std::wstring path = scratch / L"Counters.dll";
        HMODULE loaded = nullptr;
        HANDLE open = INVALID_HANDLE_VALUE;
        if (row.standing == Standing::Folder)
        {
            ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr));
        }
        else if (row.standing != Standing::Nothing)
        {
            TestSupport::WriteBytes(path, libraryBytes);
        }
        if (row.standing == Standing::LoadedLibrary)
        {
            ASSERT_NE(nullptr, loaded = ::LoadLibraryW(path.c_str()));
        }
        if (row.standing == Standing::OpenWithoutDeleteSharing)
        {
            open = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        }
        std::wstring aside = L"stale";
        bool done = false;
        DWORD error = 0;
        std::wstring message;
        try
        {
            if (row.replace)
            {
                ReplaceFileContents(path, CByteView{reinterpret_cast<const BYTE *>(bytes.data()), bytes.size()},
                                    aside);
                done = !aside.empty();
            }
            else
            {
                done = DeleteNowOrAtRestart(path, aside);
            }
        }
        catch (const CWin32Exception &e)
        {
            error = e.GetError();
        }
        catch (const CException &e)
        {
            error = ~0u;
            message = e.GetMessage();
        }
        EXPECT_EQ(row.error, error);
        if (row.error == ~0u)
        {
            EXPECT_EQ(L"\"" + path + L"\" is a folder, not a file; it was left as it is", message);
        }
        EXPECT_EQ(row.error == 0 && (row.replace ? row.asideExpected : row.existed), done);
        EXPECT_EQ(row.asideExpected ? AsideFileName(path, 0) : std::wstring(), row.error == 0 ? aside : L"");
        EXPECT_EQ(row.asideExpected, Exists(AsideFileName(path, 0)));
        EXPECT_EQ(row.asideExpected, TestSupport::IsPendingDeletion(AsideFileName(path, 0)));
        if (row.asideExpected)
        {
            EXPECT_EQ(libraryBytes, ReadBytes(AsideFileName(path, 0)));
        }
        const bool stays = row.replace || (row.error != 0 && row.standing != Standing::Folder);
        EXPECT_EQ(stays || row.standing == Standing::Folder, Exists(path));
        if (stays && row.standing != Standing::Folder)
        {
            EXPECT_EQ(row.replace ? bytes : libraryBytes, ReadBytes(path));
        }
        TestSupport::ForgetPendingDeletion(AsideFileName(path, 0));
        if (loaded)
        {
            ::FreeLibrary(loaded);
        }
        if (open != INVALID_HANDLE_VALUE)
        {
            ::CloseHandle(open);
        }
    }
}

} // namespace
