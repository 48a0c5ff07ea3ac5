// The block's lock objects can be created first, by anyone, holding any state: the writer
// laying out a new block waits for it at most its time limit, and takes it over from an
// owner that no longer runs.
#include "counters/TcpCounterSchema.h"
#include "perfmon/PerformanceDataBlock.h"
#include "perfmon/PerformanceDataBlockNames.h"
#include "perfmon/PerformanceMonitorCounters.h"
#include "win32/errors/Exception.h"
#include "win32/sync/Optex.h"

#include "tests/support/CatchException.h"
#include "tests/support/LiveThread.h"
#include "tests/support/OptexStateView.h"
#include "tests/support/TestNames.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace CorvaneTools::Counters;
using namespace CorvaneTools::PerfMon;
using namespace CorvaneTools::Win32;

TEST(PlantedLockTest, LayingOutABlockNeverHangsOnAPlantedLock)
{
    CPerformanceDataSchema schema(L"009");
    AddTcpServiceObject(schema);
    const TestSupport::CLiveThread live;
    const DWORD liveThread = live.Id();
    const struct
    {
        const char *what;
        LONG count;
        DWORD owner;
        bool laidOut;
    } cases[] = {
        {"a count without an owner", 4, 0, false},
        {"a live thread as the owner", 1, liveThread, false},
        {"an owner id no thread has", 2, 0x7FFFFFF8, true},
    };
    for (const auto &planted : cases)
    {
        SCOPED_TRACE(planted.what);
        const std::wstring name = TestSupport::UniqueName(L"planted");
        const std::wstring lockName = CPerformanceDataBlockNames(name).Lock();
        const TestSupport::CPlantedOptexState planter(lockName);
        COptex::SharedState *const state = planter.Get();
        ASSERT_NE(nullptr, state);
        // An owner that entered as often as the count says, and no one waiting.
        planter.Plant(planted.count, planted.owner, planted.count);
        const DWORD start = ::GetTickCount();
        if (planted.laidOut)
        {
            const CPerformanceMonitorCounters writer(CUnqualifiedName(name), schema, 1000, nullptr);
            EXPECT_EQ(1, writer.GetDataBlock().GetBlock()[0]);
            EXPECT_EQ(0, state->lockCount);
            EXPECT_EQ(0u, state->ownerThreadId);
        }
        else
        {
            const CException e = TestSupport::CatchException<CException>(
                [&] { CPerformanceMonitorCounters writer(CUnqualifiedName(name), schema, 1000, nullptr); });
            EXPECT_EQ(L"CPerformanceDataBlock::CPerformanceDataBlock()", e.GetWhere());
            EXPECT_EQ(L"Timed out after 1000 ms waiting for the lock of the performance data block", e.GetMessage());
            EXPECT_EQ(planted.count, state->lockCount) << "the wait was withdrawn";
        }
        const DWORD waited = ::GetTickCount() - start;
        EXPECT_LT(waited, 3 * CPerformanceDataBlock::LockTimeoutMs);
        std::printf("%s: %lu ms\n", planted.what, waited);
    }
}
