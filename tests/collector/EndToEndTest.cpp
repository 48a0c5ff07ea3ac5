// The product's counter DLLs installed for real under the service's own counter-set name,
// a writer process publishing, and readers of both architectures going through the
// platform's performance library. Only the 64-bit test program runs it: the installation
// is the machine's one, and the 32-bit readers are its children.
#if defined(_WIN64)

#include "counters/TcpCounterSchema.h"
#include "perfmon/PerformanceCounterInstaller.h"
#include "service/PerformanceCounters.h"
#include "win32/errors/Exception.h"

#include "tests/collector/CounterWriter.h"
#include "tests/collector/PublishedValues.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <vector>

using namespace CorvaneTools::Counters;
using namespace CorvaneTools::TessalyService;
using namespace CorvaneTools::PerfMon;
using TestSupport::CChildProcess;
using TestSupport::CWriter;
using TestSupport::Reader;

namespace {

const DWORD *const Published = PublishedValues;

struct Reading
{
    DWORD exitCode = 0;
    std::string output;
    std::map<std::string, std::string> object;
    std::vector<std::map<std::string, std::string>> counters;
    std::vector<std::pair<std::string, unsigned long long>> values;
};

std::map<std::string, std::string> Fields(std::istringstream &line)
{
    std::map<std::string, std::string> fields;
    std::string field;
    while (std::getline(line, field, '\t'))
    {
        const size_t equals = field.find('=');
        if (equals != std::string::npos)
        {
            fields[field.substr(0, equals)] = field.substr(equals + 1);
        }
        else
        {
            fields[""] = field;
        }
    }
    return fields;
}

Reading Read(const wchar_t *architecture, const std::wstring &query = L"Global")
{
    CChildProcess reader(L"", {L"/query:" + query, L"/details"}, Reader(architecture));
    Reading reading;
    reading.exitCode = reader.Wait();
    reading.output = reader.Output();
    std::istringstream lines(reading.output);
    std::string line;
    while (std::getline(lines, line))
    {
        if (!line.empty() && line.back() == '\r')
        {
            line.pop_back();
        }
        std::istringstream fields(line);
        if (line.compare(0, 7, "object\t") == 0)
        {
            reading.object = Fields(fields);
        }
        else if (line.compare(0, 8, "counter\t") == 0)
        {
            std::map<std::string, std::string> counter = Fields(fields);
            const size_t tab = line.find_last_of('\t');
            const size_t nameStart = line.find_last_of('\t', tab - 1) + 1;
            counter["name"] = line.substr(nameStart, tab - nameStart);
            reading.values.emplace_back(counter["name"], std::stoull(line.substr(tab + 1)));
            reading.counters.push_back(counter);
        }
    }
    return reading;
}

std::string Narrow(const wchar_t *text)
{
    return std::string(text, text + wcslen(text));
}

class EndToEndTest : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_counters = new TestSupport::CInstalledProductCounters;
        s_installed = s_counters->Installed();
        s_first = s_counters->First();
    }

    static void TearDownTestSuite()
    {
        EXPECT_EQ(0u, s_counters->Uninstall());
        delete s_counters;
        s_counters = nullptr;
    }

    static TestSupport::CInstalledProductCounters *s_counters;

    static DWORD s_installed;
    static DWORD s_first;
};

TestSupport::CInstalledProductCounters *EndToEndTest::s_counters = nullptr;
DWORD EndToEndTest::s_installed = 0;
DWORD EndToEndTest::s_first = 0;

} // namespace

TEST_F(EndToEndTest, BothArchitecturesReadTheWritersValuesThroughThePerformanceLibrary)
{
    ASSERT_EQ(0x11u, s_installed);
    CWriter writer;
    ASSERT_TRUE(writer.Started()) << writer.Stop() << writer.Output();
    for (const wchar_t *architecture : {L"x64", L"x86"})
    {
        SCOPED_TRACE(Narrow(architecture));
        const Reading reading = Read(architecture);
        ASSERT_EQ(0u, reading.exitCode) << reading.output;
        if (::GetEnvironmentVariableW(L"TESSALY_SHOW_READINGS", nullptr, 0) != 0)
        {
            std::printf("--- %s reader, through the performance library:\n%s", Narrow(architecture).c_str(),
                        reading.output.c_str());
        }
        EXPECT_EQ(std::to_string(s_first), reading.object.at("TitleIndex"));
        EXPECT_EQ(std::to_string(s_first + 1), reading.object.at("HelpIndex"));
        EXPECT_EQ("1416", reading.object.at("TotalByteLength"));
        EXPECT_EQ("1184", reading.object.at("DefinitionLength"));
        EXPECT_EQ("64", reading.object.at("HeaderLength"));
        EXPECT_EQ("100", reading.object.at("DetailLevel"));
        EXPECT_EQ("28", reading.object.at("NumCounters"));
        EXPECT_EQ("10", reading.object.at("DefaultCounter"));
        EXPECT_EQ("-1", reading.object.at("NumInstances"));
        EXPECT_EQ("1", reading.object.at("TailZero"));
        EXPECT_EQ("232", reading.object.at("CounterBlockLength")) << "a multiple of 8";
        ASSERT_EQ(static_cast<size_t>(NumTcpCounters), reading.counters.size()) << reading.output;
        for (int k = 0; k < NumTcpCounters; ++k)
        {
            const auto &counter = reading.counters[k];
            SCOPED_TRACE(k);
            EXPECT_EQ(Narrow(GetTcpCounterName(static_cast<TcpCounter>(k))), counter.at("name"));
            EXPECT_EQ(std::to_string(s_first + 2 + 2 * k), counter.at("TitleIndex"));
            EXPECT_EQ(std::to_string(s_first + 3 + 2 * k), counter.at("HelpIndex"));
            EXPECT_EQ("0x10000", counter.at("Type"));
            EXPECT_EQ("8", counter.at("Size"));
            EXPECT_EQ(std::to_string(8 + 8 * k), counter.at("Offset")) << "aligned to the counter's size";
            EXPECT_EQ("40", counter.at("ByteLength"));
            EXPECT_EQ(Published[k], reading.values[k].second);
        }
    }
    EXPECT_EQ(0u, writer.Stop()) << writer.Output();

    // The writer cleared its object on the way out.
    for (const wchar_t *architecture : {L"x64", L"x86"})
    {
        const Reading reading = Read(architecture);
        ASSERT_EQ(0u, reading.exitCode) << reading.output;
        ASSERT_EQ(static_cast<size_t>(NumTcpCounters), reading.values.size());
        for (const auto &value : reading.values)
        {
            EXPECT_EQ(0u, value.second) << value.first;
        }
    }
}

TEST_F(EndToEndTest, WhichQueriesReturnTheObject)
{
    const std::wstring first = std::to_wstring(s_first);
    const struct
    {
        std::wstring query;
        DWORD exitCode;
    } queries[] = {
        {L"Global", 0},
        {L"GLOBAL", 0},
        {L"global", 0},
        {first, 0},
        {L"1234 " + first, 0},
        {first + L" 1236", 0},
        {L"1234 1236", 1},
        {first + L"0", 1},
        {L"Costly", 1},
        {L"Foreign", 1},
    };
    for (const auto &query : queries)
    {
        const Reading reading = Read(L"x64", query.query);
        EXPECT_EQ(query.exitCode, reading.exitCode) << std::string(query.query.begin(), query.query.end()) << "\n"
                                                    << reading.output;
        if (query.exitCode == 0)
        {
            EXPECT_EQ(static_cast<size_t>(NumTcpCounters), reading.values.size());
        }
    }
    EXPECT_EQ(1u, Read(L"x86", first + L"0").exitCode);
    EXPECT_EQ(0u, Read(L"x86", L"1234 " + first).exitCode);
}

TEST_F(EndToEndTest, AWriterOfAnotherSchemaDoesNotStart)
{
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + std::wstring(TcpCounterSetName) + L"\\Performance";
    const std::wstring installed = CPerformanceCounterInstaller().GetSchemaChecksum(TcpCounterSetName);
    const std::wstring other = L"00000000000000000000000000000000";
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"SchemaChecksum", REG_SZ, other.c_str(),
                      static_cast<DWORD>((other.size() + 1) * sizeof(wchar_t)));
    CWriter writer;
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"SchemaChecksum", REG_SZ, installed.c_str(),
                      static_cast<DWORD>((installed.size() + 1) * sizeof(wchar_t)));
    EXPECT_FALSE(writer.Started());
    EXPECT_EQ(43u, writer.Stop());
    EXPECT_EQ("CPerformanceCounters::CreateCountersIfRequired() - Performance counter schema mismatch; these "
              "counters aren't the ones that are installed.\r\n",
              writer.Output());
}

TEST_F(EndToEndTest, WithoutAWriterReadersSeeZeros)
{
    const Reading reading = Read(L"x86");
    ASSERT_EQ(0u, reading.exitCode) << reading.output;
    ASSERT_EQ(static_cast<size_t>(NumTcpCounters), reading.values.size());
    for (const auto &value : reading.values)
    {
        EXPECT_EQ(0u, value.second) << value.first;
    }
}

#endif
