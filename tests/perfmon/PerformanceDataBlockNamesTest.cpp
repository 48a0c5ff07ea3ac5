// Every process that opens a block, in either architecture and of any build, finds its
// objects by these names, so their text is fixed.
#include "perfmon/PerformanceDataBlockNames.h"

#include <gtest/gtest.h>

using CorvaneTools::PerfMon::CPerformanceDataBlockNames;
using CorvaneTools::Win32::CUnqualifiedName;

TEST(PerformanceDataBlockNamesTest, EveryNameOfABlockFollowsFromItsName)
{
    const struct
    {
        std::wstring (CPerformanceDataBlockNames::*name)() const;
        const wchar_t *expected;
    } table[] = {
        {&CPerformanceDataBlockNames::Block, L"Global\\Corvane Tessaly"},
        {&CPerformanceDataBlockNames::Section, L"Global\\Corvane Tessaly_PerfData"},
        {&CPerformanceDataBlockNames::Lock, L"Global\\Corvane Tessaly_PerfData_Lock"},
        {&CPerformanceDataBlockNames::LockState, L"Global\\Corvane Tessaly_PerfData_Lock_Optext_MMF"},
        {&CPerformanceDataBlockNames::LockOwner, L"Global\\Corvane Tessaly_PerfData_Lock_Optex_Owner"},
    };
    const CPerformanceDataBlockNames names = CPerformanceDataBlockNames::OfCounterSet(L"Corvane Tessaly");
    for (const auto &row : table)
    {
        EXPECT_EQ(row.expected, (names.*row.name)());
    }
    EXPECT_EQ(L"Global\\x", CPerformanceDataBlockNames::CounterSetBlock(L"x").GetName());
    EXPECT_EQ(L"b_PerfData_Lock", CPerformanceDataBlockNames(CUnqualifiedName(L"b")).Lock());
    EXPECT_EQ(L"b_PerfData", CPerformanceDataBlockNames(L"b").Section());
}
