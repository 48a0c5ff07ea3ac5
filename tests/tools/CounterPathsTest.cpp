// The process connections object through the reader tool: the one-shot instance table,
// and sampling by counter path.
#include "tools/InstanceTable.h"

#include "tests/collector/PublishedValues.h"
#include "tests/support/WaitUntil.h"
#include "tests/tools/SamplerTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

using namespace CorvaneTools::Counters;
using namespace TestSupport;
using CorvaneTools::Tools::CCheckedObject;

namespace {

TEST(InstanceTableTest, OrdersByTheNamedCounterMostFirstThenByNameOrdinally)
{
    CCheckedObject checked;
    checked.hasInstances = true;
    checked.counters.resize(2);
    checked.counters[0].CounterNameTitleIndex = 10;
    checked.counters[1].CounterNameTitleIndex = 12;
    checked.instances = {{L"b", {1, 5}}, {L"a", {7, 1}}, {L"B", {2, 5}}, {L"_Total", {1, 9}}};
    EXPECT_EQ(L"Obj\nInstance\tFirst\t#12\n_Total\t1\t9\nB\t2\t5\nb\t1\t5\na\t7\t1\n",
              CorvaneTools::Tools::FormatInstanceTable(L"Obj", checked, {{10, L"First"}}, 12));
}

#if defined(_WIN64)

const std::string Processes = Narrow(ProcessConnectionsObjectName);

std::string ProcessCounter(DWORD k)
{
    return Narrow(GetProcessConnectionsCounterName(static_cast<ProcessConnectionsCounter>(k)));
}

DWORD ProcessCounterNamed(const std::string &name)
{
    DWORD k = 0;
    while (k < NumProcessConnectionsCounters && ProcessCounter(k) != name)
    {
        ++k;
    }
    return k;
}

// One column of a sample: its header cell and its value.
struct SColumn
{
    std::string header;
    std::string value;
};

std::string PathCell(const std::string &object, const std::string &instance, const std::string &counter)
{
    return "\\\\" + ThisComputer() + "\\" + object + (instance.empty() ? "" : "(" + instance + ")") + "\\" + counter;
}

SColumn InstanceColumn(DWORD instance, const std::string &counter)
{
    return {PathCell(Processes, Narrow(PublishedInstanceNames[instance]), counter),
            std::to_string(PublishedInstanceValue(instance, ProcessCounterNamed(counter)))};
}

SColumn ServiceColumn(TcpCounter k)
{
    return {PathCell(Narrow(TcpCounterObjectName), "", Narrow(GetTcpCounterName(k))),
            std::to_string(PublishedValues[k])};
}

std::vector<SColumn> EveryInstance(const std::string &counter)
{
    std::vector<SColumn> columns;
    for (DWORD i = 0; i < 6; ++i)
    {
        columns.push_back(InstanceColumn(i, counter));
    }
    return columns;
}

class CounterPathsTest : public CPublishingTest
{
};

TEST_F(CounterPathsTest, OneShotPrintsTheServiceObjectThenTheInstancesMostConnectionsFirst)
{
    std::string service;
    for (int k = 0; k < NumTcpCounters; ++k)
    {
        service += Narrow(GetTcpCounterName(static_cast<TcpCounter>(k))) + "\t" + std::to_string(PublishedValues[k]) +
                   "\r\n";
    }
    std::string table = "\r\n" + Processes + "\r\nInstance";
    for (DWORD k = 0; k < NumProcessConnectionsCounters; ++k)
    {
        table += "\t" + ProcessCounter(k);
    }
    table += "\r\n";
    // The writer gives each instance more connections than the one in the slot before.
    for (const DWORD i : {5u, 4u, 3u, 2u, 1u, 0u})
    {
        table += Narrow(PublishedInstanceNames[i]);
        for (DWORD k = 0; k < NumProcessConnectionsCounters; ++k)
        {
            table += "\t" + std::to_string(PublishedInstanceValue(i, k));
        }
        table += "\r\n";
    }
    // Asked for the service object alone, the data is as an installation without the
    // second object serves it.
    const struct
    {
        std::vector<std::wstring> args;
        std::string output;
    } cases[] = {{{}, service + table}, {{L"/query:" + std::to_wstring(s_counters->First())}, service}};
    for (const wchar_t *architecture : ReaderArchitectures())
    {
        for (const auto &test : cases)
        {
            SCOPED_TRACE(Narrow(architecture) + " " + std::to_string(test.args.size()));
            const SRun run = RunReader(test.args, architecture);
            EXPECT_EQ(0u, run.exitCode);
            EXPECT_EQ(test.output, run.output);
        }
    }
}

TEST_F(CounterPathsTest, PathsGiveTheirColumnsInOrderEachWildcardTheInstancesOfTheFirstSample)
{
    std::string computer = ThisComputer();
    std::transform(computer.begin(), computer.end(), computer.begin(), ::tolower);
    std::vector<SColumn> mixed = {InstanceColumn(1, "Connections"), ServiceColumn(IPv4TimeWait)};
    for (const SColumn &column : EveryInstance("TIME_WAIT"))
    {
        mixed.push_back(column);
    }
    mixed.push_back(InstanceColumn(5, "LISTEN"));
    // An instance named that the first sample lacks keeps its column, empty.
    mixed.push_back({PathCell(Processes, "gone:1", "CLOSED"), ""});
    const struct
    {
        std::vector<std::wstring> paths;
        std::vector<SColumn> columns;
    } cases[] = {
        {{L"\\Corvane Tessaly Process Connections(*)\\CLOSE_WAIT"}, EveryInstance("CLOSE_WAIT")},
        {{L"\\corvane tessaly process connections(SVCHOST:912)\\connections",
          L"\\\\" + std::wstring(computer.begin(), computer.end()) + L"\\Corvane Tessaly Service\\IPv4: TIME_WAIT",
          L"\\Corvane Tessaly Process Connections(*)\\TIME_WAIT",
          L"\\Corvane Tessaly Process Connections(_Total)\\LISTEN",
          L"\\Corvane Tessaly Process Connections(gone:1)\\CLOSED"},
         mixed},
    };
    for (const auto &test : cases)
    {
        SCOPED_TRACE(Narrow(test.paths.back()));
        std::vector<std::wstring> args = test.paths;
        args.insert(args.begin(), L"/sc:1");
        const SRun run = RunReader(args);
        ASSERT_EQ(0u, run.exitCode) << run.output;
        const std::optional<Rows> rows = ParseCsv(run.output);
        ASSERT_TRUE(rows) << run.output;
        ASSERT_EQ(2u, rows->size());
        std::vector<std::string> header(1, ZoneCell());
        std::vector<std::string> sample(1, rows->at(1).at(0));
        for (const SColumn &column : test.columns)
        {
            header.push_back(column.header);
            sample.push_back(column.value);
        }
        EXPECT_EQ(header, rows->at(0));
        EXPECT_EQ(sample, rows->at(1));
    }
}

TEST_F(CounterPathsTest, BadPathsEndWithCode3AndAnObjectOrInstanceMissingFromTheFirstSampleWith1)
{
    const std::wstring first = std::to_wstring(s_counters->First());
    const std::string second = std::to_string(s_counters->First() + 2 * (1 + NumTcpCounters));
    const std::string bad = "Bad counter path ";
    const std::string give =
        ": give [\\\\<computer>]\\<object>\\<counter> or \\<object>(<instance>)\\<counter>, * for every instance";
    const std::string path = " the counter path ";
    // The message is the text before the quoted path and the text after it, or before alone.
    const struct
    {
        std::wstring path;
        DWORD exitCode;
        std::string before;
        std::string after;
        std::vector<std::wstring> options = {};
        bool namesPath = true;
    } cases[] = {
        {L"Corvane Tessaly Service\\IPv4: LISTEN", 3, bad, give},
        {L"\\Corvane Tessaly Service", 3, bad, give},
        {L"\\Corvane Tessaly Service\\", 3, bad, give},
        {L"\\\\\\Corvane Tessaly Service\\MaxUserPort", 3, bad, give},
        {L"\\Corvane Tessaly Process Connections()\\LISTEN", 3, bad, give},
        {L"\\Corvane Tessaly Process Connections(_Total\\LISTEN", 3, bad, give},
        {L"\\Nope\\LISTEN", 3, "Unknown object in" + path, ""},
        {L"\\Corvane Tessaly Service\\LISTEN", 3, "Unknown counter in" + path, ""},
        {L"\\Corvane Tessaly Service(_Total)\\MaxUserPort", 3, "The object of" + path, " has no instances"},
        {L"\\Corvane Tessaly Process Connections\\LISTEN", 3, "The object of" + path,
         " has instances: give one, or * for every one, in parentheses"},
        {L"\\\\elsewhere\\Corvane Tessaly Service\\MaxUserPort", 3, "The counter path ",
         " names another computer than this one, \"" + ThisComputer() + "\""},
        {L"\\Corvane Tessaly Process Connections(*)\\LISTEN", 1,
         "No object with title index " + second + " in the data of \"" + Narrow(first) + "\"", "",
         {L"/query:" + first}, false},
        // Last: without a writer the object has no instances.
        {L"\\Corvane Tessaly Process Connections(*)\\LISTEN", 1,
         "No instance of \"Corvane Tessaly Process Connections\" in the first sample for" + path, ""},
    };
    for (const auto &test : cases)
    {
        SCOPED_TRACE(Narrow(test.path));
        if (&test == &cases[sizeof(cases) / sizeof(cases[0]) - 1])
        {
            EXPECT_EQ(0u, m_writer.Stop()) << m_writer.Output();
        }
        std::vector<std::wstring> args = {L"/sc:1", test.path};
        args.insert(args.end(), test.options.begin(), test.options.end());
        const SRun run = RunReader(args);
        EXPECT_EQ(test.exitCode, run.exitCode);
        const std::string quoted = test.namesPath ? "\"" + Narrow(test.path) + "\"" : "";
        EXPECT_EQ(test.before + quoted + test.after + "\r\n", run.output.substr(0, run.output.find("Usage:")));
    }
}

TEST_F(CounterPathsTest, AnInstanceGoneInALaterSampleIsAnEmptyCell)
{
    CChildProcess sampler(L"",
                          {L"/si:1", L"/sc:6", L"/o:" + m_file, L"\\Corvane Tessaly Process Connections(*)\\Connections",
                           L"\\Corvane Tessaly Service\\IPv4: LISTEN"},
                          Reader(L"x64"));
    ASSERT_TRUE(WaitUntil([&] { return RowsIn(m_file) >= 3; }, 30000));
    // The writer clears its instances on the way out: none is left to read.
    EXPECT_EQ(0u, m_writer.Stop()) << m_writer.Output();
    const size_t seen = RowsIn(m_file);
    ASSERT_EQ(0u, sampler.Wait()) << sampler.Output();
    const std::optional<Rows> rows = ParseCsv(ReadBytes(m_file));
    ASSERT_TRUE(rows) << ReadBytes(m_file);
    ASSERT_EQ(7u, rows->size());
    ASSERT_LT(seen + 1, rows->size()) << "the writer took too long to stop for the test to see a row after it";
    std::vector<std::string> header(1, ZoneCell());
    for (const SColumn &column : EveryInstance("Connections"))
    {
        header.push_back(column.header);
    }
    header.push_back(ServiceColumn(IPv4Listen).header);
    EXPECT_EQ(header, rows->at(0));
    const auto before = [](const std::string &time) {
        std::vector<std::string> row(1, time);
        for (const SColumn &column : EveryInstance("Connections"))
        {
            row.push_back(column.value);
        }
        row.push_back(ServiceColumn(IPv4Listen).value);
        return row;
    };
    const auto after = [](const std::string &time) {
        std::vector<std::string> row(7, "");
        row[0] = time;
        row.push_back("0");
        return row;
    };
    ExpectPhases(*rows, 2, seen + 1, before, after);
}

#endif

} // namespace
