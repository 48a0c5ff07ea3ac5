#include "win32/errors/Win32Exception.h"
#include "win32/files/FileReplacement.h"

#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <string>

using namespace CorvaneTools::Win32;
using TestSupport::Exists;
using TestSupport::ReadBytes;
using TestSupport::WriteBytes;

namespace {

// The destination holds the new bytes or the old ones, never part of either; staging names
// found taken are left as they were, and no staging file of ours stays behind.
TEST(FileReplacementTest, TheDestinationIsReplacedWholeOrNotAtAll)
{
    const struct
    {
        const char *name;
        unsigned int planted;
        bool held;
        DWORD error;
    } rows[] = {
        {"free names", 0, false, 0},
        {"three names taken", 3, false, 0},
        {"every name taken", StagingAttempts, false, ERROR_FILE_EXISTS},
        {"destination held by a reader", 0, true, ERROR_SHARING_VIOLATION},
    };
    for (const auto &row : rows)
    {
        SCOPED_TRACE(row.name);
        const TestSupport::CScratchDirectory scratch(L"TessalyReplace");
        const std::wstring destination = scratch / L"Counters.dll";
        WriteBytes(destination, "old");
        for (unsigned int attempt = 0; attempt < row.planted; ++attempt)
        {
            WriteBytes(StagingFileName(destination, attempt), "planted");
        }
        const std::string bytes = "new bytes";
        const CByteView view = {reinterpret_cast<const BYTE *>(bytes.data()), bytes.size()};
        DWORD error = 0;
        {
            const HANDLE reader = row.held ? ::CreateFileW(destination.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                           nullptr, OPEN_EXISTING, 0, nullptr)
                                           : INVALID_HANDLE_VALUE;
            try
            {
                std::wstring aside;
                ReplaceFileContents(destination, view, aside);
            }
            catch (const CWin32Exception &e)
            {
                error = e.GetError();
            }
            if (reader != INVALID_HANDLE_VALUE)
            {
                ::CloseHandle(reader);
            }
        }
        // Wine reports a move onto a file open without delete sharing as access denied.
        EXPECT_TRUE(error == row.error || (row.error == ERROR_SHARING_VIOLATION && error == ERROR_ACCESS_DENIED))
            << error;
        EXPECT_EQ(row.error ? "old" : "new bytes", ReadBytes(destination));
        for (unsigned int attempt = 0; attempt < StagingAttempts; ++attempt)
        {
            EXPECT_EQ(attempt < row.planted, Exists(StagingFileName(destination, attempt))) << attempt;
            if (attempt < row.planted)
            {
                EXPECT_EQ("planted", ReadBytes(StagingFileName(destination, attempt)));
            }
        }
    }
}

} // namespace
