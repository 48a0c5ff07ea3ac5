#include "win32/system/SystemInfo.h"

#include <gtest/gtest.h>

using namespace CorvaneTools::Win32;

TEST(SystemInfoTest, TheWinePrefixIs64bit)
{
    EXPECT_TRUE(Is64bitSystem());
#if defined(_WIN64)
    EXPECT_FALSE(IsWow64Process());
#else
    EXPECT_TRUE(IsWow64Process());
#endif
}
