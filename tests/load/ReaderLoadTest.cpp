// Readers of both architectures querying the installed service's counters through the
// performance library while it polls back to back, is killed and restarted, and is stopped
// and started again and again. Prints the figures; fails on a failed query, a query
// without the object, a torn value or a reader that does not end.
#include "tests/load/LoadRunSupport.h"
#include "tests/support/LongRuns.h"

#include <gtest/gtest.h>

#include <set>

using namespace LoadRuns;
using TestSupport::ShortOrLong;

namespace {

const int ReadersPerArchitecture = 5;

std::string Joined(const std::set<std::string> &kinds)
{
    std::string text;
    for (const std::string &kind : kinds)
    {
        text += (text.empty() ? "" : ", ") + kind;
    }
    return text;
}

// Every reader ended, no query failed or had a torn value, and while the service ran every
// answer held the object.
void ExpectNoFault(const SReaderResult &sum, const std::set<std::string> &whileRunning)
{
    EXPECT_NE(static_cast<DWORD>(STILL_ACTIVE), sum.exitCode);
    EXPECT_EQ(0u, sum.failed);
    EXPECT_EQ(0u, sum.highHalf);
    EXPECT_EQ(0u, whileRunning.count("absent") + whileRunning.count("failed")) << Joined(whileRunning);
}

// The kinds of answer the readers gave between two times, each reader's kind at the start
// included.
std::set<std::string> KindsBetween(const std::vector<SReaderResult> &results, ULONGLONG from, ULONGLONG to)
{
    std::set<std::string> kinds;
    for (const SReaderResult &result : results)
    {
        std::string current;
        for (const auto &change : result.changes)
        {
            if (change.first > to)
            {
                break;
            }
            if (change.first >= from && !current.empty())
            {
                kinds.insert(current);
            }
            current = change.second;
        }
        kinds.insert(current);
    }
    return kinds;
}

// The readers start while the service is stopped, so that the rate with them is the rate
// of a service polling among readers, not among starting processes.
TEST(ReaderLoadTest, TenReadersAtPollZeroUnderChurn)
{
    const CInstalledService service(L"0");
    ASSERT_TRUE(service.Installed());
    const CChurn churn;
    const DWORD window = ShortOrLong(5000, 20000);
    ASSERT_TRUE(service.Start());
    const double alone = service.PollRate(window);
    ASSERT_TRUE(service.Stop());
    const unsigned long queries = ShortOrLong(100, 1000);
    CReaderFleet fleet(service.Object(), ReadersPerArchitecture, queries);
    ASSERT_TRUE(service.Start());
    const ULONGLONG running = NowMs();
    const double withReaders = service.PollRate(window);
    const std::vector<SReaderResult> results = fleet.Finish();
    const SReaderResult sum = Sum(results, "Readers at /poll 0");
    std::printf("Polls per second: %.1f without readers, %.1f with them\n", alone, withReaders);
    std::printf("Answers before the service ran: %s; once it ran: %s\n", Joined(KindsBetween(results, 0, running)).c_str(),
                Joined(KindsBetween(results, running + 1000, NowMs())).c_str());
    ExpectNoFault(sum, KindsBetween(results, running + 1000, NowMs()));
    EXPECT_EQ(queries * 2 * ReadersPerArchitecture, sum.queries);
}

// Under Wine a sample can take many seconds with readers and churn, and tens of seconds
// with a table of a few thousand rows: at /poll 0 the next sample starts as soon as one is
// published, so the second start marks the first sample out.
const DWORD FirstSampleMs = 60000;

bool FirstSamplePublished(const CInstalledService &service, size_t pollsBefore)
{
    return TestSupport::WaitUntil([&] { return service.Polls() > pollsBefore + 1; }, FirstSampleMs);
}

// The service started again, or where the manager did not notice its end the program as a
// plain process; returns once its first sample was published, from which fresh values are
// due.
std::unique_ptr<TestSupport::CChildProcess> Restart(const CInstalledService &service, bool asService)
{
    const size_t pollsBefore = service.Polls();
    std::unique_ptr<TestSupport::CChildProcess> standIn;
    if (asService)
    {
        EXPECT_TRUE(service.Start());
    }
    else
    {
        standIn.reset(new TestSupport::CChildProcess(
            L"", {L"/noMessages", L"/run", L"/poll", L"0", L"/logPath", service.LogFolder()}, Program()));
    }
    if (!FirstSamplePublished(service, pollsBefore))
    {
        ADD_FAILURE() << "no sample published " << FirstSampleMs / 1000 << " s after the restart; the program "
                      << (standIn && standIn->Wait(0) != STILL_ACTIVE ? "ended" : "runs");
        service.PrintLogTail();
    }
    return standIn;
}

// Wine's service control manager never notices a service process that was killed: it
// goes on reporting RUNNING with exit code 0 and refuses a start. There the program is
// started again as a plain process, which publishes through the same block, so the
// readers still meet a restart; the service control manager's part is checked only where
// it noticed the kill. Run it last: after it Wine's manager holds the service as running.
TEST(ReaderLoadTest, KilledAndRestartedWhileReadersRun)
{
    const CInstalledService service(L"0");
    ASSERT_TRUE(service.Installed());
    // Connections that stay, so that all zeros means no data: between two churn batches the
    // table can be empty.
    TestSupport::CLoopbackConnections steady(AF_INET);
    steady.AddListeners(1);
    steady.AddEstablishedPairs(1);
    const CChurn churn;
    CReaderFleet fleet(service.Object(), ReadersPerArchitecture, 0);
    ASSERT_TRUE(service.Start());
    const ULONGLONG started = NowMs();
    EXPECT_TRUE(FirstSamplePublished(service, 0)) << "no sample published before the kill";
    const ULONGLONG firstSample = NowMs() - started;
    ::Sleep(1000);
    const HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, service.Status().dwProcessId);
    ASSERT_NE(nullptr, process);
    const ULONGLONG killed = NowMs();
    EXPECT_TRUE(::TerminateProcess(process, 1));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(process, 10000));
    ::CloseHandle(process);
    const bool noticed =
        TestSupport::WaitUntil([&] { return service.Status().dwCurrentState == SERVICE_STOPPED; }, 5000);
    const SERVICE_STATUS_PROCESS afterKill = service.Status();
    ::Sleep(3000);
    const ULONGLONG restarting = NowMs();
    const std::unique_ptr<TestSupport::CChildProcess> standIn = Restart(service, noticed);
    const ULONGLONG restarted = NowMs();
    ::Sleep(4000);
    const std::vector<SReaderResult> results = fleet.Finish();
    const SReaderResult sum = Sum(results, "Readers through a kill and a restart");
    std::printf("After the kill the service control manager reports state %lu, exit code %lu, "
                "service exit code %lu; restarted %s\n",
                afterKill.dwCurrentState, afterKill.dwWin32ExitCode, afterKill.dwServiceSpecificExitCode,
                noticed ? "as the service" : "as a plain process (the manager did not notice the kill)");
    // A short grace after each event: a query begun before it may end after.
    const std::set<std::string> down = KindsBetween(results, killed + 500, restarting);
    const std::set<std::string> after = KindsBetween(results, restarted + 1500, NowMs());
    std::printf("First sample published %llu ms after the start, %llu ms after the restart\n", firstSample,
                restarted - restarting);
    std::printf("Before the kill the readers got: %s; while the service was down: %s; after the restart: %s\n",
                Joined(KindsBetween(results, 0, killed)).c_str(), Joined(down).c_str(), Joined(after).c_str());
    ExpectNoFault(sum, after);
    EXPECT_EQ(1u, after.count("published")) << Joined(after);
    if (after.count("published") == 0)
    {
        // Whether the program saw the connections that stay open.
        service.PrintLogTail(40);
    }
    if (noticed)
    {
        EXPECT_NE(0u, afterKill.dwWin32ExitCode);
    }
}

struct SCycles
{
    int done = 0;
    ULONGLONG slowestStart = 0, slowestStop = 0, slowestExit = 0;
    std::string failure;
};

// Starts and stops the service the given number of times, or until a step fails.
SCycles RunCycles(const CInstalledService &service, int cycles)
{
    SCycles run;
    for (; run.done < cycles; ++run.done)
    {
        const ULONGLONG before = NowMs();
        if (!service.Start())
        {
            const DWORD error = ::GetLastError();
            const SERVICE_STATUS_PROCESS status = service.Status();
            run.failure = "start refused or RUNNING not reached (error " + std::to_string(error) + ", state " +
                          std::to_string(status.dwCurrentState) + ", process " + std::to_string(status.dwProcessId) +
                          ")";
            service.PrintLogTail(30);
            break;
        }
        const ULONGLONG started = NowMs();
        const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, service.Status().dwProcessId);
        ::Sleep(200);
        const ULONGLONG stopping = NowMs();
        if (!service.Stop())
        {
            run.failure = "stop not reached (state " + std::to_string(service.Status().dwCurrentState) + ")";
        }
        const ULONGLONG stopped = NowMs();
        // The process goes on after STOPPED with its clean-up; a start before it ended is
        // refused here.
        if (process && ::WaitForSingleObject(process, 30000) != WAIT_OBJECT_0 && run.failure.empty())
        {
            run.failure = "the stopped process did not end within 30 s";
        }
        if (process)
        {
            ::CloseHandle(process);
        }
        run.slowestStart = std::max(run.slowestStart, started - before);
        run.slowestStop = std::max(run.slowestStop, stopped - stopping);
        if (!run.failure.empty())
        {
            break;
        }
        run.slowestExit = std::max(run.slowestExit, NowMs() - stopped);
    }
    return run;
}

TEST(ReaderLoadTest, StoppedAndStartedAgainAndAgainWhileReadersRun)
{
    const CInstalledService service(L"0");
    ASSERT_TRUE(service.Installed());
    const CChurn churn;
    CReaderFleet fleet(service.Object(), ReadersPerArchitecture, 0);
    const int cycles = ShortOrLong(5, 50);
    const SCycles run = RunCycles(service, cycles);
    ASSERT_TRUE(service.Start());
    const ULONGLONG restarted = NowMs();
    ::Sleep(3000);
    const std::vector<SReaderResult> results = fleet.Finish();
    const SReaderResult sum = Sum(results, "Readers through stop and start cycles");
    std::printf("%d of %d cycles%s%s; slowest start %llu ms, slowest stop %llu ms, slowest end of the process "
                "after STOPPED %llu ms\n",
                run.done, cycles, run.failure.empty() ? "" : ", then ", run.failure.c_str(), run.slowestStart,
                run.slowestStop, run.slowestExit);
    std::printf("Answers during the cycles: %s\n", Joined(KindsBetween(results, 0, restarted)).c_str());
    ExpectNoFault(sum, KindsBetween(results, restarted + 1500, NowMs()));
    EXPECT_EQ(cycles, run.done) << run.failure;
}

} // namespace
