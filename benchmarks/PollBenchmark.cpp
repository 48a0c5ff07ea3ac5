// What one poll (IPv4 and IPv6 table, counted and published) costs against the bare
// platform calls it makes, over tables of about 1,000, 5,000 and 30,000 rows, and how many
// times a steady-state poll calls operator new.
#include "benchmarks/AllocationCount.h"
#include "benchmarks/BenchmarkTiming.h"
#include "benchmarks/PollBenchmarkSupport.h"
#include "tests/support/LoopbackConnections.h"
#include "tests/support/PublishedCounters.h"

#include <iphlpapi.h>

#include "counters/TcpCounterSchema.h"
#include "perfmon/PerformanceDataBlock.h"
#include "service/PerformanceCounters.h"
#include "service/TcpStatistics.h"
#include "service/TcpTables.h"
#include "win32/errors/Exception.h"
#include "win32/handles/KernelObjectName.h"
#include "win32/log/DebugTrace.h"

#include "tests/support/FakeCounterInstallation.h"
#include "tests/support/TestNames.h"

#include <windows.h>

#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

using namespace CorvaneTools::Counters;
using namespace CorvaneTools::TessalyService;
using namespace CorvaneTools::Win32;
using CorvaneTools::PerfMon::CPerformanceDataBlock;
using CorvaneTools::PerfMon::CPerformanceDataSchema;
using TestSupport::CLoopbackConnections;
using PollBenchmark::CBareCalls;
using PollBenchmark::CNamedProcesses;
using PollBenchmark::CPlantedOwnerTables;
using PollBenchmark::CReplayedTables;
using PollBenchmark::CSyntheticTables;
using PollBenchmark::CTemporaryLog;
using TestSupport::CPublishedCounters;

namespace {

struct Size
{
    int rows;
    int repeats;
};

// GetExtendedTcpTable with owners costs about 0.7 ms per row under Wine.
const Size s_sizes[] = {{1000, 9}, {5000, 5}, {30000, 3}};
const int s_ipv6Pairs = 10;
const int s_pairsPerStep = 500;
const int s_warmUpPolls = 2;
const int s_countedPolls = 3;
const int s_ownWorkRepeats = 101;
const DWORD s_plantedOwners = 500;

// The trace also writes every line to stdout; the figures go to a copy of it, and stdout
// itself to NUL, as a service has no console.
std::FILE *FiguresOutput()
{
    std::FILE *figures = ::_fdopen(::_dup(::_fileno(stdout)), "w");
    if (!figures || !std::freopen("NUL", "w", stdout))
    {
        throw std::runtime_error("stdout could not be redirected");
    }
    std::setvbuf(figures, nullptr, _IONBF, 0);
    return figures;
}

void Poll(CTcpStatistics &statistics)
{
    statistics.ProcessStats();
    if (statistics.HasTcp6Table())
    {
        statistics.ProcessStatsIPv6();
    }
    statistics.ProcessOwners();
}

DWORD Rows(const CTcpStatistics &statistics, bool isIPv4)
{
    DWORD entries = 0;
    const CTcpTableBuffer &buffer = statistics.GetBuffer(isIPv4);
    if (buffer.GetCapacity() >= sizeof(entries))
    {
        std::memcpy(&entries, buffer.GetData(), sizeof(entries));
    }
    return entries;
}

// Established pairs until both tables hold about `rows`; false when Wine would hold no
// more sockets, and the table keeps what it has.
bool GrowTo(CLoopbackConnections &ipv4, const CLoopbackConnections &ipv6, int rows)
{
    const auto total = [&] {
        DWORD made = 0;
        for (DWORD count : ipv4.Expected())
        {
            made += count;
        }
        for (DWORD count : ipv6.Expected())
        {
            made += count;
        }
        return static_cast<int>(made);
    };
    bool complete = true;
    try
    {
        while (total() + 1 < rows)
        {
            ipv4.AddEstablishedPairs(std::min(s_pairsPerStep, (rows - total()) / 2));
            std::fprintf(stderr, "  %d rows made\n", total());
        }
    }
    catch (const std::runtime_error &e)
    {
        std::fprintf(stderr, "  no more connections after %d rows: %s\n", total(), e.what());
        complete = false;
    }
    CLoopbackConnections::WaitForTable(ipv4, ipv6, complete ? 60000 : 5000);
    return complete;
}

struct Figures
{
    double pollMs;
    double bareMs;
};

// Poll and bare calls taken in turn, so that drift falls on both alike.
Figures Time(CTcpStatistics &statistics, CBareCalls &bare, int repeats)
{
    Poll(statistics);
    bare.Call();
    std::vector<double> polls;
    std::vector<double> bares;
    for (int repeat = 0; repeat < repeats; ++repeat)
    {
        double start = Now();
        Poll(statistics);
        polls.push_back((Now() - start) * 1e3);
        start = Now();
        bare.Call();
        bares.push_back((Now() - start) * 1e3);
        std::fprintf(stderr, "  repeat %d/%d: poll %.1f ms, bare %.1f ms\n", repeat + 1, repeats, polls.back(),
                     bares.back());
    }
    return {Median(polls), Median(bares)};
}

double OwnWorkMs(CTcpStatistics &statistics, CPerformanceCounters &counters)
{
    statistics.SetCounters(&counters);
    Poll(statistics);
    std::vector<double> polls;
    for (int repeat = 0; repeat < s_ownWorkRepeats; ++repeat)
    {
        const double start = Now();
        Poll(statistics);
        polls.push_back((Now() - start) * 1e3);
    }
    return Median(polls);
}

double AllocationsPerPoll(CTcpStatistics &statistics)
{
    for (int poll = 0; poll < s_warmUpPolls; ++poll)
    {
        Poll(statistics);
    }
    const long before = AllocationCount();
    for (int poll = 0; poll < s_countedPolls; ++poll)
    {
        Poll(statistics);
    }
    return static_cast<double>(AllocationCount() - before) / s_countedPolls;
}

template <typename Work> double MedianMs(Work work)
{
    std::vector<double> times;
    for (int repeat = 0; repeat < s_ownWorkRepeats; ++repeat)
    {
        const double start = Now();
        work();
        times.push_back((Now() - start) * 1e3);
    }
    return Median(times);
}

// Where a poll's fixed cost goes: one trace line, and the outputs each line is sent to.
void PrintLineCosts(std::FILE *out, CTemporaryLog &log)
{
    const std::wstring message = L"IPv4 - Processing - started - 2026-12-08 03:20:00.000";
    const std::string narrow(message.begin(), message.end());
    log.Off();
    const double off = MedianMs([&] { CDebugTrace::Log(message); });
    log.On();
    const double on = MedianMs([&] { CDebugTrace::Log(message); });
    const double debugger = MedianMs([&] { ::OutputDebugStringA((narrow + "\n").c_str()); });
    const double console = MedianMs([&] {
        std::fwrite(narrow.data(), 1, narrow.size(), stdout);
        std::fflush(stdout);
    });
    std::fprintf(out,
                 "x64 one trace line (%d repeats): median %.3f ms log on, %.3f ms log off; of it "
                 "OutputDebugStringA %.3f ms, stdout write + flush %.3f ms\n",
                 s_ownWorkRepeats, on, off, debugger, console);
}

// One trace line as long as a poll's "started" line, the same way in.
long AllocationsPerLogLine()
{
    const std::wstring message = L"IPv4 - Processing - started - 2026-12-08 03:20:00.000";
    const long before = AllocationCount();
    CDebugTrace::Log(message);
    return AllocationCount() - before;
}

void PrintAllocations(std::FILE *out, CTcpStatistics &statistics, CTemporaryLog &log, const char *tables)
{
    const long before = AllocationCount();
    std::unique_ptr<std::string> probe(new std::string(64, 'x'));
    if (AllocationCount() == before)
    {
        throw std::runtime_error("operator new is not the counting one");
    }
    log.Off();
    std::fprintf(stderr, "counting allocations, log off\n");
    const double off = AllocationsPerPoll(statistics);
    const long offLine = AllocationsPerLogLine();
    log.On();
    std::fprintf(stderr, "counting allocations, log on\n");
    const double on = AllocationsPerPoll(statistics);
    const long onLine = AllocationsPerLogLine();
    std::fprintf(out,
                 "x64 operator new/new[] calls per steady-state poll over %s (%d warm-up polls, mean of %d): "
                 "log off %.1f, log on %.1f\n",
                 tables, s_warmUpPolls, s_countedPolls, off, on);
    std::fprintf(out, "  of which the trace itself, per line handed to CDebugTrace::Log: log off %ld, log on %ld\n",
                 offLine, onLine);
    std::fprintf(out, "  log off = the trace pointed at a log that discards, as the service runs without a log "
                      "file; HeapAlloc and CRT malloc calls are not counted\n");
}

// The poll's own work at a server's scale, with the log off as the service runs: the same
// 30,000 rows without owners and over 500 owning processes.
void PrintServerScale(std::FILE *out, CPerformanceCounters &counters, CTemporaryLog &log)
{
    const DWORD rows = 30000;
    log.Off();
    CSyntheticTables unowned(rows, 0);
    CTcpStatistics unownedStatistics(unowned);
    const double unownedMs = OwnWorkMs(unownedStatistics, counters);
    CSyntheticTables owned(rows, s_plantedOwners);
    CNamedProcesses named;
    CTcpStatistics ownedStatistics(owned, named);
    const double ownedMs = OwnWorkMs(ownedStatistics, counters);
    log.On();
    std::fprintf(out,
                 "x64 poll's own work, %lu synthetic rows from memory, log off (%d repeats): no owners median %.3f ms, "
                 "%lu owning processes median %.3f ms, ratio %.2f\n",
                 rows, s_ownWorkRepeats, unownedMs, s_plantedOwners, ownedMs, ownedMs / unownedMs);
}

void Run(std::FILE *out, CTemporaryLog &log)
{
    CPublishedCounters counters;
    PrintServerScale(out, counters.Counters(), log);
    CPlatformTcpTables tables;
    CTcpStatistics statistics(tables);
    statistics.SetCounters(&counters.Counters());
    CBareCalls bare;
    CLoopbackConnections ipv6(AF_INET6);
    ipv6.AddEstablishedPairs(s_ipv6Pairs);
    CLoopbackConnections ipv4(AF_INET);
    for (const Size &size : s_sizes)
    {
        std::fprintf(stderr, "%d rows: making connections\n", size.rows);
        const bool complete = GrowTo(ipv4, ipv6, size.rows);
        std::fprintf(stderr, "%d rows: timing\n", size.rows);
        const Figures figures = Time(statistics, bare, size.repeats);
        CReplayedTables replayed(bare);
        CTcpStatistics replayedStatistics(replayed);
        log.Off();
        const double ownMs = OwnWorkMs(replayedStatistics, counters.Counters());
        CPlantedOwnerTables planted(bare, s_plantedOwners);
        CNamedProcesses named;
        CTcpStatistics plantedStatistics(planted, named);
        const double ownedMs = OwnWorkMs(plantedStatistics, counters.Counters());
        log.On();
        const DWORD ipv4Rows = Rows(statistics, true);
        const DWORD ipv6Rows = Rows(statistics, false);
        std::fprintf(out,
                     "x64 poll, %lu rows (IPv4 %lu + IPv6 %lu, published IPv4 ESTABLISHED %llu), %d repeats: "
                     "poll median %.1f ms, bare calls median %.1f ms, ratio %.4f\n",
                     ipv4Rows + ipv6Rows, ipv4Rows, ipv6Rows, counters[IPv4Established], size.repeats,
                     figures.pollMs, figures.bareMs, figures.pollMs / figures.bareMs);
        std::fprintf(out, "  the poll's own work (same tables from memory, copy included, log off, %d repeats): median %.3f ms = "
                          "%.3f%% of the bare calls\n",
                     s_ownWorkRepeats, ownMs, ownMs * 100 / figures.bareMs);
        std::fprintf(out, "  the same with every row owned by one of %lu processes, named: median %.3f ms, ratio %.2f to "
                          "the owners as this platform reports them (%lu named instances)\n",
                     s_plantedOwners, ownedMs, ownedMs / ownMs,
                     plantedStatistics.GetProcessConnections().GetInstances().GetCount() - 3);
        if (&size == &s_sizes[0])
        {
            PrintAllocations(out, statistics, log, "the platform's tables");
            PrintAllocations(out, plantedStatistics, log, "the tables with planted owners");
            PrintLineCosts(out, log);
        }
        if (!complete)
        {
            break;
        }
    }
}

} // namespace

int wmain()
{
    std::FILE *out = stdout;
    try
    {
        out = FiguresOutput();
        CTemporaryLog log;
        Run(out, log);
        return 0;
    }
    catch (const CException &e)
    {
        std::fwprintf(stderr, L"%ls: %ls\n", e.GetWhere().c_str(), e.GetMessage().c_str());
        return 1;
    }
    catch (const std::exception &e)
    {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
