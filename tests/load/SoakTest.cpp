// The service polling back to back with readers querying for a while: its handles,
// working set and private bytes, and the readers' handles, at the start, after a minute
// (half of the run in the short version) and at the end. Prints the figures; fails only
// on a reader fault.
#include "tests/load/LoadRunSupport.h"
#include "tests/support/LongRuns.h"
#include "tests/support/ProcessFigures.h"

#include <gtest/gtest.h>

using namespace LoadRuns;

TESSALY_CHILD_MAIN(Idle)
{
    ::Sleep(60000);
    return 0;
}

namespace {

struct SPoint
{
    const char *when;
    TestSupport::SProcessFigures service;
    DWORD readerHandlesLow, readerHandlesHigh;
};

SPoint Measure(const char *when, HANDLE service, const CReaderFleet &fleet)
{
    SPoint point = {when, TestSupport::MeasureProcess(service), MAXDWORD, 0};
    for (const auto &reader : fleet.Processes())
    {
        const DWORD handles = TestSupport::CountHandles(reader->Handle());
        point.readerHandlesLow = std::min(point.readerHandlesLow, handles);
        point.readerHandlesHigh = std::max(point.readerHandlesHigh, handles);
    }
    std::printf("%-14s service: %lu handles, working set %zu KB, private %zu KB; readers: %lu-%lu handles\n", when,
                point.service.handles, point.service.workingSet / 1024, point.service.privateBytes / 1024,
                point.readerHandlesLow, point.readerHandlesHigh);
    return point;
}

// What every process here costs before it does anything: the yardstick for the service's
// working set, which under Wine holds the platform's own libraries.
void MeasureIdleProcess()
{
    TestSupport::CChildProcess idle(L"Idle");
    ::Sleep(2000);
    const TestSupport::SProcessFigures figures = TestSupport::MeasureProcess(idle.Handle());
    std::printf("an idle process (this test program doing nothing): %lu handles, working set %zu KB, "
                "private %zu KB\n",
                figures.handles, figures.workingSet / 1024, figures.privateBytes / 1024);
}

TEST(SoakTest, HandlesAndMemoryStayFlatAtPollZeroWithReaders)
{
    MeasureIdleProcess();
    const DWORD runMs = TestSupport::ShortOrLong(60000, 600000);
    const DWORD settledMs = TestSupport::ShortOrLong(30000, 60000);
    const CInstalledService service(L"0");
    ASSERT_TRUE(service.Installed());
    const CChurn churn;
    ASSERT_TRUE(service.Start());
    const HANDLE process = ::OpenProcess(PROCESS_DUP_HANDLE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                                         service.Status().dwProcessId);
    ASSERT_NE(nullptr, process);
    CReaderFleet fleet(service.Object(), 2, 0);
    const size_t pollsBefore = service.Polls();
    ::Sleep(2000);
    Measure("start", process, fleet);
    ::Sleep(settledMs - 2000);
    const SPoint settled = Measure(TestSupport::LongRuns() ? "after 1 min" : "after 30 s", process, fleet);
    ::Sleep(runMs - settledMs);
    const SPoint end = Measure("end", process, fleet);
    ::CloseHandle(process);
    const SReaderResult sum = Sum(fleet.Finish(), "Soak readers");
    std::printf("%zu polls in %lu s; after settling: handles %+ld, working set %+lld KB, private %+lld KB\n",
                service.Polls() - pollsBefore, runMs / 1000,
                static_cast<long>(end.service.handles) - static_cast<long>(settled.service.handles),
                (static_cast<long long>(end.service.workingSet) - static_cast<long long>(settled.service.workingSet)) / 1024,
                (static_cast<long long>(end.service.privateBytes) - static_cast<long long>(settled.service.privateBytes)) / 1024);
    EXPECT_EQ(0u, sum.exitCode);
    EXPECT_EQ(0u, sum.failed);
    EXPECT_EQ(0u, sum.absent);
    EXPECT_EQ(0u, sum.highHalf);
}

} // namespace
