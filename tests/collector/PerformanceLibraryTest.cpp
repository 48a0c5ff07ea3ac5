// Readers of both architectures querying the platform's performance library with the test
// build of the counter DLL and a second, well-behaved provider registered. Only the 64-bit
// test program runs it: the registrations are the machine's, and the 32-bit readers are
// children of it.
#if defined(_WIN64)

#include "perfmon/PerformanceCounterInstaller.h"
#include "perfmon/PerformanceDataSchemaFileExporter.h"
#include "service/PerformanceCounters.h"

#include "tests/collector/PublishedValues.h"
#include "tests/collector/ServedBytes.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ProviderRegistrationLock.h"
#include "tests/support/TestNames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

using namespace CorvaneTools::Counters;
using namespace CorvaneTools::TessalyService;
using namespace CorvaneTools::PerfMon;

namespace {

const DWORD TrivialTitleIndex = 0x7FFFFFF0;

std::wstring BinFolder(const wchar_t *architecture)
{
    return TestSupport::ThisFolder() + L"\\..\\..\\" + architecture + L"\\bin";
}

// "queries ..." and the lines of one reading.
std::string Query(const wchar_t *architecture, const std::wstring &valueName, int threads, int queries,
                  DWORD titleIndex, const std::wstring &values)
{
    TestSupport::CChildProcess reader(
        L"LibraryQuery",
        {valueName, std::to_wstring(threads), std::to_wstring(queries), std::to_wstring(titleIndex), values},
        BinFolder(architecture) + L"\\collector_tests.exe");
    const DWORD exitCode = reader.Wait(600000);
    std::string output = reader.Output();
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
    return exitCode == 0 ? output : "exit " + std::to_string(exitCode) + "\n" + output;
}

// One query whose answer should hold the given text, asked up to three times: the library
// walks the Services key by index on every query, and a service key that another test
// program deletes meanwhile shifts the walk past the next provider's.
std::string QueryWith(const wchar_t *architecture, const std::wstring &valueName, DWORD titleIndex,
                      const std::string &text)
{
    std::string output;
    for (int attempt = 0; attempt < 3 && output.find(text) == std::string::npos; ++attempt)
    {
        output = Query(architecture, valueName, 1, 1, titleIndex, L"-");
    }
    return output;
}

// The first line that starts with these words.
std::string Line(const std::string &output, const std::string &start)
{
    const size_t at = output.compare(0, start.size() + 1, start + " ") == 0 ? 0 : output.find("\n" + start + " ");
    if (at == std::string::npos)
    {
        return std::string();
    }
    const size_t begin = at == 0 ? 0 : at + 1;
    return output.substr(begin, output.find('\n', begin) - begin);
}

unsigned long Field(const std::string &line, const std::string &name)
{
    const size_t at = line.find(" " + name + "=");
    return at == std::string::npos ? 0 : std::stoul(line.substr(at + name.size() + 2));
}

class PerformanceLibraryTest : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_lock = new TestSupport::CProviderRegistrationLock;
        CPerformanceDataSchema schema(L"009");
        BuildTcpCounterSchema(schema);
        CPerformanceDataSchemaFileExporter exporter;
        CPerformanceCounterInstaller installer;
        const struct
        {
            const std::wstring &name;
            const wchar_t *file;
            const wchar_t *subfolder;
            std::wstring checksum;
        } providers[] = {{s_served, L"TessalyCountersTest.dll", L"\\test-dlls\\", schema.GetChecksum()},
                         {s_trivial, L"TessalyTrivialProvider.dll", L"\\", L""}};
        for (const auto &provider : providers)
        {
            s_installed.push_back(installer.Install(
                provider.name, BinFolder(L"x86") + provider.subfolder + provider.file,
                BinFolder(L"x64") + provider.subfolder + provider.file, provider.file,
                exporter.WriteSymbolFile(provider.name, schema), exporter.WriteIniFile(provider.name, schema), L"",
                10000, 10000, provider.checksum));
        }
        s_first = installer.FirstCounterIndex(s_served);
        // The test DLL in every reader serves this counter set.
        ::SetEnvironmentVariableW(L"TESSALY_TEST_COUNTER_SET", s_served.c_str());
    }

    static void TearDownTestSuite()
    {
        ::SetEnvironmentVariableW(L"TESSALY_TEST_COUNTER_SET", nullptr);
        CPerformanceCounterInstaller installer;
        EXPECT_EQ(0u, installer.Uninstall(s_served));
        EXPECT_EQ(0u, installer.Uninstall(s_trivial));
        delete s_lock;
        s_lock = nullptr;
    }

    static TestSupport::CProviderRegistrationLock *s_lock;
    static const std::wstring s_served;
    static const std::wstring s_trivial;
    static std::vector<DWORD> s_installed;
    static DWORD s_first;
};

TestSupport::CProviderRegistrationLock *PerformanceLibraryTest::s_lock = nullptr;
const std::wstring PerformanceLibraryTest::s_served = TestSupport::UniqueName(L"Served");
const std::wstring PerformanceLibraryTest::s_trivial = TestSupport::UniqueName(L"Trivial");
std::vector<DWORD> PerformanceLibraryTest::s_installed;
DWORD PerformanceLibraryTest::s_first = 0;

} // namespace

// The test DLL faults inside its collect for this value name; the trivial provider answers
// every query with its object.
TEST_F(PerformanceLibraryTest, AProviderThatFailsLeavesTheOthersTheirRoom)
{
    ASSERT_EQ((std::vector<DWORD>{0x11, 0x11}), s_installed);
    // The trivial stand-in provider packs its counter block as it always did; only this
    // product's DLL is held to the 8-byte rule.
    const std::string trivial = "object title=" + std::to_string(TrivialTitleIndex) +
                                " total=1416 definition=1184 counters=28 block=228";
    for (const wchar_t *architecture : TestSupport::ReaderArchitectures())
    {
        SCOPED_TRACE(std::string(architecture, architecture + 3));
        const std::string failed = QueryWith(architecture, L"FaultInCollect", s_first, trivial);
        EXPECT_EQ("queries 1 failed 0 with-object 0 exact 0 instances 0", Line(failed, "queries")) << failed;
        const std::string block = Line(failed, "block");
        // The trivial provider's answer is as large as the set's while no sample is published.
        EXPECT_EQ(Field(block, "header") + ServedBytes::EmptyGlobal, Field(block, "total")) << failed;
        EXPECT_EQ(2u, Field(block, "objects")) << failed;
        EXPECT_EQ(trivial, Line(failed, "object")) << failed;

        const std::string both = QueryWith(architecture, L"Global", s_first, trivial);
        EXPECT_EQ("queries 1 failed 0 with-object 1 exact 0 instances 0", Line(both, "queries")) << both;
        EXPECT_EQ(Field(Line(both, "block"), "header") + 2 * ServedBytes::EmptyGlobal, Field(Line(both, "block"), "total"))
            << both;
        EXPECT_EQ(4u, Field(Line(both, "block"), "objects")) << both;
        EXPECT_NE(std::string::npos, both.find(trivial)) << both;
        // Ours, in the set's order: the service object with its counter block, the process
        // object without instances.
        const auto object = [](DWORD title, DWORD total, DWORD definition, DWORD counters, DWORD block) {
            return "object title=" + std::to_string(title) + " total=" + std::to_string(total) +
                   " definition=" + std::to_string(definition) + " counters=" + std::to_string(counters) +
                   " block=" + std::to_string(block) + "\n";
        };
        const std::string ours =
            object(s_first, ServedBytes::ServiceObject, ServedBytes::Definition(NumTcpCounters), NumTcpCounters,
                   ServedBytes::CounterBlock(NumTcpCounters)) +
            object(s_first + ServedBytes::ProcessObjectTitleOffset, ServedBytes::EmptyProcessObject,
                   ServedBytes::EmptyProcessObject, NumProcessConnectionsCounters, 0);
        EXPECT_NE(std::string::npos, both.find(ours)) << both;
    }
}

TEST_F(PerformanceLibraryTest, EveryThreadOfAReaderGetsTheObjectWithExactValues)
{
    CPerformanceCounters writer(true, nullptr, s_served);
    ASSERT_TRUE(writer.IsPublishing());
    PublishValues(writer);
    for (const wchar_t *architecture : TestSupport::ReaderArchitectures())
    {
        SCOPED_TRACE(std::string(architecture, architecture + 3));
        const DWORD start = ::GetTickCount();
        const std::string output = Query(architecture, L"Global", 8, 200, s_first, PublishedValuesText());
        std::printf("%ls: 8 threads x 200 queries in %lu ms\n", architecture, ::GetTickCount() - start);
        EXPECT_EQ("queries 1600 failed 0 with-object 1600 exact 1600 instances 1600", Line(output, "queries"))
            << output;
        const std::string process = "object title=" + std::to_string(s_first + ServedBytes::ProcessObjectTitleOffset) +
                                    " total=" + std::to_string(ServedBytes::PublishedProcessObject()) + " definition=" +
                                    std::to_string(ServedBytes::EmptyProcessObject) + " counters=" +
                                    std::to_string(NumProcessConnectionsCounters) + " block=0\n";
        EXPECT_NE(std::string::npos, output.find(process)) << output;
    }
}

#endif
