#include "win32/errors/ErrorMessage.h"
#include "win32/errors/Win32Exception.h"
#include "win32/files/DirectorySearch.h"
#include "win32/files/TempDirectory.h"
#include "win32/system/SystemDirectories.h"

#include "tests/support/CatchException.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <memory>
#include <set>

using namespace CorvaneTools::Win32;
using TestSupport::CatchException;
using TestSupport::CScratchDirectory;
using TestSupport::Exists;
using TestSupport::WriteBytes;

namespace {

// Held open for reading and writing but not deleting, so the file cannot be deleted.
HANDLE HoldWithoutDeleteSharing(const std::wstring &path)
{
    return ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                         nullptr);
}

std::map<std::wstring, bool> List(const std::wstring &pattern)
{
    std::map<std::wstring, bool> entries;
    CDirectorySearch search(pattern);
    while (search.NextFile())
    {
        EXPECT_TRUE(entries.emplace(search.GetFileName(), search.IsDirectory()).second) << "listed twice";
        EXPECT_EQ(search.IsDirectory(), (search.GetAttributes() & FILE_ATTRIBUTE_DIRECTORY) != 0);
    }
    EXPECT_FALSE(search.NextFile()) << "stays at the end";
    return entries;
}

} // namespace

TEST(TempDirectoryTest, NamedAfterPrefixProcessAndTime)
{
    const std::wstring prefix = TestSupport::UniqueName(L"temp");
    const __int64 before = std::time(nullptr);
    CTempDirectory directory(prefix);
    const __int64 after = std::time(nullptr);

    const std::wstring start = GetTempPath() + prefix + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-";
    const std::wstring &path = directory.GetPath();
    ASSERT_EQ(start, path.substr(0, start.size()));
    ASSERT_EQ(L'\\', path.back());
    const std::wstring seconds = path.substr(start.size(), path.size() - start.size() - 1);
    ASSERT_EQ(std::wstring::npos, seconds.find_first_not_of(L"0123456789")) << seconds;
    EXPECT_GE(std::stoll(seconds), before);
    EXPECT_LE(std::stoll(seconds), after);
    EXPECT_TRUE(::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(TempDirectoryTest, RemovesItselfWithEverythingInIt)
{
    std::wstring path;
    {
        CTempDirectory directory(TestSupport::UniqueName(L"temp"));
        path = directory.GetPath();
        WriteBytes(path + L"top.txt", "top");
        ASSERT_TRUE(::CreateDirectoryW((path + L"sub").c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryW((path + L"sub\\deeper").c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryW((path + L"empty").c_str(), nullptr));
        WriteBytes(path + L"sub\\middle.ini", "middle");
        WriteBytes(path + L"sub\\deeper\\bottom.h", "bottom");
    }
    EXPECT_FALSE(Exists(path));
}

TEST(TempDirectoryTest, CreationFailureNamesTheDirectory)
{
    const std::wstring prefix = TestSupport::UniqueName(L"missing") + L"\\temp";
    const CException e = CatchException<CException>([&] { CTempDirectory directory(prefix); });
    EXPECT_EQ(L"CTempDirectory::CreateTempDirectory()", e.GetWhere());
    const std::wstring start = L"Failed to create directory: \"" + GetTempPath() + prefix + L"-" +
                               std::to_wstring(::GetCurrentProcessId()) + L"-";
    const std::wstring end = L"\\\" - " + GetLastErrorMessage(ERROR_PATH_NOT_FOUND, false);
    const std::wstring message = e.GetMessage();
    ASSERT_GT(message.size(), start.size() + end.size());
    EXPECT_EQ(start, message.substr(0, start.size()));
    EXPECT_EQ(end, message.substr(message.size() - end.size())) << "the error text keeps its line end";
}

TEST(TempDirectoryTest, UndeletableFilesAreReportedAfterEverythingElseIsGone)
{
    CScratchDirectory scratch(L"contents");
    const std::wstring root = scratch.Path() + L"\\";
    ASSERT_TRUE(::CreateDirectoryW((root + L"held").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((root + L"sub").c_str(), nullptr));
    for (const wchar_t *file : {L"a.txt", L"held.txt", L"z.txt", L"held\\inner.txt", L"held\\other.txt", L"sub\\b.txt"})
    {
        WriteBytes(root + file, "data");
    }
    const HANDLE top = HoldWithoutDeleteSharing(root + L"held.txt");
    const HANDLE inner = HoldWithoutDeleteSharing(root + L"held\\inner.txt");
    ASSERT_NE(INVALID_HANDLE_VALUE, top);
    ASSERT_NE(INVALID_HANDLE_VALUE, inner);

    try
    {
        CTempDirectory::RemoveDirectoryContents(root);
        ADD_FAILURE() << "no exception";
    }
    catch (const CWin32Exception &e)
    {
        ADD_FAILURE() << "a platform failure at " << testing::PrintToString(e.GetWhere());
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"CTempDirectory::RemoveDirectoryContents()", e.GetWhere());
        EXPECT_EQ(L"Not all files could be deleted", e.GetMessage());
    }
    const std::map<std::wstring, bool> left = {{L".", true}, {L"..", true}, {L"held", true}, {L"held.txt", false}};
    EXPECT_EQ(left, List(root + L"*"));
    const std::map<std::wstring, bool> leftInside = {{L".", true}, {L"..", true}, {L"inner.txt", false}};
    EXPECT_EQ(leftInside, List(root + L"held\\*"));

    ::CloseHandle(top);
    ::CloseHandle(inner);
    CTempDirectory::RemoveDirectoryContents(root);
    const std::map<std::wstring, bool> empty = {{L".", true}, {L"..", true}};
    EXPECT_EQ(empty, List(root + L"*")) << "the directory itself stays";
}

TEST(TempDirectoryTest, RemovingTheContentsOfAMissingDirectoryThrows)
{
    const std::wstring missing = GetTempPath() + TestSupport::UniqueName(L"missing") + L"\\";
    const CWin32Exception e =
        CatchException<CWin32Exception>([&] { CTempDirectory::RemoveDirectoryContents(missing); });
    EXPECT_EQ(L"CDirectorySearch::CDirectorySearch(\"" + missing + L"*.*\")", e.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), e.GetError());
}

TEST(TempDirectoryTest, DestructionLeavesWhatItCannotDeleteWithoutThrowing)
{
    std::unique_ptr<CTempDirectory> directory(new CTempDirectory(TestSupport::UniqueName(L"temp")));
    const std::wstring path = directory->GetPath();
    WriteBytes(path + L"held.txt", "held");
    WriteBytes(path + L"free.txt", "free");
    const HANDLE held = HoldWithoutDeleteSharing(path + L"held.txt");
    directory.reset();
    EXPECT_TRUE(Exists(path + L"held.txt"));
    EXPECT_FALSE(Exists(path + L"free.txt"));
    ::CloseHandle(held);
    TestSupport::RemoveTree(path.substr(0, path.size() - 1));
}

TEST(DirectorySearchTest, ListsNamesWithoutTheirDirectory)
{
    CScratchDirectory scratch(L"search");
    WriteBytes(scratch / L"one.txt", "1");
    WriteBytes(scratch / L"two.log", "2");
    ASSERT_TRUE(::CreateDirectoryW((scratch / L"sub.txt").c_str(), nullptr));

    const std::map<std::wstring, bool> texts = {{L"one.txt", false}, {L"sub.txt", true}};
    EXPECT_EQ(texts, List(scratch / L"*.txt"));
    const std::map<std::wstring, bool> all = {
        {L".", true}, {L"..", true}, {L"one.txt", false}, {L"sub.txt", true}, {L"two.log", false}};
    EXPECT_EQ(all, List(scratch / L"*.*"));
}

TEST(DirectorySearchTest, NoMatchIsEmptyAndAMissingDirectoryThrows)
{
    CScratchDirectory scratch(L"search");
    EXPECT_TRUE(List(scratch / L"nothing-*.dmp").empty());

    const std::wstring missing = scratch / L"missing\\*.*";
    const CWin32Exception e = CatchException<CWin32Exception>([&] { CDirectorySearch search(missing); });
    EXPECT_EQ(L"CDirectorySearch::CDirectorySearch(\"" + missing + L"\")", e.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), e.GetError());
}
