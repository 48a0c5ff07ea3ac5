#include "win32/text/HexDump.h"

#include <gtest/gtest.h>

using namespace CorvaneTools::Win32;

TEST(HexDumpTest, TwoDigitsPerByteHighNibbleFirst)
{
    const BYTE bytes[] = {0x00, 0x1F, 0xA5, 0xFF, 0x80};
    EXPECT_EQ(L"001fa5ff80", HexDump(bytes, sizeof(bytes), 0));
    EXPECT_EQ(L"001FA5FF80", HexDump(bytes, sizeof(bytes), HexUpperCase));
    EXPECT_EQ(L"0x001fa5ff80", HexDump(bytes, sizeof(bytes), HexPrefix));
    EXPECT_EQ(L"0x001FA5FF80", HexDump(bytes, sizeof(bytes), HexPrefix | HexUpperCase));
    EXPECT_EQ(L"001fa5ff80", HexDump(bytes, sizeof(bytes), HexPadTo8)) << "padding means nothing here";
}

TEST(HexDumpTest, NoBytes)
{
    EXPECT_EQ(L"", HexDump(nullptr, 0, HexUpperCase));
    EXPECT_EQ(L"0x", HexDump(nullptr, 0, HexPrefix));
}
