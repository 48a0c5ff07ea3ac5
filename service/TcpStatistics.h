#pragma once

#include "service/PerformanceCounters.h"
#include "service/ProcessConnections.h"
#include "service/ProcessIdentities.h"
#include "service/TcpTables.h"

#include <windows.h>

#include <memory>

namespace CorvaneTools {
namespace TessalyService {

// Connections per TCP state of one sample; index = state value - 1.
struct TcpStateCounts
{
    static const DWORD NumStates = 12;
    DWORD counts[NumStates];
};

// A table's memory, kept across samples and only ever grown, so that a steady state
// allocates nothing.
class CTcpTableBuffer
{
public:
    CTcpTableBuffer();
    CTcpTableBuffer(const CTcpTableBuffer &) = delete;
    CTcpTableBuffer &operator=(const CTcpTableBuffer &) = delete;

    // Exactly this size when larger than now; a buffer already large enough is kept.
    void GrowTo(DWORD size);
    BYTE *GetData() const;
    DWORD GetCapacity() const;

private:
    std::unique_ptr<BYTE[]> m_data;
    DWORD m_capacity;
};

// Samples the TCP tables into the counter set. Owned by the service; sampling runs on
// the polling thread only, the two registry checks on the service's main routine thread.
class CTcpStatistics
{
public:
    // The platform's processes name the owners.
    explicit CTcpStatistics(ITcpTables &tables);
    CTcpStatistics(ITcpTables &tables, IProcessIdentities &identities);
    CTcpStatistics(const CTcpStatistics &) = delete;
    CTcpStatistics &operator=(const CTcpStatistics &) = delete;

    // Null while the service has no counter set: samples are then only logged.
    void SetCounters(CPerformanceCounters *counters);
    bool HasTcp6Table() const;

    // A sample: ProcessStats (which begins it), ProcessStatsIPv6 when there is an IPv6
    // table, then ProcessOwners, which publishes the rows of both by owning process.
    void ProcessStats();
    void ProcessStatsIPv6();
    void ProcessOwners();
    void UpdateCounters(const TcpStateCounts &counts, bool isIPv4);

    // Never throw: any problem gives the counter 0 and a log line.
    void CheckMaxUserPortValue();
    void CheckTcpTimedWaitDelayValue();

    const CTcpTableBuffer &GetBuffer(bool isIPv4) const;
    const CProcessConnections &GetProcessConnections() const;

private:
    typedef DWORD (ITcpTables::*TableCall)(void *table, DWORD *size);

    struct TableKind
    {
        const wchar_t *where;
        const wchar_t *failure;
        const wchar_t *started;
        TableCall call;
        DWORD rowSize;
        DWORD stateOffset;
        DWORD pidOffset;
    };

    void Process(const TableKind &kind, CTcpTableBuffer &buffer, bool isIPv4);
    void Fetch(const TableKind &kind, CTcpTableBuffer &buffer);
    void Count(const TableKind &kind, const CTcpTableBuffer &buffer, TcpStateCounts &counts);

    static const TableKind IPv4Table;
    static const TableKind IPv6Table;

    ITcpTables &m_tables;
    CPerformanceCounters *m_counters;
    CTcpTableBuffer m_ipv4Buffer;
    CTcpTableBuffer m_ipv6Buffer;
    CProcessConnections m_processes;
};

} // namespace TessalyService
} // namespace CorvaneTools
