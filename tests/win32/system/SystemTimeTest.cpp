#include "win32/errors/Exception.h"
#include "win32/system/SystemTime.h"

#include "tests/support/CatchException.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

using namespace CorvaneTools::Win32;

namespace {

CSystemTime Time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD milliseconds)
{
    CSystemTime time;
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    time.wMilliseconds = milliseconds;
    return time;
}

} // namespace

TEST(SystemTimeTest, Formats)
{
    const CSystemTime time = Time(2026, 12, 6, 7, 5, 9, 42);
    EXPECT_EQ(L"20261206", time.GetAsYYYYMMDD());
    EXPECT_EQ(L"070509", time.GetAsHHMMSS());
    EXPECT_EQ(L"2026-12-06 07:05:09.042", time.GetAsDateTime());
}

TEST(SystemTimeTest, ConstructedZeroed)
{
    const CSystemTime time;
    EXPECT_EQ(0, time.wDayOfWeek);
    EXPECT_EQ(L"00000000", time.GetAsYYYYMMDD());
    EXPECT_EQ(L"000000", time.GetAsHHMMSS());
    EXPECT_EQ(L"0000-00-00 00:00:00.000", time.GetAsDateTime());
}

TEST(SystemTimeTest, DatesThatDoNotFitEightDigits)
{
    EXPECT_EQ(L"99999999", Time(9999, 99, 99, 0, 0, 0, 0).GetAsYYYYMMDD());
    for (const CSystemTime &time : {Time(10000, 1, 1, 0, 0, 0, 0), Time(2026, 100, 1, 0, 0, 0, 0),
                                    Time(2026, 1, 100, 0, 0, 0, 0)})
    {
        const CException e = TestSupport::CatchException<CException>([&] { time.GetAsYYYYMMDD(); });
        EXPECT_EQ(L"CSystemTime::GetAsYYYYMMDD()", e.GetWhere());
        EXPECT_EQ(L"Invalid date; year > 9999?", e.GetMessage());
    }
    // The other formats just grow.
    const CSystemTime largest = Time(65535, 65535, 65535, 65535, 65535, 65535, 65535);
    EXPECT_EQ(L"655356553565535", largest.GetAsHHMMSS());
    EXPECT_EQ(L"65535-65535-65535 65535:65535:65535.65535", largest.GetAsDateTime());
}
