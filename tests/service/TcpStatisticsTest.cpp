#include "service/TcpStatistics.h"
#include "win32/errors/Win32Exception.h"

#include "tests/service/ApplicationTestSupport.h"
#include "tests/support/CatchException.h"

#include <gtest/gtest.h>

#include <regex>

using namespace CorvaneTools::Counters;
using namespace CorvaneTools::TessalyService;
using namespace ApplicationTest;
using CorvaneTools::Win32::CException;
using CorvaneTools::Win32::CWin32Exception;

namespace {

// Twelve states, each as often as its value, so every count is its own.
std::vector<DWORD> EveryState()
{
    std::vector<DWORD> states;
    for (DWORD state = 12; state >= 1; --state)
    {
        states.insert(states.end(), state, state);
    }
    return states;
}

const TcpCounter s_ipv4States[12] = {IPv4Closed,    IPv4Listen,    IPv4SynSent,  IPv4SynRcvd,
                                     IPv4Established, IPv4FinWait1, IPv4FinWait2, IPv4CloseWait,
                                     IPv4Closing,   IPv4LastAck,   IPv4TimeWait, IPv4DeleteTCB};
const TcpCounter s_ipv6States[12] = {IPv6Closed,    IPv6Listen,    IPv6SynSent,  IPv6SynRcvd,
                                     IPv6Established, IPv6FinWait1, IPv6FinWait2, IPv6CloseWait,
                                     IPv6Closing,   IPv6LastAck,   IPv6TimeWait, IPv6DeleteTCB};

const std::vector<std::string> s_everyStateLines = {
    "CLOSED: 1",       "LISTEN: 2",     "SYN-SENT: 3",   "SYN-RECEIVED: 4", "ESTABLISHED: 5", "FIN-WAIT-1: 6",
    "FIN-WAIT-2: 7",   "CLOSE-WAIT: 8", "CLOSING: 9",    "LAST-ACK: 10",    "TIME-WAIT: 11",  "DELETE-TCB: 12",
};

struct CSampler
{
    CSampler() : statistics(tables)
    {
        statistics.SetCounters(&published.Counters());
    }

    CPublishedCounters published;
    CFakeTcpTables tables;
    CTcpStatistics statistics;
};

} // namespace

TEST(TcpStatisticsTest, EachStateReachesItsCounterAndIsLoggedInStateOrder)
{
    for (const bool isIPv4 : {true, false})
    {
        CSampler s;
        (isIPv4 ? s.tables.m_ipv4 : s.tables.m_ipv6).states = EveryState();
        CCapturedLog log;
        isIPv4 ? s.statistics.ProcessStats() : s.statistics.ProcessStatsIPv6();
        const TcpCounter *mine = isIPv4 ? s_ipv4States : s_ipv6States;
        const TcpCounter *other = isIPv4 ? s_ipv6States : s_ipv4States;
        for (int i = 0; i < 12; ++i)
        {
            EXPECT_EQ(static_cast<ULONGLONG>(i + 1), s.published[mine[i]]) << i;
            EXPECT_EQ(0u, s.published[other[i]]) << "the other version untouched: " << i;
        }
        EXPECT_EQ(11u, s.published[isIPv4 ? IPv4MaxTimeWait : IPv6MaxTimeWait]);
        EXPECT_EQ(0u, s.published[isIPv4 ? IPv6MaxTimeWait : IPv4MaxTimeWait]);
        std::vector<std::string> lines = log.Messages();
        ASSERT_EQ(13u, lines.size());
        EXPECT_TRUE(IsStartedLine(lines[0], isIPv4 ? "IPv4" : "IPv6")) << lines[0];
        lines.erase(lines.begin());
        EXPECT_EQ(s_everyStateLines, lines);
    }
}

TEST(TcpStatisticsTest, TimeWaitMaximumPerVersionOverASequence)
{
    CSampler s;
    const struct
    {
        DWORD timeWait;
        bool isIPv4;
        ULONGLONG ipv4, ipv4Max, ipv6, ipv6Max;
    } steps[] = {
        {5, true, 5, 5, 0, 0}, {3, true, 3, 5, 0, 0},  {8, true, 8, 8, 0, 0},
        {2, false, 8, 8, 2, 2}, {0, true, 0, 8, 2, 2}, {1, false, 0, 8, 1, 2},
    };
    for (const auto &step : steps)
    {
        CFakeTcpTables::Table &table = step.isIPv4 ? s.tables.m_ipv4 : s.tables.m_ipv6;
        table.states.assign(step.timeWait, 11);
        step.isIPv4 ? s.statistics.ProcessStats() : s.statistics.ProcessStatsIPv6();
        EXPECT_EQ(step.ipv4, s.published[IPv4TimeWait]) << step.timeWait;
        EXPECT_EQ(step.ipv4Max, s.published[IPv4MaxTimeWait]) << step.timeWait;
        EXPECT_EQ(step.ipv6, s.published[IPv6TimeWait]) << step.timeWait;
        EXPECT_EQ(step.ipv6Max, s.published[IPv6MaxTimeWait]) << step.timeWait;
    }
}

TEST(TcpStatisticsTest, AnEmptyTableZeroesEveryStateAndLogsNoStateLine)
{
    CSampler s;
    s.tables.m_ipv6.states = EveryState();
    s.statistics.ProcessStatsIPv6();
    s.tables.m_ipv6.states.clear();
    CCapturedLog log;
    s.statistics.ProcessStatsIPv6();
    for (const TcpCounter counter : s_ipv6States)
    {
        EXPECT_EQ(0u, s.published[counter]) << counter;
    }
    EXPECT_EQ(11u, s.published[IPv6MaxTimeWait]) << "the maximum stays";
    const std::vector<std::string> lines = log.Messages();
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(IsStartedLine(lines[0], "IPv6")) << lines[0];
}

TEST(TcpStatisticsTest, AnUnknownStateDiscardsTheWholeSample)
{
    const struct
    {
        bool isIPv4;
        DWORD state;
        const wchar_t *where;
        const wchar_t *message;
    } cases[] = {
        {true, 0, L"CService::ProcessStats()", L"Unknown TCP state: 0"},
        {true, 13, L"CService::ProcessStats()", L"Unknown TCP state: 13"},
        {false, 0, L"CService::ProcessStatsIPv6()", L"Unknown TCP state: 0"},
        {false, 13, L"CService::ProcessStatsIPv6()", L"Unknown TCP state: 13"},
        {true, 0xFFFFFFFF, L"CService::ProcessStats()", L"Unknown TCP state: 4294967295"},
    };
    for (const auto &c : cases)
    {
        CSampler s;
        CFakeTcpTables::Table &table = c.isIPv4 ? s.tables.m_ipv4 : s.tables.m_ipv6;
        table.states = {5, 5, 11};
        c.isIPv4 ? s.statistics.ProcessStats() : s.statistics.ProcessStatsIPv6();
        table.states = {5, 5, 5, 11, 11, c.state, 5};
        const CException e = TestSupport::CatchException<CException>(
            [&] { c.isIPv4 ? s.statistics.ProcessStats() : s.statistics.ProcessStatsIPv6(); });
        EXPECT_EQ(c.where, e.GetWhere());
        EXPECT_EQ(c.message, e.GetMessage());
        EXPECT_EQ(2u, s.published[c.isIPv4 ? IPv4Established : IPv6Established]) << "the earlier sample stays";
        EXPECT_EQ(1u, s.published[c.isIPv4 ? IPv4TimeWait : IPv6TimeWait]);
    }
}

TEST(TcpStatisticsTest, TheBufferGrowsToExactlyTheAskedSizeAndIsReused)
{
    CSampler s;
    s.tables.m_ipv4.states.assign(10, 5);
    s.tables.m_ipv6.states.assign(3, 2);
    s.statistics.ProcessStats();
    s.statistics.ProcessStatsIPv6();
    EXPECT_EQ(std::vector<DWORD>({0, 4 + 10 * 24}), s.tables.m_ipv4.sizesPassed) << "one failing call, one growth";
    EXPECT_EQ(std::vector<DWORD>({0, 4 + 3 * 56}), s.tables.m_ipv6.sizesPassed);
    EXPECT_EQ(4u + 10 * 24, s.statistics.GetBuffer(true).GetCapacity());
    EXPECT_EQ(4u + 3 * 56, s.statistics.GetBuffer(false).GetCapacity());

    // A smaller table later: one call, the same memory.
    const BYTE *memory = s.statistics.GetBuffer(true).GetData();
    s.tables.m_ipv4.states.assign(2, 8);
    s.tables.m_ipv4.sizesPassed.clear();
    s.statistics.ProcessStats();
    EXPECT_EQ(std::vector<DWORD>({4 + 10 * 24}), s.tables.m_ipv4.sizesPassed);
    EXPECT_EQ(memory, s.statistics.GetBuffer(true).GetData());
    EXPECT_EQ(2u, s.published[IPv4CloseWait]);
    EXPECT_EQ(0u, s.published[IPv4Established]);
}

TEST(TcpStatisticsTest, ATableThatGrowsBetweenTheCallsCostsAnotherRound)
{
    CSampler s;
    s.tables.m_ipv4.states.assign(4, 5);
    s.tables.m_ipv4.growBy = 3;
    s.statistics.ProcessStats();
    EXPECT_EQ(std::vector<DWORD>({0, 4 + 4 * 24, 4 + 7 * 24}), s.tables.m_ipv4.sizesPassed);
    EXPECT_EQ(4u, s.published[IPv4Established]);
    EXPECT_EQ(3u, s.published[IPv4Listen]);
}

TEST(TcpStatisticsTest, AnotherTableErrorFailsTheSample)
{
    const struct
    {
        bool isIPv4;
        const wchar_t *where;
        const wchar_t *failure;
    } cases[] = {
        {true, L"CService::ProcessStats()", L"GetExtendedTcpTable failed"},
        {false, L"CService::ProcessStatsIPv6()", L"GetExtendedTcpTable (IPv6) failed"},
    };
    for (const auto &c : cases)
    {
        CSampler s;
        (c.isIPv4 ? s.tables.m_ipv4 : s.tables.m_ipv6).error = ERROR_NOT_SUPPORTED;
        const CWin32Exception e = TestSupport::CatchException<CWin32Exception>(
            [&] { c.isIPv4 ? s.statistics.ProcessStats() : s.statistics.ProcessStatsIPv6(); });
        EXPECT_EQ(c.where, e.GetWhere());
        EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), e.GetError());
        EXPECT_EQ(CWin32Exception(L"", c.failure, ERROR_NOT_SUPPORTED).GetMessage(), e.GetMessage());
        EXPECT_EQ(0u, (c.isIPv4 ? s.statistics.GetBuffer(true) : s.statistics.GetBuffer(false)).GetCapacity());
    }
}

TEST(TcpStatisticsTest, WithoutCountersASampleIsOnlyLogged)
{
    CFakeTcpTables tables;
    CTcpStatistics statistics(tables);
    tables.m_ipv4.states = {5, 5};
    CCapturedLog log;
    statistics.ProcessStats();
    const std::vector<std::string> lines = log.Messages();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("ESTABLISHED: 2", lines[1]);
}

// The real platform calls answer and count without failing.
TEST(TcpStatisticsTest, ThePlatformTablesCanBeSampled)
{
    CPlatformTcpTables tables;
    EXPECT_TRUE(tables.IsLibraryLoaded());
    EXPECT_TRUE(tables.HasTcp6Table());
    CTcpStatistics statistics(tables);
    statistics.ProcessStats();
    statistics.ProcessStatsIPv6();
    EXPECT_GE(statistics.GetBuffer(true).GetCapacity(), 4u);
    EXPECT_GE(statistics.GetBuffer(false).GetCapacity(), 4u);
}
