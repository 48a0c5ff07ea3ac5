// One consumer's whole run against the service's whole life: the registration appearing,
// no block, a block of another schema, a writer publishing, stopping, publishing again.
#include "perfmon/PerformanceDataBlock.h"
#include "perfmon/PerformanceDataBlockNames.h"
#include "service/PerformanceCounters.h"

#include "tests/collector/CounterDllHost.h"
#include "tests/collector/CounterDllSession.h"
#include "tests/collector/PublishedValues.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/DebugOutputMonitor.h"
#include "tests/support/FakeCounterInstallation.h"
#include "tests/support/StandardUserToken.h"
#include "tests/support/TestNames.h"

#include <gtest/gtest.h>

#include <winperf.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

using namespace CorvaneTools::TessalyService;
using namespace CounterDll;
using CorvaneTools::PerfMon::CPerformanceDataBlock;
using CorvaneTools::PerfMon::CPerformanceDataBlockNames;
using CorvaneTools::PerfMon::CPerformanceDataSchema;
using TestSupport::CChildProcess;
using TestSupport::CFakeCounterInstallation;

namespace {

const DWORD s_first = 3000;
const DWORD s_phaseMs = 700;

bool Exists(const std::wstring &name)
{
    const HANDLE section = ::OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str());
    const DWORD error = ::GetLastError();
    if (section)
    {
        ::CloseHandle(section);
    }
    return section || error != ERROR_FILE_NOT_FOUND;
}

} // namespace

TEST(CounterDllLifeTest, OneOpenServesTheObjectThroughTheServicesWholeLife)
{
    for (const bool other : {false, true})
    {
        SCOPED_TRACE(other ? "other architecture" : "this architecture");
        const std::wstring name = TestSupport::UniqueName(L"Life");
        const std::wstring events = TestSupport::UniqueName(L"LifeEvents");
        const HANDLE stop = ::CreateEventW(nullptr, TRUE, FALSE, (events + L"_stop").c_str());
        const HANDLE started = ::CreateEventW(nullptr, TRUE, FALSE, (events + L"_started").c_str());
        TestSupport::CDebugOutputMonitor monitor;
        CChildProcess host(L"CounterDllSession",
                           SessionArgs(name, {L"watch:" + std::to_wstring(s_first) + L":4:" + events}, other),
                           other ? TestSupport::OtherArchitectureProgram() : std::wstring());
        const bool running = ::WaitForSingleObject(started, 60000) == WAIT_OBJECT_0;
        EXPECT_TRUE(running);
        ::Sleep(s_phaseMs);
        {
            CFakeCounterInstallation installation(s_first, TcpChecksum(), name);
            ::Sleep(s_phaseMs);
            // Served, with zeros, by a reader that made nothing.
            const CPerformanceDataBlockNames names = CPerformanceDataBlockNames::OfCounterSet(name);
            EXPECT_FALSE(Exists(names.Section()));
            EXPECT_FALSE(Exists(names.LockState()));
            {
                CPerformanceDataSchema schema(L"009");
                schema.AddObject(L"Other", L"", 100).AddCounter(L"Only", L"", 100, 0, 0x10000);
                CPerformanceDataBlock another(CPerformanceDataBlockNames::CounterSetBlock(name), schema, s_first,
                                              nullptr);
                ::Sleep(s_phaseMs);
            }
            // Started, stopped (the values zeroed), started again, stopped again.
            for (int start = 0; start < 2; ++start)
            {
                {
                    CPerformanceCounters writer(true, nullptr, name);
                    EXPECT_TRUE(writer.IsPublishing());
                    PublishValues(writer);
                    ::Sleep(s_phaseMs);
                }
                ::Sleep(s_phaseMs);
            }
            ::SetEvent(stop);
            EXPECT_EQ(0u, host.Wait());
        }
        const std::string output = host.Output();
        EXPECT_EQ(1u, Count(output, "open 0\r\nclose 0\r\n")) << output;
        EXPECT_EQ(4u, Count(output, " kinds none,zeros,published,zeros,published,zeros collects ")) << output;
        EXPECT_EQ(4u, Count(output, " violation none")) << output;
        EXPECT_EQ(1u, Count(output, "privilege disabled before 1 after 1")) << output;
        std::vector<std::string> ours;
        for (const std::string &line : monitor.From(::GetProcessId(host.Handle())))
        {
            if (line.find("CPerformanceDataCollector") != std::string::npos)
            {
                ours.push_back(line);
            }
        }
        std::string said;
        for (const std::string &line : ours)
        {
            said += line + "\n";
        }
        // Each reason once: the missing key, then (when a collect comes between the key's
        // making and its value's) the missing value, then the block of another size.
        ASSERT_TRUE(ours.size() == 2 || ours.size() == 3) << said;
        EXPECT_NE(std::string::npos, ours.front().find("CRegistryKey")) << said;
        EXPECT_TRUE(ours.size() == 2 || ours[1].find("FirstCounter not found") != std::string::npos) << said;
        EXPECT_NE(std::string::npos, ours.back().find("Already exists and not the same size")) << said;
        std::printf("%s", output.c_str());
        ::CloseHandle(stop);
        ::CloseHandle(started);
    }
}

TEST(CounterDllLifeTest, TheRulesCheckRefusesWhatTheyForbid)
{
    // A served object of 2 counters: 64 + 80 definitions and a 24-byte counter block.
    std::vector<BYTE> good(168, 0);
    const auto put = [](std::vector<BYTE> &data, size_t at, DWORD value) { std::memcpy(&data[at], &value, 4); };
    put(good, 0, 168);
    put(good, 4, 144);
    put(good, 8, 64);
    put(good, 32, 2);
    put(good, 40, PERF_NO_INSTANCES);
    for (DWORD k = 0; k < 2; ++k)
    {
        put(good, 64 + 40 * k + 32, 8);
        put(good, 64 + 40 * k + 36, 8 + 8 * k);
    }
    put(good, 144, 24);
    EXPECT_EQ("", AnswerViolation(good.data(), 168, 1, 168));
    const struct
    {
        size_t at;
        DWORD value;
        const char *broken;
    } cases[] = {
        {144, 20, "counter block length 20 in an object of 168"},
        {0, 164, "object lengths: total 164, definition 144"},
        {64 + 36, 4, "counter 0 of 8 bytes at 4"},
        {104 + 36, 20, "counter 1 of 8 bytes at 20"},
        {40, 1, "instances where none are published"},
    };
    for (const auto &c : cases)
    {
        std::vector<BYTE> bad = good;
        put(bad, c.at, c.value);
        EXPECT_EQ(c.broken, AnswerViolation(bad.data(), 168, 1, 168)) << c.broken;
    }
    EXPECT_EQ("advanced 160 for 168 bytes", AnswerViolation(good.data(), 168, 1, 160));
}

// Modelled as the platform notes it: a token with every privilege deleted and the
// Administrators group deny-only is held to descriptors and lacks SeCreateGlobalPrivilege,
// which Windows requires to create, not to open, a section in the global namespace
// ("Kernel object namespaces"); standard users and non-elevated administrators hold it not.
TEST(CounterDllLifeTest, AReaderWithoutThePrivilegeReadsTheWritersValues)
{
    CFakeCounterInstallation installation(s_first, TcpChecksum());
    CPerformanceCounters writer(true, nullptr, installation.Name());
    ASSERT_TRUE(writer.IsPublishing());
    PublishValues(writer);
    const TestSupport::CStandardUserToken restricted;
    ASSERT_NE(nullptr, restricted.Get());
    std::string expected = "privilege 0\r\nopen 0\r\nvalues 0 1416 1 ";
    std::string output;
    {
        CChildProcess reader(L"CounterDllSession",
                             SessionArgs(installation.Name(), {L"privilege", L"open", L"values:3000", L"close"}),
                             std::wstring(), false, restricted.Get());
        EXPECT_EQ(0u, reader.Wait());
        output = reader.Output();
    }
    EXPECT_EQ(0u, output.find(expected)) << output;
    std::string values;
    for (const DWORD value : PublishedValues)
    {
        values += " " + std::to_string(value);
    }
    EXPECT_NE(std::string::npos, output.find(values + "\r\nclose 0")) << output;
}
