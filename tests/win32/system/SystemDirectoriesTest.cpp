#include "win32/system/SystemDirectories.h"

#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <vector>

using namespace CorvaneTools::Win32;

namespace {

std::wstring WindowsDirectory()
{
    wchar_t buffer[MAX_PATH];
    const UINT length = ::GetWindowsDirectoryW(buffer, MAX_PATH);
    return std::wstring(buffer, length);
}

bool SamePath(const std::wstring &expected, const std::wstring &actual)
{
    return ::CompareStringOrdinal(expected.c_str(), -1, actual.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Sets an environment variable for one scope and restores what was there.
class CScopedVariable
{
public:
    CScopedVariable(const wchar_t *name, const wchar_t *value) : m_name(name), m_hadValue(false)
    {
        wchar_t buffer[32767];
        const DWORD length = ::GetEnvironmentVariableW(name, buffer, 32767);
        m_hadValue = length > 0;
        m_value.assign(buffer, length);
        ::SetEnvironmentVariableW(name, value);
    }

    ~CScopedVariable()
    {
        ::SetEnvironmentVariableW(m_name, m_hadValue ? m_value.c_str() : nullptr);
    }

private:
    const wchar_t *m_name;
    bool m_hadValue;
    std::wstring m_value;
};

} // namespace

TEST(SystemDirectoriesTest, CurrentDirectory)
{
    const std::wstring original = GetCurrentDirectory();
    TestSupport::CScratchDirectory scratch(L"current");
    ASSERT_TRUE(::SetCurrentDirectoryW(scratch.Path().c_str()));
    const std::wstring current = GetCurrentDirectory();
    ASSERT_TRUE(::SetCurrentDirectoryW(original.c_str()));
    EXPECT_TRUE(SamePath(scratch.Path(), current)) << current;
    EXPECT_EQ(original, GetCurrentDirectory());
}

TEST(SystemDirectoriesTest, TempPathEndsWithABackslash)
{
    wchar_t raw[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, raw);
    EXPECT_EQ(std::wstring(raw, length), GetTempPath());
    EXPECT_EQ(L'\\', GetTempPath().back());

    const std::wstring windows = WindowsDirectory();
    CScopedVariable tmp(L"TMP", windows.c_str());
    EXPECT_TRUE(SamePath(windows + L"\\", GetTempPath())) << GetTempPath();
}

TEST(SystemDirectoriesTest, SystemDirectoriesOfThe64bitPrefix)
{
    // A 32-bit process is told system32 too; only its accesses there are redirected.
    EXPECT_TRUE(SamePath(WindowsDirectory() + L"\\system32", GetSystemDirectory())) << GetSystemDirectory();
    EXPECT_TRUE(SamePath(WindowsDirectory() + L"\\syswow64", GetSystemWow64Directory()))
        << GetSystemWow64Directory();
}
