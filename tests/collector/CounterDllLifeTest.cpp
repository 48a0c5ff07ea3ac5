// One consumer's whole run against the service's whole life: the registration appearing,
// no block, a block of another schema, a writer publishing, stopping, publishing again.
#include "perfmon/PerformanceDataBlock.h"
#include "perfmon/PerformanceDataBlockNames.h"
#include "service/PerformanceCounters.h"

#include "tests/collector/CounterDllHost.h"
#include "tests/collector/CounterDllSession.h"
#include "tests/collector/PublishedValues.h"
#include "tests/collector/ServedBytes.h"
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
    // Two objects of 2 counters of 8 bytes (64 + 2 x 40 = 144 bytes of definitions; a counter
    // block of 8 + 2 x 8 = 24): the first without instances (168 bytes), the second with the
    // instances "ab" and "c", each 24 bytes and its name padded to 32, then its block (256).
    std::vector<BYTE> good(424, 0);
    const auto put = [](std::vector<BYTE> &data, size_t at, DWORD value) { std::memcpy(&data[at], &value, 4); };
    for (const size_t object : {0, 168})
    {
        put(good, object, object == 0 ? 168 : 256);
        put(good, object + 4, 144);
        put(good, object + 8, 64);
        put(good, object + 32, 2);
        put(good, object + 40, object == 0 ? PERF_NO_INSTANCES : 2);
        for (DWORD k = 0; k < 2; ++k)
        {
            put(good, object + 64 + 40 * k + 32, 8);
            put(good, object + 64 + 40 * k + 36, 8 + 8 * k);
        }
    }
    put(good, 144, 24);
    for (const size_t instance : {312, 368})
    {
        put(good, instance, 32);
        put(good, instance + 12, static_cast<DWORD>(PERF_NO_UNIQUE_ID));
        put(good, instance + 16, 24);
        put(good, instance + 20, instance == 312 ? 6 : 4);
        put(good, instance + 32, 24);
    }
    put(good, 336, 'a' | 'b' << 16);
    put(good, 392, 'c');
    EXPECT_EQ("", AnswerViolation(good.data(), 424, 2, 424));
    const struct
    {
        size_t at;
        DWORD value;
        DWORD objects;
        size_t advanced;
        const char *broken;
    } cases[] = {
        {0, 164, 2, 424, "object 0 lengths: total 164, header 64, definition 144 of 2 counters"},
        {0, 432, 2, 424, "object 0 lengths: total 432, header 64, definition 144 of 2 counters"},
        {8, 72, 2, 424, "object 0 lengths: total 168, header 72, definition 144 of 2 counters"},
        {4, 136, 2, 424, "object 0 lengths: total 168, header 64, definition 136 of 2 counters"},
        {40, 0, 2, 424, "object 0 instances and blocks cover 144 of 168 bytes"},
        {0, 176, 2, 424, "object 0 counter block length 24 in an object of 176"},
        {144, 20, 2, 424, "object 0 counter block length 20 in 24 bytes"},
        {64 + 32, 2, 2, 424, "object 0 counter 0 of 2 bytes at 8 in a block of 24"},
        {64 + 36, 4, 2, 424, "object 0 counter 0 of 8 bytes at 4 in a block of 24"},
        {104 + 36, 20, 2, 424, "object 0 counter 1 of 8 bytes at 20 in a block of 24"},
        {168 + 40, 0xFFFFFFFE, 2, 424, "object 1 NumInstances -2"},
        {312, 28, 2, 424, "object 1 instance 0: length 28 in 112 bytes"},
        {312, 16, 2, 424, "object 1 instance 0: length 16 in 112 bytes"},
        {312 + 16, 20, 2, 424, "object 1 instance 0: name of 6 bytes at 20 in 32"},
        {312 + 20, 10, 2, 424, "object 1 instance 0: name of 10 bytes at 24 in 32"},
        {312 + 20, 5, 2, 424, "object 1 instance 0: name of 5 bytes at 24 in 32"},
        {340, 'c', 2, 424, "object 1 instance 0: name of 3 characters with its first 0 at 3"},
        {336, 'a', 2, 424, "object 1 instance 0: name of 3 characters with its first 0 at 1"},
        {312 + 4, 1, 2, 424, "object 1 instance 0: parent 1 instance 0"},
        {312 + 8, 1, 2, 424, "object 1 instance 0: parent 0 instance 1"},
        {312 + 12, 0, 2, 424, "object 1 instance 0: unique id 0"},
        {168 + 104 + 36, 12, 2, 424, "object 1 instance 0: counter 1 of 8 bytes at 12 in a block of 24"},
        {368 + 32, 20, 2, 424, "object 1 instance 1: counter block length 20 in 24 bytes"},
        {368 + 32, 16, 2, 424, "object 1 instance 1: counter 1 of 8 bytes at 16 in a block of 16"},
        {168 + 40, 1, 2, 424, "object 1 instances and blocks cover 200 of 256 bytes"},
        {0, 168, 1, 424, "objects cover 168 of 424 bytes"},
        {0, 168, 3, 424, "object 2 past the byte count"},
        {0, 168, 2, 416, "advanced 416 for 424 bytes"},
    };
    for (const auto &c : cases)
    {
        std::vector<BYTE> bad = good;
        put(bad, c.at, c.value);
        EXPECT_EQ(c.broken, AnswerViolation(bad.data(), 424, c.objects, c.advanced)) << c.broken;
    }
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
    std::string expected = "privilege 0\r\nopen 0\r\nvalues 0 " + std::to_string(ServedBytes::ServiceObject) + " 1 ";
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
