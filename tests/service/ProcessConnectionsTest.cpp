// Connections by owning process through the table seam: planted owners in both tables,
// planted processes behind them, and the instances the sample publishes.
#include "service/ProcessNameCache.h"
#include "service/TcpStatistics.h"

#include "tests/service/ApplicationTestSupport.h"

#include <gtest/gtest.h>

#include <map>

using namespace CorvaneTools::Counters;
using namespace CorvaneTools::TessalyService;
using namespace ApplicationTest;

namespace {

// Processes as a test wants them. Like the platform, it never gives an id to another
// process while a handle to the one holding it is open ("the identifier may be reused" only
// once "all handles to the process are closed", PROCESS_INFORMATION).
class CPlantedProcesses : public IProcessIdentities
{
public:
    struct Process
    {
        std::wstring path; // empty: the image name cannot be read
        ULONGLONG created = 0;
        bool opens = true;
    };

    // False when the id is still held open, as the platform would not reuse it then.
    bool Plant(DWORD pid, const Process &process)
    {
        for (const auto &held : m_open)
        {
            if (held.second == pid)
            {
                return false;
            }
        }
        m_processes[pid] = process;
        return true;
    }

    HANDLE Open(DWORD pid) override
    {
        ++opens;
        const auto found = m_processes.find(pid);
        if (found == m_processes.end() || !found->second.opens)
        {
            return nullptr;
        }
        const HANDLE handle = reinterpret_cast<HANDLE>(++m_next);
        m_open[handle] = pid;
        return handle;
    }

    void Close(HANDLE process) override
    {
        m_open.erase(process);
    }

    bool GetCreationTime(HANDLE process, ULONGLONG &time) override
    {
        time = m_processes.at(m_open.at(process)).created;
        return true;
    }

    bool GetImagePath(HANDLE process, wchar_t *path, DWORD &length) override
    {
        const std::wstring &image = m_processes.at(m_open.at(process)).path;
        if (image.empty() || image.size() >= length)
        {
            return false;
        }
        std::copy(image.begin(), image.end(), path);
        path[image.size()] = L'\0';
        length = static_cast<DWORD>(image.size());
        return true;
    }

    size_t HandlesOpen() const
    {
        return m_open.size();
    }

    int opens = 0;

private:
    std::map<DWORD, Process> m_processes;
    std::map<HANDLE, DWORD> m_open;
    uintptr_t m_next = 0x1000;
};

typedef std::map<std::wstring, std::vector<ULONGLONG>> Instances;

struct CSampler
{
    CSampler() : statistics(tables, processes)
    {
        statistics.SetCounters(&published.Counters());
    }

    // Rows (owner, state) into the table of one family.
    void Add(bool isIPv4, DWORD owner, DWORD state, int rows)
    {
        CFakeTcpTables::Table &table = isIPv4 ? tables.m_ipv4 : tables.m_ipv6;
        table.states.insert(table.states.end(), rows, state);
        table.owners.insert(table.owners.end(), rows, owner);
    }

    void Clear()
    {
        tables.m_ipv4.states.clear();
        tables.m_ipv4.owners.clear();
        tables.m_ipv6.states.clear();
        tables.m_ipv6.owners.clear();
    }

    // One sample, and its instances in publishing order with their 13 values.
    std::vector<TestSupport::CPublishedCounters::Instance> Sample()
    {
        statistics.ProcessStats();
        statistics.ProcessStatsIPv6();
        statistics.ProcessOwners();
        return published.Instances();
    }

    CPublishedCounters published;
    CFakeTcpTables tables;
    CPlantedProcesses processes;
    CTcpStatistics statistics;
};

std::vector<ULONGLONG> Values(DWORD connections, std::map<DWORD, DWORD> states)
{
    std::vector<ULONGLONG> values(NumProcessConnectionsCounters, 0);
    values[ProcessConnections] = connections;
    for (const auto &state : states)
    {
        values[ProcessClosed + state.first - 1] = state.second;
    }
    return values;
}

} // namespace

TEST(ProcessConnectionsTest, OwnersAreCountedRankedAndNamedAcrossBothTables)
{
    CSampler s;
    // 70 owners, pid 4(k + 1); owner k has 100 - k / 2 rows, so pairs tie and the lower id
    // ranks first. Each row's state and family depend on the row, so that every count is
    // its own.
    std::map<std::wstring, std::vector<ULONGLONG>> expected;
    std::vector<ULONGLONG> other(NumProcessConnectionsCounters, 0);
    std::vector<ULONGLONG> total(NumProcessConnectionsCounters, 0);
    std::vector<std::wstring> order;
    for (DWORD k = 0; k < 70; ++k)
    {
        const DWORD pid = 4 * (k + 1);
        const std::wstring image = k == 5 ? L"" : k == 6 ? L"C:\\Apps\\maker (2)#x.EXE" : L"C:\\Apps\\maker.exe";
        s.processes.Plant(pid, {image, 1000 + k, k != 7});
        const std::wstring name = k == 5 || k == 7 ? L"unknown:" + std::to_wstring(pid)
                                  : k == 6        ? L"maker [2]_x:" + std::to_wstring(pid)
                                                  : L"maker:" + std::to_wstring(pid);
        std::vector<ULONGLONG> &values = k < MaxProcessInstances ? expected[name] : other;
        values.resize(NumProcessConnectionsCounters);
        for (DWORD row = 0; row < 100 - k / 2; ++row)
        {
            const DWORD state = (row + k) % 12 + 1;
            s.Add(row % 3 != 0, pid, state, 1);
            for (std::vector<ULONGLONG> *sum : {&values, &total})
            {
                ++(*sum)[ProcessConnections];
                ++(*sum)[ProcessClosed + state - 1];
            }
        }
        if (k < MaxProcessInstances)
        {
            order.push_back(name);
        }
    }
    s.Add(true, 0, 11, 7);
    s.Add(false, 0, 2, 3);
    total[ProcessConnections] += 10;
    total[ProcessTimeWait] += 7;
    total[ProcessClosed + 1] += 3;
    order.insert(order.end(), {L"_Unowned", L"_Other", L"_Total"});

    const auto instances = s.Sample();
    ASSERT_EQ(order.size(), instances.size());
    for (size_t i = 0; i < instances.size(); ++i)
    {
        EXPECT_EQ(order[i], instances[i].name) << i;
    }
    for (size_t i = 0; i < MaxProcessInstances; ++i)
    {
        EXPECT_EQ(expected[instances[i].name], instances[i].values) << i;
    }
    EXPECT_EQ(Values(10, {{11, 7}, {2, 3}}), instances[64].values);
    EXPECT_EQ(other, instances[65].values);
    EXPECT_EQ(total, instances[66].values);
    // _Total is the service object's IPv4 + IPv6 of the same sample.
    for (DWORD state = 0; state < 12; ++state)
    {
        static const TcpCounter ipv4[12] = {IPv4Closed,   IPv4Listen,   IPv4SynSent,   IPv4SynRcvd,
                                            IPv4Established, IPv4FinWait1, IPv4FinWait2, IPv4CloseWait,
                                            IPv4Closing,  IPv4LastAck,  IPv4TimeWait,  IPv4DeleteTCB};
        const TcpCounter ipv6 = static_cast<TcpCounter>(ipv4[state] + (IPv6Closed - IPv4Closed));
        EXPECT_EQ(s.published[ipv4[state]] + s.published[ipv6], total[ProcessClosed + state]) << state;
    }
    // Only the named processes were looked up, each once; the one that could not be
    // opened is asked again next time, the others not.
    EXPECT_EQ(64, s.processes.opens);
    s.Sample();
    EXPECT_EQ(65, s.processes.opens);
    EXPECT_EQ(63u, s.processes.HandlesOpen());
}

TEST(ProcessConnectionsTest, NamesLiveAsLongAsTheProcessIsInTheTable)
{
    CSampler s;
    s.processes.Plant(8, {L"C:\\a.exe", 111});
    s.processes.Plant(12, {L"C:\\b.exe", 222});
    s.Add(true, 8, 5, 2);
    s.Add(false, 12, 8, 1);
    const struct
    {
        const wchar_t *step;
        std::vector<std::wstring> names;
        int opens;
        size_t held;
    } steps[] = {
        {L"first sample", {L"a:8", L"b:12", L"_Unowned", L"_Other", L"_Total"}, 2, 2},
        {L"same table", {L"a:8", L"b:12", L"_Unowned", L"_Other", L"_Total"}, 2, 2},
        {L"8 has left", {L"b:12", L"_Unowned", L"_Other", L"_Total"}, 2, 1},
        {L"8 reused by c", {L"c:8", L"b:12", L"_Unowned", L"_Other", L"_Total"}, 3, 2},
        {L"everything closed", {L"_Unowned", L"_Other", L"_Total"}, 3, 0},
    };
    for (const auto &step : steps)
    {
        SCOPED_TRACE(std::string(step.step, step.step + wcslen(step.step)));
        if (std::wstring(step.step) == L"8 has left")
        {
            s.Clear();
            s.Add(false, 12, 8, 1);
            // Held open, the id cannot go to another process yet.
            EXPECT_FALSE(s.processes.Plant(8, {L"C:\\c.exe", 333}));
        }
        else if (std::wstring(step.step) == L"8 reused by c")
        {
            ASSERT_TRUE(s.processes.Plant(8, {L"C:\\c.exe", 333}));
            s.Add(true, 8, 5, 3);
        }
        else if (std::wstring(step.step) == L"everything closed")
        {
            s.Clear();
        }
        const auto instances = s.Sample();
        std::vector<std::wstring> names;
        for (const auto &instance : instances)
        {
            names.push_back(instance.name);
        }
        EXPECT_EQ(step.names, names);
        EXPECT_EQ(step.opens, s.processes.opens);
        EXPECT_EQ(step.held, s.processes.HandlesOpen());
        ULONGLONG created = 0;
        const bool kept = s.statistics.GetProcessConnections().GetNames().GetCreationTime(8, created);
        EXPECT_EQ(step.names.front() == L"a:8" || step.names.front() == L"c:8", kept);
        EXPECT_EQ(kept ? (step.names.front() == L"a:8" ? 111u : 333u) : 0u, created);
    }
}

TEST(ProcessConnectionsTest, OwnersBeyondTheTableCapacityAreCountedAsOther)
{
    CSampler s;
    const DWORD owners = COwnerConnectionTable::Capacity + 3;
    for (DWORD k = 0; k < owners; ++k)
    {
        s.Add(k % 2 == 0, 4 * (k + 1), 5, k < 64 ? 2 : 1);
    }
    const auto instances = s.Sample();
    ASSERT_EQ(67u, instances.size());
    EXPECT_EQ(L"unknown:4", instances[0].name);
    EXPECT_EQ(Values(2, {{5, 2}}), instances[63].values);
    EXPECT_EQ(Values(owners - 64, {{5, owners - 64}}), instances[65].values);
    EXPECT_EQ(Values(owners + 64, {{5, owners + 64}}), instances[66].values);
}

TEST(ProcessConnectionsTest, InstanceNamesFromImagePaths)
{
    const std::wstring sixty(60, L'x');
    const struct
    {
        std::wstring path;
        DWORD pid;
        std::wstring name;
    } cases[] = {
        {L"C:\\Windows\\System32\\inetsrv\\w3wp.exe", 4312, L"w3wp:4312"},
        {L"C:\\Tools\\agent", 8, L"agent:8"},
        {L"C:\\Tools\\Agent.Service.EXE", 12, L"Agent.Service:12"},
        {L"\\\\?\\C:\\a b\\x (1)#2.exe", 16, L"x [1]_2:16"},
        {L"C:\\Tools\\.exe", 20, L"unknown:20"},
        {L"C:\\Tools\\", 24, L"unknown:24"},
        {L"plain.exe", 4294967292u, L"plain:4294967292"},
        {L"C:\\" + sixty + L".exe", 7, sixty + L":7"},
        {L"C:\\" + sixty + L".exe", 4294967292u, sixty.substr(0, 52) + L":4294967292"},
    };
    for (const auto &c : cases)
    {
        wchar_t name[CProcessNameCache::MaxNameLength + 1];
        const std::wstring &path = c.path;
        const DWORD length = CProcessNameCache::FormatName(path.c_str(), static_cast<DWORD>(path.size()), c.pid, name);
        EXPECT_EQ(c.name, std::wstring(name)) << std::string(path.begin(), path.end());
        EXPECT_EQ(c.name.size(), length);
        EXPECT_LE(length, 63u);
    }
}
