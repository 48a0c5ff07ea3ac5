#include "win32/errors/ErrorMessage.h"

#include <gtest/gtest.h>

using namespace CorvaneTools::Win32;

namespace {

std::wstring SystemText(DWORD error)
{
    wchar_t buffer[512];
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                          0, buffer, 511, nullptr);
    return std::wstring(buffer, length);
}

} // namespace

TEST(ErrorMessageTest, StripRemovesTheTrailingLineEndOnly)
{
    const std::wstring raw = SystemText(5);
    ASSERT_GE(raw.size(), 2u);
    ASSERT_EQ(L"\r\n", raw.substr(raw.size() - 2));
    EXPECT_EQ(raw, GetLastErrorMessage(5, false));
    EXPECT_EQ(raw.substr(0, raw.size() - 2), GetLastErrorMessage(5, true));
    EXPECT_NE(L'\n', GetLastErrorMessage(2, true).back());
}

TEST(ErrorMessageTest, UnknownCodeGivesTheReasonTheLookUpFailed)
{
    const DWORD unknown = 0x2000ABCD;
    ASSERT_TRUE(SystemText(unknown).empty());
    wchar_t buffer[512];
    ::SetLastError(0);
    ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, unknown, 0, buffer, 511,
                     nullptr);
    const DWORD reason = ::GetLastError();
    EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), reason);
    ASSERT_NE(0u, reason);
    const std::wstring text = GetLastErrorMessage(unknown, true);
    if (SystemText(reason).empty())
    {
        EXPECT_EQ(L"Failed to obtain error string: " + std::to_wstring(reason), text);
    }
    else
    {
        EXPECT_EQ(GetLastErrorMessage(reason, true), text);
    }
}
