// The started service's connections by process, read through the performance library by
// readers of both architectures, against maker processes with known connections.
//
// This platform reports a row's owner only for an end its process connected itself and has
// sent on; listeners and accepted ends show process 0. So each maker connects to the
// listeners of another process and sends a byte on every connection: the makers' ends are
// theirs, everything of the listening process's is _Unowned. Exact only in a private
// network namespace.
#include "counters/ProcessConnectionsSchema.h"
#include "counters/TcpCounterSchema.h"
#include "framework/ServiceHandle.h"

#include "tests/framework/ServiceQuery.h"
#include "tests/service/ServiceProgramSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LoopbackConnections.h"
#include "tests/support/TestNames.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>

using namespace CorvaneTools::Counters;
using CorvaneTools::Service::CServiceHandle;
using ServiceProgramSupport::InstanceValues;
using ServiceProgramSupport::ReadWith;
using ServiceProgramSupport::RunProgram;
using ServiceProgramSupport::Values;
using TestSupport::CChildProcess;

namespace {

const char *const States[12] = {"CLOSED",    "LISTEN",   "SYN_SENT", "SYN_RCVD", "ESTABLISHED", "FIN_WAIT1",
                                "FIN_WAIT2", "CLOSE_WAIT", "CLOSING", "LAST_ACK", "TIME_WAIT",   "DELETE TCB"};

// An instance's values: Connections the sum of the states given, every other state 0.
Values Counts(std::map<std::string, unsigned long long> states)
{
    Values values;
    values["Connections"] = 0;
    for (const char *state : States)
    {
        values[state] = states.count(state) ? states[state] : 0;
        values["Connections"] += values[state];
    }
    return values;
}

std::wstring MakerProgram()
{
    return ServiceProgramSupport::Top() + L"\\build\\x64\\bin\\TessalyConnectionMaker.exe";
}

// Another process's listeners on both loopback addresses, which keep or close each
// connection as the byte its maker sent asks. Fixed ports: the namespace holds nothing else.
class CListeners
{
public:
    CListeners() : m_process(L"", {L"listen", Port(AF_INET), Port(AF_INET6), L"600"}, MakerProgram())
    {
        m_listening = TestSupport::WaitUntil([] {
            return TestSupport::CLoopbackConnections::ReadTable(AF_INET)[TestSupport::CLoopbackConnections::Listen - 1] == 1 &&
                   TestSupport::CLoopbackConnections::ReadTable(AF_INET6)[TestSupport::CLoopbackConnections::Listen - 1] == 1;
        });
    }

    static std::wstring Port(int family)
    {
        return family == AF_INET ? L"47110" : L"47111";
    }

    bool Listening() const
    {
        return m_listening;
    }

private:
    CChildProcess m_process;
    bool m_listening = false;
};

// One maker process and the connections it was asked for: IPv4 kept and closed, IPv6 kept
// and closed.
class CMaker
{
public:
    CMaker(int v4Kept, int v4Closed, int v6Kept, int v6Closed)
        : m_established(v4Kept + v6Kept),
          m_closeWait(v4Closed + v6Closed),
          m_ipv6Established(v6Kept),
          m_ipv6CloseWait(v6Closed),
          m_readyName(TestSupport::UniqueName(L"makerReady")),
          m_stopName(TestSupport::UniqueName(L"makerStop")),
          m_ready(::CreateEventW(nullptr, TRUE, FALSE, m_readyName.c_str())),
          m_stop(::CreateEventW(nullptr, TRUE, FALSE, m_stopName.c_str())),
          m_process(new CChildProcess(L"",
                                      {CListeners::Port(AF_INET), CListeners::Port(AF_INET6), std::to_wstring(v4Kept),
                                       std::to_wstring(v4Closed), std::to_wstring(v6Kept), std::to_wstring(v6Closed),
                                       m_readyName, m_stopName},
                                      MakerProgram())),
          m_pid(::GetProcessId(m_process->Handle()))
    {
    }

    ~CMaker()
    {
        Stop();
        ::CloseHandle(m_ready);
        ::CloseHandle(m_stop);
    }

    bool WaitReady() const
    {
        const HANDLE either[] = {m_ready, m_process->Handle()};
        return ::WaitForMultipleObjects(2, either, FALSE, 60000) == WAIT_OBJECT_0;
    }

    // Closes everything and ends.
    DWORD Stop()
    {
        if (!m_process)
        {
            return 0;
        }
        ::SetEvent(m_stop);
        const DWORD code = m_process->Wait();
        m_process.reset();
        return code;
    }

    std::string Instance() const
    {
        return "TessalyConnectionMaker:" + std::to_string(m_pid);
    }

    Values Expected() const
    {
        return Counts({{"ESTABLISHED", m_established - m_ipv6Established}, {"CLOSE_WAIT", m_closeWait - m_ipv6CloseWait}});
    }

    DWORD Pid() const
    {
        return m_pid;
    }

    int Established() const
    {
        return m_established;
    }

    int CloseWait() const
    {
        return m_closeWait;
    }

    // Measured: this platform reports every IPv6 row with process 0, the maker's own ends
    // too (on Windows they carry their owner, MIB_TCP6ROW_OWNER_PID).
    Values UnownedEnds() const
    {
        return Counts({{"ESTABLISHED", m_ipv6Established}, {"CLOSE_WAIT", m_ipv6CloseWait}});
    }

private:
    const int m_established;
    const int m_closeWait;
    const int m_ipv6Established;
    const int m_ipv6CloseWait;
    const std::wstring m_readyName;
    const std::wstring m_stopName;
    const HANDLE m_ready;
    const HANDLE m_stop;
    std::unique_ptr<CChildProcess> m_process;
    const DWORD m_pid;
};

class ProcessConnectionsProgramTest : public ServiceProgramSupport::CInstalledProgramTest
{
protected:
    void SetUp() override
    {
        const char *marker = std::getenv("TESSALY_PRIVATE_NETWORK");
        if (marker == nullptr || std::string(marker) != "1")
        {
            GTEST_SKIP() << "Exact counts need a private network namespace; `make test` runs in one as root.";
        }
        CInstalledProgramTest::SetUp();
        ASSERT_EQ(0u, RunProgram({L"/noMessages", L"/install", L"/poll", L"1", L"/logPath", m_logs.Path()}));
        m_manager.Reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        m_service.Reset(::OpenServiceW(m_manager.Get(), ServiceProgramSupport::ServiceName, SERVICE_ALL_ACCESS));
        ASSERT_TRUE(::StartServiceW(m_service.Get(), 0, nullptr));
        ASSERT_TRUE(TestSupport::ReachesState(m_service.Get(), SERVICE_RUNNING));
    }

    void TearDown() override
    {
        if (m_service.IsValid())
        {
            TestSupport::Control(m_service.Get(), SERVICE_CONTROL_STOP);
            TestSupport::ReachesState(m_service.Get(), SERVICE_STOPPED);
        }
        m_service.Reset();
        m_manager.Reset();
        CInstalledProgramTest::TearDown();
    }

    // Waits until a reading of the architecture meets the check; the last reading.
    ServiceProgramSupport::CReading ReadUntil(const wchar_t *architecture,
                                              const std::function<bool(const ServiceProgramSupport::CReading &)> &check)
    {
        ServiceProgramSupport::CReading reading;
        // Generous: with seventy makers a sample here scans every process's open files.
        TestSupport::WaitUntil([&] { return check(reading = ReadWith(architecture, {})); }, 30000);
        return reading;
    }

    CServiceHandle m_manager;
    CServiceHandle m_service;
};

std::string Narrow(const wchar_t *text)
{
    const std::wstring wide = text;
    return std::string(wide.begin(), wide.end());
}

// _Total per state is the service object's IPv4 + IPv6 of the same reading.
void ExpectTotalIsTheServiceObjects(const ServiceProgramSupport::CReading &reading)
{
    ASSERT_EQ(1u, reading.instances.count(Narrow(TotalInstanceName)));
    const Values &total = reading.instances.at(Narrow(TotalInstanceName));
    for (const char *state : States)
    {
        const std::string suffix = state;
        EXPECT_EQ(reading.values.at("IPv4: " + suffix) + reading.values.at("IPv6: " + suffix), total.at(state))
            << state;
    }
}

} // namespace

TEST_F(ProcessConnectionsProgramTest, EachMakerHasExactlyItsConnectionsAndLeavesWhenItCloses)
{
    const CListeners listeners;
    ASSERT_TRUE(listeners.Listening());
    std::vector<std::unique_ptr<CMaker>> makers;
    makers.emplace_back(new CMaker(3, 2, 0, 0));
    makers.emplace_back(new CMaker(1, 0, 2, 1));
    makers.emplace_back(new CMaker(2, 0, 4, 0));
    unsigned long long established = 0, closeWait = 0;
    for (const auto &maker : makers)
    {
        ASSERT_TRUE(maker->WaitReady());
        established += maker->Established();
        closeWait += maker->CloseWait();
    }
    // The listeners, the accepted ends kept, and the ones closed (FIN_WAIT2), all the
    // listening process's and so without an owner here.
    Values unowned = Counts({{"LISTEN", 2}, {"ESTABLISHED", established}, {"FIN_WAIT2", closeWait}});
    for (const auto &maker : makers)
    {
        for (auto &value : unowned)
        {
            value.second += maker->UnownedEnds().at(value.first);
        }
    }
    const auto expected = [&](const std::vector<std::unique_ptr<CMaker>> &present) {
        InstanceValues instances = {{Narrow(UnownedInstanceName), unowned}, {Narrow(OtherInstanceName), Counts({})}};
        Values total = unowned;
        for (const auto &maker : present)
        {
            instances[maker->Instance()] = maker->Expected();
            for (auto &value : total)
            {
                value.second += maker->Expected().at(value.first);
            }
        }
        instances[Narrow(TotalInstanceName)] = total;
        return instances;
    };
    for (const wchar_t *architecture : {L"x64", L"x86"})
    {
        SCOPED_TRACE(Narrow(architecture));
        const auto reading = ReadUntil(architecture, [&](const ServiceProgramSupport::CReading &r) {
            return r.instances == expected(makers);
        });
        EXPECT_EQ(expected(makers), reading.instances) << reading.output;
        ExpectTotalIsTheServiceObjects(reading);
    }

    // Its rows linger closing, without an owner, but it is gone from the next sample.
    EXPECT_EQ(0u, makers[1]->Stop());
    const std::string gone = makers[1]->Instance();
    const auto after = ReadUntil(L"x64", [&](const ServiceProgramSupport::CReading &r) {
        return !r.instances.empty() && r.instances.count(gone) == 0;
    });
    EXPECT_EQ(0u, after.instances.count(gone)) << after.output;
    EXPECT_EQ(makers[0]->Expected(), after.instances.at(makers[0]->Instance()));
    EXPECT_EQ(makers[2]->Expected(), after.instances.at(makers[2]->Instance()));
    EXPECT_EQ(5u, after.instances.size());
    ExpectTotalIsTheServiceObjects(after);
}

TEST_F(ProcessConnectionsProgramTest, SeventyMakersPutTheSixWithFewestConnectionsIntoOther)
{
    const CListeners listeners;
    ASSERT_TRUE(listeners.Listening());
    std::vector<std::unique_ptr<CMaker>> makers;
    // Ten with two connections, ranked above the rest whatever their process ids; among
    // the sixty with one, the higher ids go to _Other.
    for (int k = 0; k < 70; ++k)
    {
        makers.emplace_back(new CMaker(k < 10 ? 2 : 1, 0, 0, 0));
    }
    for (const auto &maker : makers)
    {
        ASSERT_TRUE(maker->WaitReady());
    }
    std::vector<DWORD> singles;
    for (int k = 10; k < 70; ++k)
    {
        singles.push_back(makers[k]->Pid());
    }
    std::sort(singles.begin(), singles.end());
    for (const wchar_t *architecture : {L"x64", L"x86"})
    {
        SCOPED_TRACE(Narrow(architecture));
        const auto reading = ReadUntil(architecture, [&](const ServiceProgramSupport::CReading &r) {
            return r.instances.size() == 67 && r.instances.count(Narrow(OtherInstanceName)) &&
                   r.instances.at(Narrow(OtherInstanceName)).at("Connections") == 6;
        });
        ASSERT_EQ(67u, reading.instances.size()) << reading.output;
        EXPECT_EQ(Counts({{"ESTABLISHED", 6}}), reading.instances.at(Narrow(OtherInstanceName)));
        for (int k = 0; k < 70; ++k)
        {
            const bool named = k < 10 || makers[k]->Pid() < singles[54];
            EXPECT_EQ(named ? 1u : 0u, reading.instances.count(makers[k]->Instance())) << k;
        }
        ExpectTotalIsTheServiceObjects(reading);
    }
}
