#include "win32/text/StringConverter.h"

#include "win32/errors/Exception.h"

#include <gtest/gtest.h>

using namespace CorvaneTools::Win32;

TEST(StringConverterTest, LengthLimits)
{
    EXPECT_EQ(0x7FFFFFFF, GetStringLength(static_cast<size_t>(0x7FFFFFFF), false));
    EXPECT_EQ(0x7FFFFFFE + 1, GetStringLength(static_cast<size_t>(0x7FFFFFFE), true));
    try
    {
        GetStringLength(static_cast<size_t>(0x7FFFFFFF), true);
        FAIL() << "no exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"GetStringLength()", e.GetWhere());
        EXPECT_EQ(L"String is too long to fit: 2147483648", e.GetMessage());
    }
    EXPECT_EQ(3, GetStringLength("abc", false));
    EXPECT_EQ(4, GetStringLength(L"abc", true));
    EXPECT_EQ(0, GetStringLength(static_cast<const char *>(nullptr), false));
    EXPECT_EQ(5, GetStringLength(std::wstring(L"ab\0cd", 5), false));
    EXPECT_EQ(3, GetStringLength(std::string("ab"), true));
}

TEST(StringConverterTest, RoundTripInTheAnsiCodePage)
{
    EXPECT_EQ(L"Corvane Tessaly", CStringConverter::AtoW("Corvane Tessaly"));
    EXPECT_EQ("Corvane Tessaly", CStringConverter::WtoA(L"Corvane Tessaly"));
    EXPECT_EQ(L"", CStringConverter::AtoW(static_cast<const char *>(nullptr)));
    EXPECT_EQ("", CStringConverter::WtoA(static_cast<const wchar_t *>(nullptr)));
    EXPECT_EQ(L"", CStringConverter::AtoW(std::string()));
    // Embedded terminators are kept by the string-object overloads.
    EXPECT_EQ(std::wstring(L"a\0b", 3), CStringConverter::AtoW(std::string("a\0b", 3)));
    EXPECT_EQ(std::string("a\0b", 3), CStringConverter::WtoA(std::wstring(L"a\0b", 3)));
}

TEST(StringConverterTest, BothPathsOfTheCodePageAgree)
{
    // Characters of the upper half exercise the table of the ANSI code page.
    const std::string narrow = "caf\xE9 \xB5";
    const CPINFOEXW &codePage = CStringConverter::GetCodePageInfo();
    CPINFOEXW multiByte = codePage;
    multiByte.MaxCharSize = 2;
    const std::wstring direct = CStringConverter::AtoW(narrow.data(), 6, codePage);
    EXPECT_EQ(direct, CStringConverter::AtoW(narrow.data(), 6, multiByte));
    EXPECT_EQ(6u, direct.size());
    EXPECT_EQ(narrow, CStringConverter::WtoA(direct.data(), 6, multiByte));
    EXPECT_EQ(narrow, CStringConverter::WtoA(direct.data(), 6, codePage));
}
