// The reader tool's sampling mode, run as a child process: the CSV it writes is read back
// with a parser of the tests' own.
#include "tests/collector/PublishedValues.h"
#include "tests/support/ConsoleProcess.h"
#include "tests/support/WaitUntil.h"
#include "tests/tools/SamplerTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <regex>

using namespace CorvaneTools::Counters;
using namespace TestSupport;

namespace {

TEST(CsvParserTest, TakesQuotedCellsAndRefusesEverythingElse)
{
    EXPECT_EQ(Rows({{"a", "b\"c", ""}, {"x,y"}}), ParseCsv("\"a\",\"b\"\"c\",\"\"\r\n\"x,y\"\r\n"));
    for (const char *bad : {"a\r\n", "\"a\"\n", "\"a\"", "\"a\",\r\n", "\"a\"b\r\n", "\"a"})
    {
        EXPECT_EQ(std::nullopt, ParseCsv(bad)) << bad;
    }
}

TEST(CounterSamplerArgumentsTest, BadArgumentsEndWithCode3AndSayWhatIsWrong)
{
    const std::string interval = "\": give [[hh:]mm:]ss, whole seconds from 1 to 4294967\r\n";
    const std::string count = "\": give a whole number from 1 to 4294967295\r\n";
    const struct
    {
        std::vector<std::wstring> args;
        std::string message;
    } cases[] = {
        {{L"/bogus"}, "Unknown argument: /bogus\r\n"},
        {{L"/si:0"}, "Bad interval \"0" + interval},
        {{L"/si:0:00"}, "Bad interval \"0:00" + interval},
        {{L"/si:1.5"}, "Bad interval \"1.5" + interval},
        {{L"/si:-1"}, "Bad interval \"-1" + interval},
        {{L"/si:"}, "Bad interval \"" + interval},
        {{L"/si:1:60"}, "Bad interval \"1:60" + interval},
        {{L"/si:1::0"}, "Bad interval \"1::0" + interval},
        {{L"/si:1:2:3:4"}, "Bad interval \"1:2:3:4" + interval},
        {{L"/si:4294968"}, "Bad interval \"4294968" + interval},
        {{L"/si:1193:02:48"}, "Bad interval \"1193:02:48" + interval},
        {{L"/sc:0"}, "Bad sample count \"0" + count},
        {{L"/sc:x"}, "Bad sample count \"x" + count},
        {{L"/sc: 1"}, "Bad sample count \" 1" + count},
        {{L"/sc:4294967296"}, "Bad sample count \"4294967296" + count},
        {{L"/sc:1", L"/o:"}, "/o needs a file name: /o:<file>\r\n"},
        {{L"/sc:1", L"/o"}, "/o needs a file name: /o:<file>\r\n"},
        {{L"/o:x.csv"}, "/o and /y are for sampling: give /si or /sc too\r\n"},
        {{L"/y"}, "/o and /y are for sampling: give /si or /sc too\r\n"},
        {{L"/sc:1", L"/details"}, "/details is for a single reading, not for sampling\r\n"},
    };
    for (const auto &test : cases)
    {
        const SRun run = RunReader(test.args);
        SCOPED_TRACE(Narrow(test.args.back()));
        EXPECT_EQ(3u, run.exitCode);
        EXPECT_EQ(test.message, run.output.substr(0, run.output.find("Usage:")));
        EXPECT_NE(std::string::npos, run.output.find("Usage: TessalyCounterReader"));
    }
}

TEST(CounterSamplerArgumentsTest, CountersNotInstalledEndWithCode2AndNoFile)
{
    const TestSupport::CScratchDirectory scratch(L"sampler");
    const SRun run = RunReader({L"/si:00:01", L"/sc:1", L"/app:Corvane Tessaly Not Installed", L"/o:" + scratch / L"s.csv"});
    EXPECT_EQ(2u, run.exitCode);
    EXPECT_EQ("The counters of \"Corvane Tessaly Not Installed\" are not installed\r\n", run.output);
    EXPECT_FALSE(TestSupport::Exists(scratch / L"s.csv"));
}

#if defined(_WIN64)

// Sampled times in milliseconds, or nothing where a cell is not "MM/dd/yyyy HH:mm:ss.fff".
std::optional<ULONGLONG> SampleTime(const std::string &cell)
{
    static const std::regex format("(\\d{2})/(\\d{2})/(\\d{4}) (\\d{2}):(\\d{2}):(\\d{2})\\.(\\d{3})");
    std::smatch m;
    if (!std::regex_match(cell, m, format))
    {
        return std::nullopt;
    }
    SYSTEMTIME time = {};
    time.wMonth = static_cast<WORD>(std::stoi(m[1]));
    time.wDay = static_cast<WORD>(std::stoi(m[2]));
    time.wYear = static_cast<WORD>(std::stoi(m[3]));
    time.wHour = static_cast<WORD>(std::stoi(m[4]));
    time.wMinute = static_cast<WORD>(std::stoi(m[5]));
    time.wSecond = static_cast<WORD>(std::stoi(m[6]));
    time.wMilliseconds = static_cast<WORD>(std::stoi(m[7]));
    FILETIME file;
    if (!::SystemTimeToFileTime(&time, &file))
    {
        return std::nullopt;
    }
    return ((static_cast<ULONGLONG>(file.dwHighDateTime) << 32) | file.dwLowDateTime) / 10000;
}

std::vector<std::string> ExpectedHeader()
{
    std::vector<std::string> header(1, TestSupport::ZoneCell());
    for (int k = 0; k < NumTcpCounters; ++k)
    {
        header.push_back("\\\\" + TestSupport::ThisComputer() + "\\Corvane Tessaly Service\\" +
                         Narrow(GetTcpCounterName(static_cast<TcpCounter>(k))));
    }
    return header;
}

std::vector<std::string> Cells(const std::string &first, const std::function<std::string(int)> &value)
{
    std::vector<std::string> row(1, first);
    for (int k = 0; k < NumTcpCounters; ++k)
    {
        row.push_back(value(k));
    }
    return row;
}

std::vector<std::string> PublishedRow(const std::string &time)
{
    return Cells(time, [](int k) { return std::to_string(PublishedValues[k]); });
}

std::vector<std::string> ZeroRow(const std::string &time)
{
    return Cells(time, [](int) { return std::string("0"); });
}

std::vector<std::string> EmptyRow(const std::string &time)
{
    return Cells(time, [](int) { return std::string(); });
}

class CounterSamplerTest : public TestSupport::CPublishingTest
{
};

TEST_F(CounterSamplerTest, BothArchitecturesWriteTheHeaderAndThreeSamplesASecondApart)
{
    for (const wchar_t *architecture : TestSupport::ReaderArchitectures())
    {
        SCOPED_TRACE(Narrow(architecture));
        const std::wstring file = m_scratch / (std::wstring(architecture) + L".csv");
        CChildProcess sampler(L"", {L"/si:1", L"/sc:3", L"/o:" + file}, Reader(architecture));
        ASSERT_EQ(0u, sampler.Wait()) << sampler.Output();
        EXPECT_EQ("", sampler.Output());
        const std::optional<Rows> rows = ParseCsv(TestSupport::ReadBytes(file));
        ASSERT_TRUE(rows) << TestSupport::ReadBytes(file);
        ASSERT_EQ(4u, rows->size());
        EXPECT_EQ(ExpectedHeader(), rows->at(0));
        std::optional<ULONGLONG> first = SampleTime(rows->at(1).at(0));
        ASSERT_TRUE(first) << rows->at(1).at(0);
        for (size_t n = 1; n < rows->size(); ++n)
        {
            const std::string &time = rows->at(n).at(0);
            EXPECT_EQ(PublishedRow(time), rows->at(n));
            // Each sample is due a whole interval after the one before; clock granularity aside.
            const std::optional<ULONGLONG> at = SampleTime(time);
            ASSERT_TRUE(at) << time;
            EXPECT_GE(*at + 50, *first + 1000 * (n - 1)) << time;
            EXPECT_LT(*at, *first + 1000 * (n - 1) + 10000) << time;
        }
    }
}

TEST_F(CounterSamplerTest, AnExistingFileIsKeptUnlessOverwritingIsAsked)
{
    TestSupport::WriteBytes(m_file, "kept\r\n");
    CChildProcess refused(L"", {L"/sc:1", L"/o:" + m_file}, Reader(L"x64"));
    EXPECT_EQ(4u, refused.Wait());
    EXPECT_EQ("The output file \"" + Narrow(m_file) + "\" exists; give /y to overwrite it\r\n", refused.Output());
    EXPECT_EQ("kept\r\n", TestSupport::ReadBytes(m_file));

    CChildProcess overwriting(L"", {L"/sc:1", L"/y", L"/o:" + m_file}, Reader(L"x64"));
    ASSERT_EQ(0u, overwriting.Wait()) << overwriting.Output();
    const std::optional<Rows> rows = ParseCsv(TestSupport::ReadBytes(m_file));
    ASSERT_TRUE(rows) << TestSupport::ReadBytes(m_file);
    ASSERT_EQ(2u, rows->size());
    EXPECT_EQ(ExpectedHeader(), rows->at(0));
    EXPECT_EQ(PublishedRow(rows->at(1).at(0)), rows->at(1));
}

TEST_F(CounterSamplerTest, AfterTheWriterEndsTheRowsReadTheClearedObjectToTheCount)
{
    CChildProcess sampler(L"", {L"/si:1", L"/sc:6", L"/o:" + m_file}, Reader(L"x64"));
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return RowsIn(m_file) >= 3; }, 30000));
    EXPECT_EQ(0u, m_writer.Stop()) << m_writer.Output();
    const size_t seen = RowsIn(m_file);
    ASSERT_EQ(0u, sampler.Wait()) << sampler.Output();
    const std::optional<Rows> rows = ParseCsv(TestSupport::ReadBytes(m_file));
    ASSERT_TRUE(rows) << TestSupport::ReadBytes(m_file);
    ASSERT_EQ(7u, rows->size());
    ASSERT_LT(seen + 1, rows->size()) << "the writer took too long to stop for the test to see a row after it";
    ExpectPhases(*rows, 2, seen + 1, PublishedRow, ZeroRow);
}

TEST_F(CounterSamplerTest, RowsWithoutTheObjectAreEmptyAndSamplingGoesOn)
{
    // The performance library reads the registration on every query: without its library
    // value the counter set is gone from the data until the value is back.
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + std::wstring(TcpCounterSetName) +
                             L"\\Performance";
    const std::wstring library = L"TessalyCounters.dll";
    const auto setLibrary = [&](const std::wstring &name) {
        return ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Library", REG_SZ, name.c_str(),
                                 static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
    };
    CChildProcess sampler(L"", {L"/si:1", L"/sc:9", L"/o:" + m_file}, Reader(L"x64"));
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return RowsIn(m_file) >= 3; }, 30000));
    ASSERT_EQ(ERROR_SUCCESS, setLibrary(L"TessalyCountersGone.dll"));
    const size_t gone = RowsIn(m_file);
    const bool sawEmpty = TestSupport::WaitUntil([&] { return RowsIn(m_file) >= gone + 3; }, 30000);
    EXPECT_EQ(ERROR_SUCCESS, setLibrary(library));
    const size_t back = RowsIn(m_file);
    ASSERT_TRUE(sawEmpty);
    ASSERT_EQ(0u, sampler.Wait()) << sampler.Output();
    const std::optional<Rows> rows = ParseCsv(TestSupport::ReadBytes(m_file));
    ASSERT_TRUE(rows) << TestSupport::ReadBytes(m_file);
    ASSERT_EQ(10u, rows->size());
    ASSERT_LT(back + 1, rows->size()) << "too few rows after the counter set came back";
    const Rows whileGone(rows->begin(), rows->begin() + static_cast<std::ptrdiff_t>(back));
    ExpectPhases(whileGone, 2, gone + 1, PublishedRow, EmptyRow);
    const Rows after(rows->begin() + static_cast<std::ptrdiff_t>(gone), rows->end());
    ExpectPhases(after, 1, back + 1 - gone, EmptyRow, PublishedRow);
}

// A counter set that no provider serves: asked by its title index, the answer lacks the
// Tessaly object that Global brings along. Each mode names the value it asked with.
TEST_F(CounterSamplerTest, BothModesAskForTheObjectByItsTitleIndexUnlessAQueryIsGiven)
{
    const DWORD unserved = 0x7FFFFF00;
    const std::wstring app = TestSupport::UniqueName(L"Unserved");
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + app;
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, (key + L"\\Performance").c_str(), L"First Counter",
                                               REG_DWORD, &unserved, sizeof(unserved)));
    const std::string index = std::to_string(unserved);
    // The one-shot reading asks for the process connections object too.
    const std::string both = index + " " + std::to_string(unserved + 2 * (1 + NumTcpCounters));
    const struct
    {
        std::vector<std::wstring> args;
        std::string query;
    } cases[] = {{{}, both}, {{L"/query:Global"}, "Global"}, {{L"/sc:1"}, index},
                 {{L"/sc:1", L"/query:Global"}, "Global"}};
    std::map<std::string, unsigned long> objects;
    for (const auto &test : cases)
    {
        std::vector<std::wstring> args = test.args;
        args.push_back(L"/app:" + app);
        const SRun run = RunReader(args);
        SCOPED_TRACE(Narrow(args.front()));
        EXPECT_EQ(1u, run.exitCode);
        const std::string message = "No object with title index " + index + " in the data of \"" + test.query + "\"";
        EXPECT_EQ(message, run.output.substr(0, message.size())) << run.output;
        std::smatch count;
        if (std::regex_search(run.output, count, std::regex(" \\((\\d+) objects\\)\r\n$")))
        {
            objects[test.query] = std::stoul(count[1]);
        }
    }
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    ASSERT_EQ(2u, objects.size());
    CorvaneTools::PerfMon::CPerformanceDataSchema schema(L"009");
    BuildTcpCounterSchema(schema);
    EXPECT_EQ(objects[both] + schema.GetNumObjects(), objects["Global"]);
}

// Attaches to a console and sends it Ctrl+C, without taking the event itself.
TESSALY_CHILD_MAIN(SendCtrlC)
{
    ::FreeConsole();
    if (!::AttachConsole(static_cast<DWORD>(std::stoul(args.at(0)))))
    {
        return 50;
    }
    ::SetConsoleCtrlHandler(nullptr, TRUE);
    return ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) ? 0 : 51;
}

TEST_F(CounterSamplerTest, CtrlCEndsSamplingWithEveryRowWritten)
{
    TestSupport::CConsoleProcess sampler(Reader(L"x64"), L"/si:1 \"/o:" + m_file + L"\"");
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return RowsIn(m_file) >= 3; }, 30000));
    EXPECT_EQ(STILL_ACTIVE, sampler.Wait(0));
    EXPECT_EQ(0u, TestSupport::RunChild(L"SendCtrlC", {std::to_wstring(sampler.Id())}));
    ASSERT_EQ(0u, sampler.Wait(30000));
    const std::optional<Rows> rows = ParseCsv(TestSupport::ReadBytes(m_file));
    ASSERT_TRUE(rows) << TestSupport::ReadBytes(m_file);
    ASSERT_GE(rows->size(), 3u);
    EXPECT_EQ(ExpectedHeader(), rows->at(0));
    for (size_t n = 1; n < rows->size(); ++n)
    {
        EXPECT_EQ(PublishedRow(rows->at(n).at(0)), rows->at(n)) << n;
    }
}

#endif

} // namespace
