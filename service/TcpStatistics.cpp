#include "service/TcpStatistics.h"

#include "perfmon/PerformanceDataBlock.h"
#include "win32/log/DebugTrace.h"
#include "win32/registry/RegistryKey.h"
#include "win32/system/SystemTime.h"
#include "win32/text/ToString.h"

#include <algorithm>
#include <cstring>

namespace CorvaneTools {
namespace TessalyService {

using CorvaneTools::Win32::CDebugTrace;
using CorvaneTools::Win32::CException;
using CorvaneTools::Win32::CRegistryKey;
using CorvaneTools::Win32::CSystemTime;
using CorvaneTools::Win32::CWin32Exception;
using CorvaneTools::Win32::ToString;

namespace {

typedef void (CPerformanceCounters::*StateSetter)(DWORD value, bool isIPv4);

const DWORD TimeWaitIndex = 10;

// In state order 1 to 12; TIME_WAIT has a setter of its own that also keeps the maximum.
const struct
{
    const wchar_t *label;
    StateSetter setter;
} s_states[TcpStateCounts::NumStates] = {
    {L"CLOSED: ", &CPerformanceCounters::SetClosed},
    {L"LISTEN: ", &CPerformanceCounters::SetListen},
    {L"SYN-SENT: ", &CPerformanceCounters::SetSynSent},
    {L"SYN-RECEIVED: ", &CPerformanceCounters::SetSynRcvd},
    {L"ESTABLISHED: ", &CPerformanceCounters::SetEstablished},
    {L"FIN-WAIT-1: ", &CPerformanceCounters::SetFinWait1},
    {L"FIN-WAIT-2: ", &CPerformanceCounters::SetFinWait2},
    {L"CLOSE-WAIT: ", &CPerformanceCounters::SetCloseWait},
    {L"CLOSING: ", &CPerformanceCounters::SetClosing},
    {L"LAST-ACK: ", &CPerformanceCounters::SetLastAck},
    {L"TIME-WAIT: ", nullptr},
    {L"DELETE-TCB: ", &CPerformanceCounters::SetDeleteTCB},
};

const wchar_t *const s_parametersKey = L"SYSTEM\\CurrentControlSet\\Services\\TcpIp\\Parameters";

std::wstring Now()
{
    CSystemTime now;
    ::GetLocalTime(&now);
    return now.GetAsDateTime();
}

// 0 when the value is missing, of another type or size, or cannot be read at all.
DWORD ReadParameter(const wchar_t *name, const std::wstring &where)
{
    DWORD value = 0;
    try
    {
        const CRegistryKey key(HKEY_LOCAL_MACHINE, s_parametersKey, KEY_READ);
        if (!key.QueryValue(name, value))
        {
            value = 0;
            CDebugTrace::Log(where + L" - HKLM\\" + s_parametersKey + L"\\" + name + L" is NOT set");
        }
    }
    catch (...)
    {
        value = 0;
        try
        {
            CDebugTrace::Log(where + L" - Unexpected exception");
        }
        catch (...)
        {
        }
    }
    return value;
}

} // namespace

CTcpTableBuffer::CTcpTableBuffer() : m_capacity(0)
{
}

void CTcpTableBuffer::GrowTo(DWORD size)
{
    if (size > m_capacity)
    {
        m_data.reset(new BYTE[size]);
        m_capacity = size;
    }
}

BYTE *CTcpTableBuffer::GetData() const
{
    return m_data.get();
}

DWORD CTcpTableBuffer::GetCapacity() const
{
    return m_capacity;
}

// MIB_TCPROW_OWNER_PID and MIB_TCP6ROW_OWNER_PID.
const CTcpStatistics::TableKind CTcpStatistics::IPv4Table = {
    L"CService::ProcessStats()", L"GetExtendedTcpTable failed", L"IPv4 - Processing - started - ",
    &ITcpTables::GetExtendedTcpTable, 24, 0, 20};

const CTcpStatistics::TableKind CTcpStatistics::IPv6Table = {
    L"CService::ProcessStatsIPv6()", L"GetExtendedTcpTable (IPv6) failed", L"IPv6 - Processing - started - ",
    &ITcpTables::GetExtendedTcp6Table, 56, 48, 52};

namespace {

IProcessIdentities &PlatformProcesses()
{
    static CPlatformProcessIdentities processes;
    return processes;
}

} // namespace

CTcpStatistics::CTcpStatistics(ITcpTables &tables) : CTcpStatistics(tables, PlatformProcesses())
{
}

CTcpStatistics::CTcpStatistics(ITcpTables &tables, IProcessIdentities &identities)
    : m_tables(tables), m_counters(nullptr), m_processes(identities)
{
}

void CTcpStatistics::SetCounters(CPerformanceCounters *counters)
{
    m_counters = counters;
}

bool CTcpStatistics::HasTcp6Table() const
{
    return m_tables.HasTcp6Table();
}

void CTcpStatistics::ProcessStats()
{
    m_processes.BeginSample();
    Process(IPv4Table, m_ipv4Buffer, true);
}

void CTcpStatistics::ProcessStatsIPv6()
{
    Process(IPv6Table, m_ipv6Buffer, false);
}

void CTcpStatistics::ProcessOwners()
{
    // Without counters nobody reads the instances, and naming them would cost look-ups.
    if (!m_counters)
    {
        return;
    }
    m_processes.EndSample();
    if (!m_counters->PublishProcessConnections(m_processes.GetInstances()) && CDebugTrace::IsWriting())
    {
        CDebugTrace::Log(L"CService::ProcessOwners() - " + CorvaneTools::PerfMon::CPerformanceDataBlock::LockTimeoutMessage() +
                         L"; this sample's connections by process are not published");
    }
}

const CTcpTableBuffer &CTcpStatistics::GetBuffer(bool isIPv4) const
{
    return isIPv4 ? m_ipv4Buffer : m_ipv6Buffer;
}

const CProcessConnections &CTcpStatistics::GetProcessConnections() const
{
    return m_processes;
}

void CTcpStatistics::Process(const TableKind &kind, CTcpTableBuffer &buffer, bool isIPv4)
{
    // Without a log, a poll builds no text and so allocates nothing.
    if (CDebugTrace::IsWriting())
    {
        CDebugTrace::Log(kind.started + Now());
    }
    Fetch(kind, buffer);
    TcpStateCounts counts;
    Count(kind, buffer, counts);
    UpdateCounters(counts, isIPv4);
}

// A table that grows between the size answer and the next call just costs another round.
void CTcpStatistics::Fetch(const TableKind &kind, CTcpTableBuffer &buffer)
{
    for (;;)
    {
        DWORD size = buffer.GetCapacity();
        const DWORD result = (m_tables.*kind.call)(buffer.GetData(), &size);
        if (result == NO_ERROR)
        {
            return;
        }
        if (result != ERROR_INSUFFICIENT_BUFFER)
        {
            throw CWin32Exception(kind.where, kind.failure, result);
        }
        buffer.GrowTo(size);
    }
}

// Only the state and the owner of each row are read; rows the buffer cannot hold are not
// read at all.
void CTcpStatistics::Count(const TableKind &kind, const CTcpTableBuffer &buffer, TcpStateCounts &counts)
{
    std::fill(counts.counts, counts.counts + TcpStateCounts::NumStates, 0);
    const BYTE *data = buffer.GetData();
    if (buffer.GetCapacity() < sizeof(DWORD))
    {
        return;
    }
    DWORD entries;
    std::memcpy(&entries, data, sizeof(entries));
    entries = std::min(entries, (buffer.GetCapacity() - static_cast<DWORD>(sizeof(DWORD))) / kind.rowSize);
    const BYTE *row = data + sizeof(DWORD);
    for (DWORD i = 0; i < entries; ++i, row += kind.rowSize)
    {
        DWORD state;
        DWORD pid;
        std::memcpy(&state, row + kind.stateOffset, sizeof(state));
        std::memcpy(&pid, row + kind.pidOffset, sizeof(pid));
        if (state - 1 >= TcpStateCounts::NumStates)
        {
            throw CException(kind.where, L"Unknown TCP state: " + ToString(state));
        }
        ++counts.counts[state - 1];
        m_processes.Add(pid, state - 1);
    }
}

void CTcpStatistics::UpdateCounters(const TcpStateCounts &counts, bool isIPv4)
{
    if (m_counters)
    {
        for (DWORD i = 0; i < TcpStateCounts::NumStates; ++i)
        {
            if (i == TimeWaitIndex)
            {
                m_counters->SetTimeWait(static_cast<int>(counts.counts[i]), isIPv4);
            }
            else
            {
                (m_counters->*s_states[i].setter)(counts.counts[i], isIPv4);
            }
        }
    }
    const bool writing = CDebugTrace::IsWriting();
    for (DWORD i = 0; writing && i < TcpStateCounts::NumStates; ++i)
    {
        if (counts.counts[i] != 0)
        {
            CDebugTrace::Log(s_states[i].label + ToString(counts.counts[i]));
        }
    }
}

void CTcpStatistics::CheckMaxUserPortValue()
{
    const DWORD value = ReadParameter(L"MaxUserPort", L"CService::CheckMaxUserPortValue()");
    if (m_counters)
    {
        m_counters->SetMaxUserPort(value);
    }
}

void CTcpStatistics::CheckTcpTimedWaitDelayValue()
{
    // The texts name the other check, as the service has always logged them.
    const DWORD value = ReadParameter(L"TcpTimedWaitDelay", L"CService::ReadMaxUserPortValue()");
    if (m_counters)
    {
        m_counters->SetTcpTimedWaitDelay(value);
    }
}

} // namespace TessalyService
} // namespace CorvaneTools
