#include "win32/text/ToString.h"

#include <gtest/gtest.h>

#include <climits>

using namespace CorvaneTools::Win32;

TEST(ToStringTest, DecimalFormats)
{
    EXPECT_EQ(L"0", ToString(0));
    EXPECT_EQ(L"-2147483648", ToString(INT_MIN));
    EXPECT_EQ(L"2147483647", ToString(INT_MAX));
    EXPECT_EQ(L"4294967295", ToString(4294967295UL));
    EXPECT_EQ(L"-7", ToString(-7L));
    EXPECT_EQ(L"18446744073709551615", ToString(18446744073709551615ULL));
    EXPECT_EQ(L"-9223372036854775808", ToString(static_cast<__int64>(LLONG_MIN)));
    EXPECT_EQ("4294967295", ToStringA(4294967295UL));
    EXPECT_EQ("12", ToStringA(12UL));
}

TEST(ToStringTest, HexFlags)
{
    EXPECT_EQ(L"0x0000001F", ToHexString(0x1Fu, 0x111));
    EXPECT_EQ(L"1f", ToHexString(0x1Fu, 0));
    EXPECT_EQ(L"1F", ToHexString(0x1Fu, HexUpperCase));
    EXPECT_EQ(L"0000001f", ToHexString(0x1Fu, HexPadTo8));
    EXPECT_EQ(L"0000001F", ToHexString(0x1Fu, HexPadTo8 | HexUpperCase));
    EXPECT_EQ(L"0x1f", ToHexString(0x1Fu, HexPrefix));
    EXPECT_EQ(L"0x1F", ToHexString(0x1Fu, HexPrefix | HexUpperCase));
    EXPECT_EQ(L"0x0000001f", ToHexString(0x1Fu, HexPrefix | HexPadTo8));
    EXPECT_EQ(L"0xdeadbeef", ToHexString(0xDEADBEEFUL, HexPrefix));
    EXPECT_EQ(L"0xDEADBEEF", ToHexString(0xDEADBEEFUL, 0x111));
    EXPECT_EQ(L"00000000", ToHexString(0UL, HexPadTo8));
}
