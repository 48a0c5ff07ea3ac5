#include "perfmon/MD5Digest.h"

#include "win32/errors/Exception.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace CorvaneTools::PerfMon;
using CorvaneTools::Win32::CException;

TEST(MD5DigestTest, Rfc1321TestSuite)
{
    const std::pair<const char *, const wchar_t *> suite[] = {
        {"", L"D41D8CD98F00B204E9800998ECF8427E"},
        {"a", L"0CC175B9C0F1B6A831C399E269772661"},
        {"abc", L"900150983CD24FB0D6963F7D28E17F72"},
        {"message digest", L"F96B697D7CB7938D525A2F31AAF161D0"},
        {"abcdefghijklmnopqrstuvwxyz", L"C3FCD3D76192E4007DFB496CCA67E13B"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", L"D174AB98D277D9F5A5611C2C9F419D9F"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         L"57EDF4A22BE3C955AC49DA2E2107B67A"},
    };
    for (const auto &entry : suite)
    {
        EXPECT_EQ(entry.second, GetMD5Digest(entry.first, static_cast<DWORD>(std::strlen(entry.first)))) << entry.first;
    }
}

TEST(MD5DigestTest, RawDigestBytesHighNibbleFirst)
{
    BYTE digest[16] = {};
    GetMD5Digest("abc", 3, digest, 16);
    EXPECT_EQ(0x90, digest[0]);
    EXPECT_EQ(0x01, digest[1]);
    EXPECT_EQ(0x72, digest[15]);
}

TEST(MD5DigestTest, OutputMustBeSixteenBytes)
{
    BYTE digest[20] = {};
    for (DWORD length : {0u, 15u, 17u, 20u})
    {
        try
        {
            GetMD5Digest("abc", 3, digest, length);
            FAIL() << "no exception for " << length;
        }
        catch (const CException &e)
        {
            EXPECT_EQ(L"GetMD5Digest()", e.GetWhere());
            EXPECT_EQ(L"Unexpected output length: " + std::to_wstring(length) + L" expected: 16", e.GetMessage());
        }
    }
}
