#include "service/PollingThread.h"

#include "tests/service/ApplicationTestSupport.h"

#include <gtest/gtest.h>

using namespace CorvaneTools::Counters;
using namespace CorvaneTools::TessalyService;
using namespace ApplicationTest;

namespace {

// Long enough for any sample this platform takes; short enough to end a hung test.
const DWORD PromptMs = 5000;

class CFakeShutdownService : public CorvaneTools::Service::IShutdownService
{
public:
    CFakeShutdownService() : m_calls(0), m_exitCode(0)
    {
    }

    void ShutdownService(DWORD exitCode) override
    {
        m_exitCode = exitCode;
        ++m_calls;
    }

    std::atomic<int> m_calls;
    std::atomic<DWORD> m_exitCode;
};

// Answers the loop's first waits from a script, the later ones with the real wait.
class CScriptedWaits : public CPollingThread
{
public:
    explicit CScriptedWaits(CTcpStatistics &statistics) : CPollingThread(statistics), m_next(0)
    {
    }

    // The thread must not reach an override that is gone.
    ~CScriptedWaits()
    {
        Stop();
        GetThread().Wait(PromptMs);
    }

    std::vector<DWORD> m_results;

protected:
    DWORD WaitForEvents(DWORD count, const HANDLE *events, DWORD timeoutMs) override
    {
        if (m_next == m_results.size())
        {
            return CPollingThread::WaitForEvents(count, events, timeoutMs);
        }
        ::SetLastError(ERROR_INVALID_HANDLE);
        return m_results[m_next++];
    }

private:
    size_t m_next;
};

// A polling thread over fake tables; the thread is stopped and waited for however the
// test ends.
template <class TThread> struct CBasicPoller
{
    explicit CBasicPoller(DWORD pollIntervalMs, bool hasTcp6Table = true)
        : tables(hasTcp6Table), statistics(tables), thread(statistics)
    {
        tables.m_ipv4.states = {5};
        tables.m_ipv6.states = {2};
        statistics.SetCounters(&published.Counters());
        thread.SetPollInterval(pollIntervalMs);
    }

    void Start()
    {
        thread.Start(shutdown);
    }

    bool NextSample(DWORD timeoutMs = PromptMs)
    {
        return tables.m_sampled.Wait(timeoutMs);
    }

    // The thread resets the pause event as it enters the paused wait.
    bool PauseAndWaitUntilPaused()
    {
        thread.Pause();
        return TestSupport::WaitUntil([this] { return !thread.GetPauseEvent().IsSignalled(); }, PromptMs);
    }

    DWORD StopAndExitCode()
    {
        thread.Stop();
        if (!thread.GetThread().Wait(PromptMs))
        {
            return STILL_ACTIVE;
        }
        DWORD code = 0;
        ::GetExitCodeThread(thread.GetThread().GetWaitHandle(), &code);
        return code;
    }

    CPublishedCounters published;
    CFakeTcpTables tables;
    CTcpStatistics statistics;
    CFakeShutdownService shutdown;
    TThread thread;
};

typedef CBasicPoller<CPollingThread> CPoller;

} // namespace

TEST(PollingThreadTest, TheFirstSampleComesAtOnceWithIPv6WhenAvailable)
{
    for (const bool hasTcp6Table : {true, false})
    {
        CPoller p(INFINITE, hasTcp6Table);
        p.Start();
        ASSERT_TRUE(p.NextSample()) << "an infinite interval leaves only the first sample";
        EXPECT_EQ(1, p.tables.m_ipv4Samples.load());
        EXPECT_EQ(1u, p.StopAndExitCode());
        EXPECT_EQ(hasTcp6Table ? 1 : 0, p.tables.m_ipv6Samples.load());
        EXPECT_EQ(1u, p.published[IPv4Established]);
        EXPECT_EQ(hasTcp6Table ? 1u : 0u, p.published[IPv6Listen]);
        EXPECT_EQ(0, p.shutdown.m_calls.load());
    }
}

TEST(PollingThreadTest, NoSampleWhilePausedAndOneAtOnceAfterContinue)
{
    CPoller p(INFINITE);
    p.Start();
    ASSERT_TRUE(p.NextSample());
    ASSERT_TRUE(p.PauseAndWaitUntilPaused());
    EXPECT_FALSE(p.NextSample(300)) << "sampled while paused";
    p.thread.Continue();
    EXPECT_TRUE(p.NextSample()) << "an infinite interval leaves only the continue to sample";
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return !p.thread.GetContinueEvent().IsSignalled(); }, PromptMs));
    EXPECT_EQ(1u, p.StopAndExitCode());
    EXPECT_EQ(2, p.tables.m_ipv4Samples.load());
    EXPECT_EQ(2, p.tables.m_ipv6Samples.load());
}

TEST(PollingThreadTest, StopWhilePausedEndsTheThreadAtOnce)
{
    CPoller p(INFINITE);
    p.Start();
    ASSERT_TRUE(p.NextSample());
    ASSERT_TRUE(p.PauseAndWaitUntilPaused());
    EXPECT_EQ(1u, p.StopAndExitCode());
    EXPECT_EQ(1, p.tables.m_ipv4Samples.load());
    EXPECT_EQ(0, p.shutdown.m_calls.load());
}

TEST(PollingThreadTest, AStopBeforeTheThreadRunsTakesNoSample)
{
    CPoller p(INFINITE);
    p.thread.Stop();
    p.Start();
    EXPECT_TRUE(p.thread.GetThread().Wait(PromptMs));
    DWORD code = 0;
    ::GetExitCodeThread(p.thread.GetThread().GetWaitHandle(), &code);
    EXPECT_EQ(1u, code);
    EXPECT_EQ(0, p.tables.m_ipv4Samples.load());
}

TEST(PollingThreadTest, AnIntervalOfZeroSamplesBackToBack)
{
    CPoller p(0);
    p.Start();
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return p.tables.m_ipv4Samples >= 20; }, 10000));
    EXPECT_EQ(1u, p.StopAndExitCode());
}

TEST(PollingThreadTest, SamplesFollowTheInterval)
{
    const DWORD intervalMs = 200;
    CPoller p(intervalMs);
    p.Start();
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return p.tables.m_ipv4Samples >= 4; }, 10000));
    ASSERT_EQ(1u, p.StopAndExitCode());
    ASSERT_GE(p.tables.m_ticks.size(), 4u);
    for (size_t i = 1; i < 4; ++i)
    {
        const ULONGLONG gap = p.tables.m_ticks[i] - p.tables.m_ticks[i - 1];
        // The tick counter may step in 16 ms units.
        EXPECT_GE(gap, intervalMs - 20) << i;
        EXPECT_LT(gap, intervalMs + 2000) << i;
    }
}

TEST(PollingThreadTest, ASamplingErrorStopsTheServiceWithFiveAndTheThreadLogsNothing)
{
    const struct
    {
        bool ipv6Fails;
        DWORD state;
        DWORD error;
    } cases[] = {
        {false, 13, NO_ERROR},
        {true, 0, NO_ERROR},
        {false, 5, ERROR_NOT_SUPPORTED},
    };
    for (const auto &c : cases)
    {
        CPoller p(INFINITE);
        CFakeTcpTables::Table &table = c.ipv6Fails ? p.tables.m_ipv6 : p.tables.m_ipv4;
        table.states = {5, c.state};
        table.error = c.error;
        CCapturedLog log;
        p.Start();
        ASSERT_TRUE(p.thread.GetThread().Wait(PromptMs)) << "the thread ended by itself";
        DWORD code = STILL_ACTIVE;
        ::GetExitCodeThread(p.thread.GetThread().GetWaitHandle(), &code);
        EXPECT_EQ(0u, code);
        EXPECT_EQ(1, p.shutdown.m_calls.load());
        EXPECT_EQ(5u, p.shutdown.m_exitCode.load());
        // Only the samples' own lines: nothing about the failure.
        for (const std::string &line : log.Messages())
        {
            EXPECT_TRUE(line.find(" - Processing - started - ") != std::string::npos ||
                        line == "ESTABLISHED: 1")
                << line;
        }
    }
}

TEST(PollingThreadTest, AnUnexpectedWaitResultStopsTheServiceWithFive)
{
    const std::vector<DWORD> scripts[] = {
        {WAIT_FAILED},
        {WAIT_ABANDONED_0},
        {WAIT_OBJECT_0 + 1, WAIT_FAILED},
        {WAIT_OBJECT_0 + 1, WAIT_TIMEOUT},
    };
    for (const std::vector<DWORD> &script : scripts)
    {
        CBasicPoller<CScriptedWaits> p(INFINITE);
        p.thread.m_results = script;
        p.Start();
        ASSERT_TRUE(p.thread.GetThread().Wait(PromptMs)) << script.size();
        DWORD code = STILL_ACTIVE;
        ::GetExitCodeThread(p.thread.GetThread().GetWaitHandle(), &code);
        EXPECT_EQ(0u, code);
        EXPECT_EQ(1, p.shutdown.m_calls.load());
        EXPECT_EQ(5u, p.shutdown.m_exitCode.load());
        EXPECT_EQ(1, p.tables.m_ipv4Samples.load()) << "no sample after the failed wait";
    }
}
