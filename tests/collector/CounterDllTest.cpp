#include "counters/TcpCounterSchema.h"
#include "perfmon/PerformanceDataBlock.h"
#include "perfmon/PerformanceDataBlockNames.h"
#include "win32/handles/KernelObjectName.h"
#include "win32/system/LibraryLoader.h"

#include "tests/collector/CounterDllSession.h"
#include "tests/collector/ServedBytes.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/DebugOutputMonitor.h"
#include "tests/support/FakeCounterInstallation.h"
#include "tests/support/TestNames.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

using namespace CorvaneTools::Counters;
using namespace CorvaneTools::PerfMon;
using CorvaneTools::Win32::CGlobalName;
using TestSupport::CChildProcess;
using TestSupport::CFakeCounterInstallation;

using namespace CounterDll;

TEST(CounterDllTest, ExportsAreTheDllsOnly)
{
    const HMODULE dll = ::LoadLibraryExW(TestCounterDll().c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(nullptr, dll);
    for (const char *name : {"PerfData_Open", "PerfData_Collect", "PerfData_Close"})
    {
        EXPECT_NE(nullptr, ::GetProcAddress(dll, name)) << name;
    }
    EXPECT_EQ(nullptr, ::GetProcAddress(dll, "PerfData_Open@4"));
    ::FreeLibrary(dll);
}

namespace {

// "collect 0 ..." of an answer served in full.
std::string Served(DWORD bytes, DWORD objects)
{
    return "collect 0 bytes=" + std::to_string(bytes) + " objects=" + std::to_string(objects) +
           " advanced=" + std::to_string(bytes) + " guard=1";
}

} // namespace

TEST(CounterDllTest, OpenCollectCloseInEveryOrder)
{
    CFakeCounterInstallation installation(3000, TcpChecksum());
    // No block: the service object's zeros and the process object without instances.
    const std::wstring exact = std::to_wstring(ServedBytes::EmptyGlobal);
    const std::wstring process = std::to_wstring(3000 + ServedBytes::ProcessObjectTitleOffset);
    const Session session = RunSession(
        installation.Name(),
        {L"collect:Global:4096", L"open", L"collect:Global:4096", L"collect:Global:" + exact,
         L"collect:Global:" + std::to_wstring(ServedBytes::EmptyGlobal - 1), L"collect:3000:4096",
         L"collect:" + process + L":4096", L"collect:Costly:4096", L"open", L"close", L"collect:Global:4096", L"close",
         L"open", L"collect:gLoBaL:4096", L"close", L"close", L"collect:Global:4096"});
    EXPECT_EQ(0u, session.exitCode);
    const std::string both = Served(ServedBytes::EmptyGlobal, ServedBytes::NumObjects);
    const std::string nothing = "collect 0 bytes=0 objects=0 advanced=0 guard=1";
    EXPECT_EQ(Lines({nothing.c_str(), "open 0", both.c_str(), both.c_str(),
                     "collect 234 bytes=0 objects=0 advanced=0 guard=1", Served(ServedBytes::ServiceObject, 1).c_str(),
                     Served(ServedBytes::EmptyProcessObject, 1).c_str(), nothing.c_str(),
                     // Opens are counted: the second one's close leaves the block open for the first.
                     "open 0", "close 0", both.c_str(), "close 0", "open 0", both.c_str(), "close 0", "close 0",
                     nothing.c_str()}),
              session.output);
    const std::string notOpened = "Error: collector has not been opened";
    const std::vector<std::string> expected{
        "CPerformanceDataCollector::Collect() -  Exception: CPerformanceDataCollector::Collect() - " + notOpened,
        "CPerformanceDataCollector::Close() -  Exception: CPerformanceDataCollector::Close() - " + notOpened,
        "CPerformanceDataCollector::Collect() -  Exception: CPerformanceDataCollector::Collect() - " + notOpened,
    };
    EXPECT_EQ(expected, session.debugLines);
}

TEST(CounterDllTest, WithoutInstalledCountersOpenSucceedsAndNothingIsServed)
{
    // No key at all, and a key without the first counter. Open must succeed all the same:
    // the platform disables a provider whose Open fails. The reason is said once.
    const std::wstring missing = TestSupport::UniqueName(L"NotInstalled");
    const std::vector<std::wstring> steps{L"open", L"collect:Global:4096", L"collect:Global:4096", L"close"};
    const std::string nothing = "collect 0 bytes=0 objects=0 advanced=0 guard=1";
    const std::string expected = Lines({"open 0", nothing.c_str(), nothing.c_str(), "close 0"});
    Session session = RunSession(missing, steps);
    EXPECT_EQ(0u, session.exitCode);
    EXPECT_EQ(expected, session.output);
    ASSERT_EQ(1u, session.debugLines.size());
    EXPECT_EQ(0u, session.debugLines[0].find("CPerformanceDataCollector::Open() -  Exception: CRegistryKey"))
        << session.debugLines[0];

    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + missing;
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, (key + L"\\Performance").c_str(), L"Library", REG_SZ, L"x", 4);
    session = RunSession(missing, steps);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    EXPECT_EQ(expected, session.output);
    EXPECT_EQ(std::vector<std::string>{"CPerformanceDataCollector::Open() -  Exception: "
                                       "CPerformanceCounterInstaller::FirstCounterIndex() - FirstCounter not found"},
              session.debugLines);
}

TEST(CounterDllTest, ABlockOfAnotherSizeIsServedAsZerosAndSaidOnce)
{
    CFakeCounterInstallation installation(3000, TcpChecksum());
    CPerformanceDataSchema other(L"009");
    other.AddObject(L"Other", L"Other help", 100).AddCounter(L"Only", L"Only help", 100, 0, 0x10000);
    CPerformanceDataBlock block(CPerformanceDataBlockNames::CounterSetBlock(installation.Name()), other, 3000, nullptr);
    // The failed opening unwinds through destructors; see FaultsNeverLeaveTheDll for why that
    // is watched without a debugger.
    const Session session = RunSession(installation.Name(), {L"open", L"values:Global", L"values:3000", L"close"}, false);
    EXPECT_EQ(0u, session.exitCode);
    const std::string zeros = " 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\r\n";
    EXPECT_EQ(2u, Count(session.output, zeros)) << session.output;
    // Both objects for "Global", the service object alone for its index.
    EXPECT_EQ(1u, Count(session.output, "values 0 " + std::to_string(ServedBytes::EmptyGlobal) + " 2 "))
        << session.output;
    EXPECT_EQ(1u, Count(session.output, "values 0 " + std::to_string(ServedBytes::ServiceObject) + " 1 "))
        << session.output;
    ASSERT_EQ(1u, session.debugLines.size());
    EXPECT_EQ(0u, session.debugLines[0].find("CPerformanceDataCollector::Open() -  Exception: ")) << session.debugLines[0];
    EXPECT_NE(std::string::npos, session.debugLines[0].find("Already exists and not the same size")) << session.debugLines[0];
    const std::wstring section = CPerformanceDataBlockNames::OfCounterSet(installation.Name()).Section();
    EXPECT_NE(std::string::npos, session.debugLines[0].find(std::string(section.begin(), section.end())))
        << session.debugLines[0];
}

TEST(CounterDllTest, FaultsNeverLeaveTheDll)
{
    CFakeCounterInstallation installation(3000, TcpChecksum());
    // Watched by a debug monitor, not a debugger: with a debugger attached, Wine fails to
    // resume the unwinding of a C++ exception through frames with destructors inside this
    // DLL (an access violation in the runtime's handler, or terminate), while without one
    // the same exceptions are caught as they must be.
    const Session session =
        RunSession(installation.Name(), {L"open", L"collect:FaultInCollect:4096", L"collect:FaultInExport:4096",
                                         L"collect:Global:4096", L"close"},
                   false);
    EXPECT_EQ(0u, session.exitCode);
    std::istringstream lines(session.output);
    std::string line;
    std::vector<std::string> results;
    while (std::getline(lines, line))
    {
        if (!line.empty() && line.back() == '\r')
        {
            line.pop_back();
        }
        results.push_back(line.substr(0, line.find(' ', line.find(' ') + 1)));
    }
    EXPECT_EQ((std::vector<std::string>{"open 0", "collect 0", "collect 0", "collect 0", "close 0"}), results);
    ASSERT_EQ(1u, session.debugLines.size());
    EXPECT_EQ(0u, session.debugLines[0].find("CPerformanceDataCollector::Collect() -  Exception: ACCESS_VIOLATION - 0x"))
        << session.debugLines[0];
    // Both faults collected nothing, as a failure must say it; the next collect is served in full.
    EXPECT_EQ(2u, Count(session.output, "collect 0 bytes=0 objects=0 advanced=0 guard=1"));
    EXPECT_NE(std::string::npos, session.output.find(Served(ServedBytes::EmptyGlobal, ServedBytes::NumObjects)));
}

TEST(CounterDllTest, NullOutPointersAreRefusedAndNothingIsWritten)
{
    CFakeCounterInstallation installation(3000, TcpChecksum());
    const Session session = RunSession(installation.Name(), {L"open", L"nulls", L"close"});
    EXPECT_EQ(0u, session.exitCode);
    EXPECT_EQ(Lines({"open 0", "nulls 87 87 87 bytes=4096 objects=7 advanced=0", "close 0"}), session.output);
}

TEST(CounterDllTest, LoadedAndUnloadedOnEveryQuery)
{
    CFakeCounterInstallation installation(3000, TcpChecksum());
    const Session session = RunSession(installation.Name(), {L"reload:1500"}, false);
    EXPECT_EQ(0u, session.exitCode);
    EXPECT_EQ(Lines({"reload 1500 served 1500"}), session.output);
}
