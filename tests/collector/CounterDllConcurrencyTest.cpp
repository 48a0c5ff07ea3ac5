// Several threads of one reader at once, a reader killed while it holds the block's lock,
// and one that holds it too long.
#include "perfmon/PerformanceDataBlock.h"
#include "perfmon/PerformanceDataBlockNames.h"
#include "service/PerformanceCounters.h"

#include "tests/collector/CounterDllSession.h"
#include "tests/collector/ServedBytes.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FakeCounterInstallation.h"
#include "tests/support/OptexStateView.h"
#include "tests/support/TestNames.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

using namespace CorvaneTools::Counters;
using namespace CorvaneTools::TessalyService;
using namespace CounterDll;
using CorvaneTools::PerfMon::CPerformanceDataBlock;
using CorvaneTools::PerfMon::CPerformanceDataBlockNames;
using TestSupport::CChildProcess;
using TestSupport::CFakeCounterInstallation;
using TestSupport::COptexStateView;

namespace {

std::wstring LockName(const CFakeCounterInstallation &installation)
{
    return CPerformanceDataBlockNames::OfCounterSet(installation.Name()).Lock();
}

// A session that stays inside a collect holding the block's lock: for ever, or for longer
// than any reader waits.
std::unique_ptr<CChildProcess> StartHolder(const CFakeCounterInstallation &installation, const wchar_t *hold,
                                           bool otherArchitecture)
{
    return std::make_unique<CChildProcess>(
        L"CounterDllSession",
        SessionArgs(installation.Name(), {L"open", std::wstring(L"collect:") + hold + L":4096", L"close"},
                    otherArchitecture),
        otherArchitecture ? TestSupport::OtherArchitectureProgram() : std::wstring());
}

struct Values
{
    DWORD result = 1;
    DWORD bytes = 0;
    DWORD objects = 0;
    DWORD milliseconds = 0;
    std::vector<unsigned long long> values;
};

Values ParseValues(const std::string &output)
{
    Values parsed;
    const size_t at = output.find("values ");
    if (at == std::string::npos)
    {
        return parsed;
    }
    std::istringstream line(output.substr(at + 7, output.find('\n', at) - at - 7));
    line >> parsed.result >> parsed.bytes >> parsed.objects >> parsed.milliseconds;
    unsigned long long value = 0;
    while (line >> value)
    {
        parsed.values.push_back(value);
    }
    return parsed;
}

} // namespace

TEST(CounterDllConcurrencyTest, ThreadsOfOneReaderOpenCollectAndCloseAtOnce)
{
    CFakeCounterInstallation installation(3000, TcpChecksum());
    const Session session = RunSession(installation.Name(), {L"threads:8:150"}, false);
    EXPECT_EQ(0u, session.exitCode) << session.output;
    int threads = 0, rounds = 0, served = 0, asked = 0;
    ASSERT_EQ(4, std::sscanf(session.output.c_str(), "threads %d x %d served %d of %d", &threads, &rounds, &served,
                             &asked))
        << session.output;
    EXPECT_GE(asked, 8 * 150);
    EXPECT_EQ(asked, served) << "every collect between a thread's open and its close is served";
    EXPECT_TRUE(session.debugLines.empty()) << session.debugLines.front();
}

// The killed reader and the next one are of either architecture, in all four pairings.
TEST(CounterDllConcurrencyTest, AReaderKilledInsideACollectHoldsUpNoOne)
{
    CFakeCounterInstallation installation(3000, TcpChecksum());
    CPerformanceCounters writer(true, nullptr, installation.Name());
    ASSERT_TRUE(writer.IsPublishing());
    writer.SetMaxUserPort(65534);
    writer.SetTcpTimedWaitDelay(240);
    COptexStateView state(LockName(installation));
    ASSERT_TRUE(state.IsOpen());
    std::vector<DWORD> times;
    for (DWORD round = 0; round < 20; ++round)
    {
        SCOPED_TRACE(round);
        const bool killedOther = round % 2 == 1;
        const bool readerOther = round / 2 % 2 == 1;
        std::unique_ptr<CChildProcess> killed = StartHolder(installation, L"StopInCollect", killedOther);
        ASSERT_TRUE(TestSupport::WaitUntil([&] { return state.Owner() != 0; }, 30000)) << killed->Output();
        // Stores never wait for the lock.
        writer.SetEstablished(round + 1, true);
        ::TerminateProcess(killed->Handle(), 99);
        EXPECT_EQ(99u, killed->Wait());

        const Session reader = RunSession(installation.Name(), {L"open", L"values:Global", L"close"}, false, readerOther);
        const Values read = ParseValues(reader.output);
        EXPECT_EQ(0u, read.result) << reader.output;
        // The writer publishes no instances.
        EXPECT_EQ(ServedBytes::EmptyGlobal, read.bytes) << reader.output;
        EXPECT_EQ(ServedBytes::NumObjects, read.objects);
        ASSERT_EQ(static_cast<size_t>(NumTcpCounters), read.values.size()) << reader.output;
        EXPECT_EQ(round + 1, read.values[IPv4Established]);
        EXPECT_EQ(65534u, read.values[MaxUserPort]);
        EXPECT_EQ(240u, read.values[TcpTimedWaitDelay]);
        EXPECT_TRUE(reader.debugLines.empty()) << reader.debugLines.front();
        EXPECT_EQ(0, state.LockCount());
        EXPECT_EQ(0u, state.Owner());
        times.push_back(read.milliseconds);
    }
    std::sort(times.begin(), times.end());
    std::printf("collect after a killed holder: median %lu ms, slowest %lu ms (bound %lu ms)\n", times[times.size() / 2],
                times.back(), CPerformanceDataBlock::LockTimeoutMs);
}

TEST(CounterDllConcurrencyTest, AReaderHoldingTheLockTooLongIsWaitedOutNotTakenOver)
{
    CFakeCounterInstallation installation(3000, TcpChecksum());
    // The writer makes the block and its lock; readers only open them.
    CPerformanceCounters writer(true, nullptr, installation.Name());
    ASSERT_TRUE(writer.IsPublishing());
    for (const bool holderOther : {false, true})
    {
        SCOPED_TRACE(holderOther);
        std::unique_ptr<CChildProcess> holder = StartHolder(installation, L"HoldInCollect", holderOther);
        std::unique_ptr<COptexStateView> view;
        ASSERT_TRUE(TestSupport::WaitUntil(
            [&] {
                view.reset(new COptexStateView(LockName(installation)));
                return view->IsOpen() && view->Owner() != 0;
            },
            30000))
            << holder->Output();
        const COptexStateView &state = *view;
        const Session reader = RunSession(installation.Name(), {L"open", L"collect:Global:4096", L"close"}, false, !holderOther);
        EXPECT_EQ(Lines({"open 0", "collect 0 bytes=0 objects=0 advanced=0 guard=1", "close 0"}), reader.output);
        EXPECT_EQ(std::vector<std::string>{"CPerformanceDataCollector::Collect() -  Exception: "
                                           "CPerformanceDataCollector::Collect() - Timed out after 1000 ms waiting "
                                           "for the lock of the performance data block"},
                  reader.debugLines);
        EXPECT_EQ(0u, holder->Wait());
        EXPECT_EQ(Lines({"open 0", "collect 0 bytes=0 objects=0 advanced=0 guard=1", "close 0"}), holder->Output())
            << "the holder let go in its own time";
        EXPECT_EQ(0, state.LockCount());
        EXPECT_EQ(0u, state.Owner());
    }
}
