#include "win32/errors/Win32Exception.h"
#include "win32/memory/MemoryMappedFile.h"

#include "tests/support/TestNames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace CorvaneTools::Win32;

namespace {

std::wstring TempFile(const std::string &content)
{
    wchar_t folder[MAX_PATH];
    ::GetTempPathW(MAX_PATH, folder);
    const std::wstring path = std::wstring(folder) + TestSupport::UniqueName(L"mapped.bin");
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    ::CloseHandle(file);
    return path;
}

std::string ReadAll(const std::wstring &path)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    char buffer[256];
    DWORD read = 0;
    ::ReadFile(file, buffer, sizeof(buffer), &read, nullptr);
    ::CloseHandle(file);
    return std::string(buffer, read);
}

} // namespace

TEST(MemoryMappedFileTest, ViewsTheWholeFile)
{
    const std::wstring path = TempFile("MZ mapped content");
    {
        CMemoryMappedFile file(path, ReadOnly);
        EXPECT_EQ(17u, file.GetSize());
        EXPECT_EQ(0, std::memcmp(file.GetBaseAddress(), "MZ mapped content", 17));
        // Read-only shares reading with others.
        CMemoryMappedFile second(path, ReadOnly);
        EXPECT_EQ(0, std::memcmp(second.GetBaseAddress(), "MZ", 2));
    }
    {
        CMemoryMappedFile file(path, ReadWrite);
        std::memcpy(file.GetBaseAddress(), "XY", 2);
    }
    EXPECT_EQ("XY mapped content", ReadAll(path));
    ::DeleteFileW(path.c_str());
}

TEST(MemoryMappedFileTest, ReadWriteOpensWithoutSharing)
{
    const std::wstring path = TempFile("abc");
    {
        CMemoryMappedFile writer(path, ReadWrite);
        try
        {
            CMemoryMappedFile reader(path, ReadOnly);
            FAIL() << "opened a file held without sharing";
        }
        catch (const CWin32Exception &e)
        {
            EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), e.GetError());
        }
    }
    ::DeleteFileW(path.c_str());
}

TEST(MemoryMappedFileTest, Failures)
{
    const std::wstring missing = L"C:\\no\\such\\file.dll";
    try
    {
        CMemoryMappedFile file(missing, ReadOnly);
        FAIL() << "no exception";
    }
    catch (const CWin32Exception &e)
    {
        EXPECT_EQ(L"CMemoryMappedFile::OpenFile() -\"" + missing + L"\"", e.GetWhere());
        EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), e.GetError());
    }

    const std::wstring empty = TempFile("");
    try
    {
        CMemoryMappedFile file(empty, ReadOnly);
        FAIL() << "an empty file cannot be mapped";
    }
    catch (const CWin32Exception &e)
    {
        EXPECT_EQ(L"CMemoryMappedFile::CMemoryMappedFile() - CreateFileMapping", e.GetWhere());
        EXPECT_NE(0u, e.GetError());
    }
    ::DeleteFileW(empty.c_str());

    const AccessMode bad = static_cast<AccessMode>(2);
    const std::pair<const wchar_t *, DWORD (*)(AccessMode)> converters[] = {
        {L"CMemoryMappedFile::GetPageMode()", &CMemoryMappedFile::GetPageMode},
        {L"CMemoryMappedFile::GetAccessMode()", &CMemoryMappedFile::GetAccessMode},
    };
    for (const auto &converter : converters)
    {
        try
        {
            converter.second(bad);
            FAIL() << "no exception";
        }
        catch (const CException &e)
        {
            EXPECT_EQ(converter.first, e.GetWhere());
            EXPECT_EQ(L"Unexpected access mode: 2", e.GetMessage());
        }
    }
    try
    {
        CMemoryMappedFile file(L"C:\\any.dll", bad);
        FAIL() << "no exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"CMemoryMappedFile::OpenFile()", e.GetWhere());
        EXPECT_EQ(L"Unexpected access mode: 2", e.GetMessage());
    }
    EXPECT_EQ(static_cast<DWORD>(PAGE_READONLY), CMemoryMappedFile::GetPageMode(ReadOnly));
    EXPECT_EQ(static_cast<DWORD>(PAGE_READWRITE), CMemoryMappedFile::GetPageMode(ReadWrite));
    EXPECT_EQ(static_cast<DWORD>(FILE_MAP_READ), CMemoryMappedFile::GetAccessMode(ReadOnly));
    EXPECT_EQ(static_cast<DWORD>(FILE_MAP_WRITE), CMemoryMappedFile::GetAccessMode(ReadWrite));
}
