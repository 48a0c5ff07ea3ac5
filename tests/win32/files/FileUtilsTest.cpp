#include "win32/errors/ErrorMessage.h"
#include "win32/errors/Win32Exception.h"
#include "win32/files/FileUtils.h"

#include "tests/support/CatchException.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

using namespace CorvaneTools::Win32;
using TestSupport::CatchException;
using TestSupport::CScratchDirectory;
using TestSupport::Exists;
using TestSupport::ReadBytes;
using TestSupport::WriteBytes;

namespace {

bool IsDirectory(const std::wstring &path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void ExpectWin32Error(const CWin32Exception &e, const std::wstring &where, DWORD error)
{
    EXPECT_EQ(where, e.GetWhere());
    EXPECT_EQ(error, e.GetError());
}

const std::string ResourceBytes("MZ\x00\x01\x00\x00"
                                "bytes\r\n\xFE\xFF",
                                15);

} // namespace

TEST(FileUtilsTest, CreateDirectoriesCreatesTheMissingLevels)
{
    CScratchDirectory scratch(L"dirs");
    ASSERT_TRUE(::CreateDirectoryW((scratch / L"one").c_str(), nullptr));
    const std::wstring deepest = scratch / L"one\\two\\three";
    CreateDirectoriesIfRequired(deepest);
    EXPECT_TRUE(IsDirectory(scratch / L"one\\two"));
    EXPECT_TRUE(IsDirectory(deepest));
    CreateDirectoriesIfRequired(deepest);
    CreateDirectoriesIfRequired(scratch / L"one\\four\\");
    EXPECT_TRUE(IsDirectory(scratch / L"one\\four"));

    CreateDirectoryIfRequired(scratch / L"single");
    EXPECT_TRUE(IsDirectory(scratch / L"single"));
    CreateDirectoryIfRequired(scratch / L"single");
    ExpectWin32Error(CatchException<CWin32Exception>([&] { CreateDirectoryIfRequired(scratch / L"no\\parent"); }),
                     L"CreateDirectoryIfRequired()", ERROR_PATH_NOT_FOUND);
}

TEST(FileUtilsTest, CreateDirectoriesWithoutABackslashToClimb)
{
    const std::wstring relative = TestSupport::UniqueName(L"missing") + L"/child";
    const CWin32Exception e = CatchException<CWin32Exception>([&] { CreateDirectoriesIfRequired(relative); });
    ExpectWin32Error(e, L"CreateDirectoriesIfRequired()", ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(GetLastErrorMessage(ERROR_PATH_NOT_FOUND, true), e.GetMessage());
}

TEST(FileUtilsTest, AFileInThePlaceOfADirectoryIsNoSuccess)
{
    CScratchDirectory scratch(L"dirs");
    const std::wstring file = scratch / L"file";
    WriteBytes(file, "not a directory");
    ExpectWin32Error(CatchException<CWin32Exception>([&] { CreateDirectoryIfRequired(file); }),
                     L"CreateDirectoryIfRequired()", ERROR_ALREADY_EXISTS);
    ExpectWin32Error(CatchException<CWin32Exception>([&] { CreateDirectoriesIfRequired(file); }),
                     L"CreateDirectoriesIfRequired()", ERROR_ALREADY_EXISTS);
    EXPECT_THROW(CreateDirectoriesIfRequired(file + L"\\below"), CWin32Exception);
    EXPECT_EQ("not a directory", ReadBytes(file));
}

TEST(FileUtilsTest, PathCombineResolvesDotsAndRefusesTooLongPaths)
{
    std::wstring path = L"unchanged";
    EXPECT_TRUE(PathCombine(L"C:\\a\\b", L"..\\c.txt", path));
    EXPECT_EQ(L"C:\\a\\c.txt", path);
    EXPECT_TRUE(PathCombine(L"C:\\a", L".\\logs", path));
    EXPECT_EQ(L"C:\\a\\logs", path);
    path = L"unchanged";
    EXPECT_FALSE(PathCombine(L"C:\\a", std::wstring(300, L'x'), path));
    EXPECT_EQ(L"unchanged", path);
}

TEST(FileUtilsTest, PathParts)
{
    EXPECT_EQ(L"file.txt", GetFileNamePart(L"C:\\dir\\file.txt"));
    EXPECT_EQ(L"C:\\dir", GetDirectoryPart(L"C:\\dir\\file.txt"));
    EXPECT_EQ(L"", GetFileNamePart(L"C:\\dir\\"));
    EXPECT_EQ(L"C:\\dir", GetDirectoryPart(L"C:\\dir\\"));
    // A bare name is all file name.
    EXPECT_EQ(L"file.txt", GetFileNamePart(L"file.txt"));
    EXPECT_EQ(L"", GetDirectoryPart(L"file.txt"));
    EXPECT_EQ(L"a/b", GetFileNamePart(L"a/b"));
    EXPECT_EQ(L"", GetDirectoryPart(L"a/b"));
}

TEST(FileUtilsTest, DeleteFileResults)
{
    CScratchDirectory scratch(L"delete");
    const std::wstring file = scratch / L"file.txt";
    WriteBytes(file, "x");
    DeleteFile(file);
    EXPECT_FALSE(Exists(file));

    const CWin32Exception missing = CatchException<CWin32Exception>([&] { DeleteFile(file); });
    ExpectWin32Error(missing, L"DeleteFile() - \"" + file + L"\"", ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastErrorMessage(ERROR_FILE_NOT_FOUND, true), missing.GetMessage());

    WriteBytes(file, "x");
    const HANDLE held =
        ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ExpectWin32Error(CatchException<CWin32Exception>([&] { DeleteFile(file); }), L"DeleteFile() - \"" + file + L"\"",
                     ERROR_SHARING_VIOLATION);
    ::CloseHandle(held);
    EXPECT_TRUE(Exists(file));
}

TEST(FileUtilsTest, SaveStringAsFileWritesExactlyTheBytes)
{
    CScratchDirectory scratch(L"save");
    const std::wstring file = scratch / L"text.ini";
    WriteBytes(file, std::string(100, 'o'));
    SaveStringAsFile(file, std::string("[info]\r\ndrivername=Tessaly\r\n\x01\xFF", 30));
    EXPECT_EQ(std::string("[info]\r\ndrivername=Tessaly\r\n\x01\xFF", 30), ReadBytes(file)) << "replaced, not kept";

    SaveStringAsFile(file, std::wstring(L"#define OBJECT 0\r\n"));
    EXPECT_EQ("#define OBJECT 0\r\n", ReadBytes(file)) << "narrow, no byte order mark";
    if (::GetACP() == 1252)
    {
        SaveStringAsFile(file, std::wstring(L"caf\u00e9"));
        EXPECT_EQ("caf\xe9", ReadBytes(file));
    }
    SaveStringAsFile(file, std::string());
    EXPECT_EQ("", ReadBytes(file));
    EXPECT_TRUE(Exists(file));
}

TEST(FileUtilsTest, Utf16LETextFileBytesAreTheByteOrderMarkThenEachCharacterLowByteFirst)
{
    EXPECT_EQ(std::string("\xFF\xFE", 2), Utf16LETextFileBytes(L""));
    EXPECT_EQ(std::string("\xFF\xFE[\0i\0]\0\r\0\n\0", 12), Utf16LETextFileBytes(L"[i]\r\n"));
    // Outside every ANSI code page, and a surrogate pair kept as its two units.
    EXPECT_EQ(std::string("\xFF\xFE\xE9\0\xAC\x20\x3D\xD8\x00\xDE", 10), Utf16LETextFileBytes(L"\u00e9\u20ac\U0001F600"));
}

TEST(FileUtilsTest, SaveStringAsFileFailures)
{
    CScratchDirectory scratch(L"save");
    const std::wstring missing = scratch / L"missing\\text.ini";
    ExpectWin32Error(CatchException<CWin32Exception>([&] { SaveStringAsFile(missing, std::string("x")); }),
                     L"SaveStringAsFile() \"" + missing + L"\"", ERROR_PATH_NOT_FOUND);

    const std::wstring file = scratch / L"held.ini";
    WriteBytes(file, "kept");
    const HANDLE held = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    ExpectWin32Error(CatchException<CWin32Exception>([&] { SaveStringAsFile(file, std::wstring(L"new")); }),
                     L"SaveStringAsFile() \"" + file + L"\"", ERROR_SHARING_VIOLATION);
    ::CloseHandle(held);
    EXPECT_EQ("kept", ReadBytes(file));
}

TEST(FileUtilsTest, WriteResourceToFileAppendsTheRawBytes)
{
    CScratchDirectory scratch(L"resource");
    const std::wstring file = scratch / L"Tessaly.dll";
    const HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    DWORD written = 0;
    ::WriteFile(handle, "HEAD", 4, &written, nullptr);
    WriteResourceToFile(handle, L"TessalyTestBlob", L"DLL");
    WriteResourceToFile(handle, L"tessalytestblob", L"dll", ::GetModuleHandleW(nullptr));
    ::CloseHandle(handle);
    EXPECT_EQ("HEAD" + ResourceBytes + ResourceBytes, ReadBytes(file));
}

TEST(FileUtilsTest, WriteResourceToFileFailures)
{
    CScratchDirectory scratch(L"resource");
    const std::wstring file = scratch / L"Tessaly.dll";
    WriteBytes(file, "");
    const HANDLE readOnly = ::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ExpectWin32Error(
        CatchException<CWin32Exception>([&] { WriteResourceToFile(readOnly, L"NoSuchResource", L"DLL"); }),
        L"WriteResourceToFile() - FindResource", ERROR_RESOURCE_NAME_NOT_FOUND);
    ExpectWin32Error(
        CatchException<CWin32Exception>([&] { WriteResourceToFile(readOnly, L"TessalyTestBlob", L"NOSUCHTYPE"); }),
        L"WriteResourceToFile() - FindResource", ERROR_RESOURCE_TYPE_NOT_FOUND);
    ExpectWin32Error(
        CatchException<CWin32Exception>([&] { WriteResourceToFile(readOnly, L"TessalyTestBlob", L"DLL"); }),
        L"WriteResourceToFile() - WriteFile", ERROR_ACCESS_DENIED);
    ::CloseHandle(readOnly);
}

TEST(FileUtilsTest, WriteResourceToFileReportsAShortWrite)
{
    // A full non-blocking pipe takes fewer bytes than offered and still reports success.
    const std::wstring name = L"\\\\.\\pipe\\" + TestSupport::UniqueName(L"short-write");
    const HANDLE server =
        ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, 16, 16, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, server);
    const HANDLE client = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, client);
    DWORD mode = PIPE_NOWAIT;
    ASSERT_TRUE(::SetNamedPipeHandleState(client, &mode, nullptr, nullptr));
    const std::string filler(4096, 'f');
    for (const DWORD chunk : {4096ul, 1ul})
    {
        DWORD written = 1;
        for (int i = 0; i < 100000 && written > 0; ++i)
        {
            ASSERT_TRUE(::WriteFile(client, filler.data(), chunk, &written, nullptr));
        }
        ASSERT_EQ(0u, written);
    }

    const CWin32Exception e =
        CatchException<CWin32Exception>([&] { WriteResourceToFile(client, L"TessalyTestBlob", L"DLL"); });
    EXPECT_EQ(L"WriteResourceToFile() - WriteFile", e.GetWhere());
    EXPECT_EQ(L"Wrote less bytes (0( than expected: 15", e.GetMessage());
    EXPECT_EQ(0u, e.GetError());
    ::CloseHandle(client);
    ::CloseHandle(server);
}
