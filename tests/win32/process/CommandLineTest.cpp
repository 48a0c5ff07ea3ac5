#include "win32/process/CommandLine.h"

#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <vector>

using CorvaneTools::Win32::QuoteCommandLineArgument;

TEST(CommandLineTest, QuotedArgumentsSplitBackUnchanged)
{
    const std::vector<std::wstring> arguments = {
        L"plain",     L"C:\\Program Files\\Tessaly logs", L"", L"tab\there", L"say \"hi\"", L"\"", L"trail\\",
        L"two\\\\",   L"C:\\dir\\", L"back\\\"slash", L"\\\\server\\share", L"a\\\\\"b", L"  "};
    std::wstring commandLine = L"program";
    for (const auto &argument : arguments)
    {
        commandLine += L" " + QuoteCommandLineArgument(argument);
    }
    int count = 0;
    wchar_t **split = ::CommandLineToArgvW(commandLine.c_str(), &count);
    ASSERT_NE(nullptr, split);
    EXPECT_EQ(arguments, std::vector<std::wstring>(split + 1, split + count)) << commandLine;
    ::LocalFree(split);
}

TEST(CommandLineTest, QuotesOnlyWhatNeedsIt)
{
    EXPECT_EQ(L"C:\\dir\\", QuoteCommandLineArgument(L"C:\\dir\\"));
    EXPECT_EQ(L"\"\"", QuoteCommandLineArgument(L""));
    EXPECT_EQ(L"\"a b\\\\\"", QuoteCommandLineArgument(L"a b\\"));
    EXPECT_EQ(L"\"\\\\\\\"x\"", QuoteCommandLineArgument(L"\\\"x"));
}

// The relaunch's parameters: relative values of path options made absolute against the
// directory given, everything else as it was, each argument split back unchanged.
TEST(CommandLineTest, ElevatedParametersMakePathOptionValuesAbsolute)
{
    const struct
    {
        std::vector<std::wstring> arguments;
        std::wstring expected;
    } rows[] = {
        {{L"/install", L"/logPath", L"logs"}, L"/install /logPath C:\\work\\logs "},
        {{L"/install", L"-LOGPATH", L".\\a\\..\\b"}, L"/install -LOGPATH C:\\work\\b "},
        {{L"/logPath", L"."}, L"/logPath C:\\work "},
        {{L"/logPath", L"C:\\Program Files\\Tessaly logs"}, L"/logPath \"C:\\Program Files\\Tessaly logs\" "},
        {{L"/logPath", L"\\\\server\\share"}, L"/logPath \\\\server\\share "},
        {{L"/logPath", L"my logs"}, L"/logPath \"C:\\work\\my logs\" "},
        {{L"/poll", L"logs", L"logs"}, L"/poll logs logs "},
        {{L"/logPath"}, L"/logPath "},
        {{L"/logPath", L""}, L"/logPath \"\" "},
        {{}, L""},
    };
    for (const auto &row : rows)
    {
        EXPECT_EQ(row.expected,
                  CorvaneTools::Win32::ElevatedParameters(row.arguments, L"C:\\work", {L"logPath"}));
    }
}
