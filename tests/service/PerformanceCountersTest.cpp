#include "perfmon/PerformanceDataBlockNames.h"
#include "service/PerformanceCounters.h"
#include "win32/errors/Exception.h"
#include "win32/handles/KernelObjectName.h"

#include "counters/TcpCounterSchema.h"
#include "tests/support/CatchException.h"
#include "tests/support/FakeCounterInstallation.h"
#include "tests/support/TestNames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using namespace CorvaneTools::Counters;
using namespace CorvaneTools::TessalyService;
using namespace CorvaneTools::PerfMon;
using CorvaneTools::Win32::CException;
using CorvaneTools::Win32::CGlobalName;

namespace {

using TestSupport::CFakeCounterInstallation;

std::wstring TableChecksum()
{
    CPerformanceDataSchema schema(L"009");
    BuildTcpCounterSchema(schema);
    return schema.GetChecksum();
}

// The values as a reader of the block finds them: 8-byte slots in table order.
class CBlockReader
{
public:
    CBlockReader(const CFakeCounterInstallation &installation) : m_schema(L"009")
    {
        BuildTcpCounterSchema(m_schema);
        m_block.reset(new CPerformanceDataBlock(CPerformanceDataBlockNames::CounterSetBlock(installation.Name()),
                                                m_schema, installation.First(), nullptr));
    }

    ULONGLONG operator[](int counter) const
    {
        ULONGLONG value;
        std::memcpy(&value, m_block->GetCounterData() + 8 * counter, sizeof(value));
        return value;
    }

    void Fill(BYTE byte)
    {
        std::memset(m_block->GetCounterData(), byte, 8 * NumTcpCounters);
    }

    void Put(size_t recordOffset, DWORD value)
    {
        std::memcpy(m_block->GetObjectDefinitions() + recordOffset, &value, sizeof(value));
    }

    DWORD TitleIndex() const
    {
        DWORD index;
        std::memcpy(&index, m_block->GetObjectDefinitions() + 12, sizeof(index));
        return index;
    }

private:
    CPerformanceDataSchema m_schema;
    std::unique_ptr<CPerformanceDataBlock> m_block;
};

} // namespace

TEST(PerformanceCountersTest, TheSchemaIsTheSharedDefinition)
{
    CPerformanceCounters counters(false, nullptr);
    EXPECT_FALSE(counters.IsPublishing());
    CPerformanceDataSchema table(L"009");
    BuildTcpCounterSchema(table);
    EXPECT_EQ(table.GetChecksumText(), counters.GetSchema().GetChecksumText());
    EXPECT_EQ(table.GetChecksum(), counters.GetSchema().GetChecksum());
    EXPECT_EQ(2u, counters.GetSchema().GetNumObjects());
    // The process object takes part in the checksum, so that an installation of the
    // service object alone is told apart from this one.
    CPerformanceDataSchema serviceOnly(L"009");
    AddTcpServiceObject(serviceOnly);
    EXPECT_NE(serviceOnly.GetChecksum(), table.GetChecksum());
    EXPECT_NE(std::wstring::npos, table.GetChecksumText().find(
                                      L"_Total.|100:67:0:1:13[Connections|CLOSED|LISTEN|SYN_SENT|SYN_RCVD|ESTABLISHED|"
                                      L"FIN_WAIT1|FIN_WAIT2|CLOSE_WAIT|CLOSING|LAST_ACK|TIME_WAIT|DELETE TCB|-"));
    EXPECT_STREQ(L"Corvane Tessaly", TcpCounterSetName);
    EXPECT_STREQ(L"IPv4: Max TIME_WAIT", GetTcpCounterName(IPv4MaxTimeWait));
    EXPECT_STREQ(L"IPv6: DELETE TCB", GetTcpCounterName(IPv6DeleteTCB));
    EXPECT_STREQ(L"TcpTimedWaitDelay", GetTcpCounterName(TcpTimedWaitDelay));
}

TEST(PerformanceCountersTest, NoCountersWithoutAdministratorOrInstallation)
{
    CFakeCounterInstallation installation(700, TableChecksum());
    EXPECT_EQ(nullptr, CPerformanceCounters::CreateCountersIfRequired(false, installation.Name(),
                                                                      CPerformanceCounters(false, nullptr).GetSchema(),
                                                                      nullptr));
    CPerformanceCounters notAdministrator(false, nullptr, installation.Name());
    EXPECT_FALSE(notAdministrator.IsPublishing());
    notAdministrator.SetTimeWait(5, true);
    notAdministrator.SetMaxUserPort(5000);

    CPerformanceCounters notInstalled(true, nullptr, TestSupport::UniqueName(L"NotInstalled"));
    EXPECT_FALSE(notInstalled.IsPublishing());
    notInstalled.SetEstablished(1, false);
}

TEST(PerformanceCountersTest, AnotherInstalledSchemaIsRefused)
{
    // Any difference at all, down to a checksum's letter case.
    std::wstring lower = TableChecksum();
    for (wchar_t &c : lower)
    {
        c = static_cast<wchar_t>(towlower(c));
    }
    for (const std::wstring &installed : {std::wstring(L"0123456789ABCDEF0123456789ABCDEF"), lower})
    {
        CFakeCounterInstallation installation(700, installed);
        const CException e =
            TestSupport::CatchException<CException>([&] { CPerformanceCounters counters(true, nullptr, installation.Name()); });
        EXPECT_EQ(L"CPerformanceCounters::CreateCountersIfRequired()", e.GetWhere());
        EXPECT_EQ(L"Performance counter schema mismatch; these counters aren't the ones that are installed.",
                  e.GetMessage());
    }
}

// Another process made the block first and set the sizes or offsets the old writer walked by.
TEST(PerformanceCountersTest, ACorruptBlockIsRefusedAtConstruction)
{
    const struct
    {
        size_t recordOffset;
        DWORD value;
        const wchar_t *message;
    } cases[] = {
        {56, 0xFFFFFF00, L"Performance data block is corrupt: object 0 counter data size is 4294967040, expected 224"},
        {44, 0x7FFFFFF0, L"Performance data block is corrupt: object 0 counter data offset is 2147483632, expected 0"},
    };
    for (const auto &corrupt : cases)
    {
        CFakeCounterInstallation installation(700, TableChecksum());
        CBlockReader block(installation);
        block.Fill(0x11);
        block.Put(corrupt.recordOffset, corrupt.value);
        const CException e =
            TestSupport::CatchException<CException>([&] { CPerformanceCounters counters(true, nullptr, installation.Name()); });
        EXPECT_EQ(L"CPerformanceMonitorCounters::CPerformanceMonitorCounters()", e.GetWhere());
        EXPECT_EQ(corrupt.message, e.GetMessage());
        EXPECT_EQ(0x1111111111111111ull, block[0]) << "nothing was cleared";
    }
}

TEST(PerformanceCountersTest, EverySetterReachesItsOwnSlot)
{
    CFakeCounterInstallation installation(2468, TableChecksum());
    CBlockReader reader(installation);
    reader.Fill(0xAB);
    {
        CPerformanceCounters counters(true, nullptr, installation.Name());
        ASSERT_TRUE(counters.IsPublishing());
        EXPECT_EQ(2468u, reader.TitleIndex());
        // Opening cleared what an earlier run left.
        for (int k = 0; k < NumTcpCounters; ++k)
        {
            EXPECT_EQ(0u, reader[k]) << k;
        }
        typedef void (CPerformanceCounters::*StateSetter)(DWORD, bool);
        const struct
        {
            StateSetter setter;
            TcpCounter ipv4;
            TcpCounter ipv6;
        } states[] = {
            {&CPerformanceCounters::SetClosed, IPv4Closed, IPv6Closed},
            {&CPerformanceCounters::SetListen, IPv4Listen, IPv6Listen},
            {&CPerformanceCounters::SetSynSent, IPv4SynSent, IPv6SynSent},
            {&CPerformanceCounters::SetSynRcvd, IPv4SynRcvd, IPv6SynRcvd},
            {&CPerformanceCounters::SetEstablished, IPv4Established, IPv6Established},
            {&CPerformanceCounters::SetFinWait1, IPv4FinWait1, IPv6FinWait1},
            {&CPerformanceCounters::SetFinWait2, IPv4FinWait2, IPv6FinWait2},
            {&CPerformanceCounters::SetCloseWait, IPv4CloseWait, IPv6CloseWait},
            {&CPerformanceCounters::SetClosing, IPv4Closing, IPv6Closing},
            {&CPerformanceCounters::SetLastAck, IPv4LastAck, IPv6LastAck},
            {&CPerformanceCounters::SetDeleteTCB, IPv4DeleteTCB, IPv6DeleteTCB},
        };
        DWORD value = 100;
        for (const auto &state : states)
        {
            (counters.*state.setter)(value, true);
            (counters.*state.setter)(value + 1000, false);
            EXPECT_EQ(value, reader[state.ipv4]);
            EXPECT_EQ(value + 1000, reader[state.ipv6]);
            value += 1;
        }
        counters.SetMaxUserPort(0xFFFFFFFF);
        counters.SetTcpTimedWaitDelay(240);
        EXPECT_EQ(0xFFFFFFFFu, reader[MaxUserPort]);
        EXPECT_EQ(240u, reader[TcpTimedWaitDelay]);
        // The TIME_WAIT counters were not touched by any of that.
        EXPECT_EQ(0u, reader[IPv4TimeWait]);
        EXPECT_EQ(0u, reader[IPv6MaxTimeWait]);
    }
    for (int k = 0; k < NumTcpCounters; ++k)
    {
        EXPECT_EQ(0u, reader[k]) << "left behind in " << k;
    }
}

TEST(PerformanceCountersTest, TheHighestTimeWaitOfARunPerVersion)
{
    CFakeCounterInstallation installation(100, TableChecksum());
    CBlockReader reader(installation);
    CPerformanceCounters counters(true, nullptr, installation.Name());
    const struct
    {
        int value;
        bool isIPv4;
        DWORD ipv4, ipv4Max, ipv6, ipv6Max;
    } steps[] = {
        {0, true, 0, 0, 0, 0},  {5, true, 5, 5, 0, 0},  {3, true, 3, 5, 0, 0},    {5, true, 5, 5, 0, 0},
        {2, false, 5, 5, 2, 2}, {7, true, 7, 7, 2, 2},  {1, false, 7, 7, 1, 2},   {-1, true, 0xFFFFFFFF, 7, 1, 2},
        {9, false, 0xFFFFFFFF, 7, 9, 9},
    };
    for (const auto &step : steps)
    {
        counters.SetTimeWait(step.value, step.isIPv4);
        EXPECT_EQ(step.ipv4, reader[IPv4TimeWait]) << step.value;
        EXPECT_EQ(step.ipv4Max, reader[IPv4MaxTimeWait]) << step.value;
        EXPECT_EQ(step.ipv6, reader[IPv6TimeWait]) << step.value;
        EXPECT_EQ(step.ipv6Max, reader[IPv6MaxTimeWait]) << step.value;
    }
    // A new run starts its maximum afresh.
    CPerformanceCounters next(true, nullptr, installation.Name());
    next.SetTimeWait(4, true);
    EXPECT_EQ(4u, reader[IPv4MaxTimeWait]);
}
