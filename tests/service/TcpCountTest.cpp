// Samples of the kernel's real tables against connections the tests make themselves.
// Exact only where the table holds nothing else: a private network namespace, whose
// presence the test script announces. TIME_WAIT rows outlive a test by the kernel's
// 60 s, so the one test that makes them runs on its own, last (see the build).
#include "ApplicationTestSupport.h"

#include "service/TcpStatistics.h"

#include "tests/support/LoopbackConnections.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace CorvaneTools::Counters;
using namespace CorvaneTools::TessalyService;
using namespace ApplicationTest;
using TestSupport::CLoopbackConnections;

namespace {

const int Families[2] = {AF_INET, AF_INET6};

// The counter of a state (index = state - 1): the maximum sits between TIME_WAIT and
// DELETE TCB.
int StateCounter(int family, size_t index)
{
    const int first = family == AF_INET ? IPv4Closed : IPv6Closed;
    return first + static_cast<int>(index) + (index > IPv4TimeWait - IPv4Closed ? 1 : 0);
}

class TcpCountTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const char *marker = std::getenv("TESSALY_PRIVATE_NETWORK");
        if (marker == nullptr || std::string(marker) != "1")
        {
            GTEST_SKIP() << "Exact counts need a private network namespace; `make test` runs in one as root.";
        }
        for (int family : Families)
        {
            if (!CLoopbackConnections::TableIsEmpty(family))
            {
                GTEST_SKIP() << "The " << (family == AF_INET ? "IPv4" : "IPv6")
                             << " table holds rows this test did not make (an earlier run's TIME_WAIT "
                                "rows last 60 s).";
            }
        }
        m_statistics.SetCounters(&m_published.Counters());
    }

    // Every counter of one version against the connections made; maxima as given.
    void ExpectVersion(int family, const CLoopbackConnections::StateCounts &states, ULONGLONG maxTimeWait)
    {
        for (size_t i = 0; i < states.size(); ++i)
        {
            EXPECT_EQ(states[i], m_published[StateCounter(family, i)]) << GetTcpCounterName(
                static_cast<TcpCounter>(StateCounter(family, i)));
        }
        EXPECT_EQ(maxTimeWait, m_published[family == AF_INET ? IPv4MaxTimeWait : IPv6MaxTimeWait]);
    }

    void Sample()
    {
        m_statistics.ProcessStats();
        m_statistics.ProcessStatsIPv6();
    }

    CPublishedCounters m_published;
    CPlatformTcpTables m_tables;
    CTcpStatistics m_statistics{m_tables};
    const CLoopbackConnections::StateCounts m_none = {};
};

} // namespace

TEST_F(TcpCountTest, OneSampleCountsEveryStateOfBothVersionsApart)
{
    CLoopbackConnections ipv4(AF_INET), ipv6(AF_INET6);
    ipv4.AddListeners(2);
    ipv4.AddEstablishedPairs(3);
    ipv4.AddHalfClosedPairs(2);
    ipv6.AddEstablishedPairs(1);
    ipv6.AddHalfClosedPairs(3);
    ASSERT_TRUE(CLoopbackConnections::WaitForTable(ipv4, ipv6));

    Sample();

    ExpectVersion(AF_INET, ipv4.Expected(), 0);
    ExpectVersion(AF_INET6, ipv6.Expected(), 0);
    EXPECT_EQ(0u, m_published[MaxUserPort]);
    EXPECT_EQ(0u, m_published[TcpTimedWaitDelay]);
}

TEST_F(TcpCountTest, AnEmptyIPv6TableGivesZerosAndLeavesIPv4Alone)
{
    CLoopbackConnections ipv4(AF_INET);
    ipv4.AddEstablishedPairs(2);
    const CLoopbackConnections::StateCounts expected = ipv4.Expected();
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return CLoopbackConnections::ReadTable(AF_INET) == expected; }));
    CCapturedLog log;

    m_statistics.ProcessStatsIPv6();

    ExpectVersion(AF_INET, m_none, 0);
    ExpectVersion(AF_INET6, m_none, 0);
    const std::vector<std::string> lines = log.Messages();
    ASSERT_EQ(1u, lines.size()) << "no state line";
    EXPECT_TRUE(IsStartedLine(lines[0], "IPv6")) << lines[0];

    m_statistics.ProcessStats();
    m_statistics.ProcessStatsIPv6();

    ExpectVersion(AF_INET, expected, 0);
    ExpectVersion(AF_INET6, m_none, 0);
}

// Run alone, after every other test of the program: its TIME_WAIT rows stay in the
// table for a minute.
TEST_F(TcpCountTest, TimeWaitAndItsMaximumFollowASequenceOfSamples)
{
    CLoopbackConnections ipv4(AF_INET), ipv6(AF_INET6);
    const int steps[3][2] = {{3, 1}, {2, 0}, {3, 2}};
    ULONGLONG made[2] = {0, 0};
    for (const auto &step : steps)
    {
        ipv4.AddTimeWaits(step[0]);
        ipv6.AddTimeWaits(step[1]);
        made[0] += step[0];
        made[1] += step[1];
        ASSERT_TRUE(CLoopbackConnections::WaitForTable(ipv4, ipv6));

        Sample();

        ExpectVersion(AF_INET, ipv4.Expected(), made[0]);
        ExpectVersion(AF_INET6, ipv6.Expected(), made[1]);
    }
}
