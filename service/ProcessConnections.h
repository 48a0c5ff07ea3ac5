#pragma once

#include "perfmon/PerformanceInstanceSet.h"
#include "service/OwnerConnectionTable.h"
#include "service/ProcessNameCache.h"

#include <windows.h>

namespace CorvaneTools {
namespace TessalyService {

class CPerformanceCounters;

// One sample's rows of both TCP tables by owning process, turned into the process
// connections object's instances: the busiest processes by name, then _Unowned (process
// 0), _Other (every process beyond them) and _Total (every row).
class CProcessConnections
{
public:
    explicit CProcessConnections(IProcessIdentities &identities);
    CProcessConnections(const CProcessConnections &) = delete;
    CProcessConnections &operator=(const CProcessConnections &) = delete;

    void BeginSample();
    // stateIndex = state value - 1, already checked to be below the number of states.
    void Add(DWORD pid, DWORD stateIndex)
    {
        m_total.Count(stateIndex);
        if (pid == 0)
        {
            m_unowned.Count(stateIndex);
        }
        else
        {
            m_owners.Add(pid, stateIndex);
        }
    }
    // Ranks and names the sample's owners into the instance set.
    void EndSample();

    const CorvaneTools::PerfMon::CPerformanceInstanceSet &GetInstances() const;
    const COwnerConnectionTable &GetOwners() const;
    const CProcessNameCache &GetNames() const;

private:
    typedef COwnerConnectionTable::Owner Counts;

    void AddInstance(const wchar_t *name, DWORD length, const Counts &counts);
    static void Accumulate(Counts &sum, const Counts &counts);

    COwnerConnectionTable m_owners;
    CProcessNameCache m_names;
    CorvaneTools::PerfMon::CPerformanceInstanceSet m_instances;
    Counts m_unowned;
    Counts m_total;
};

} // namespace TessalyService
} // namespace CorvaneTools
