#include "service/ProcessConnections.h"

#include "counters/ProcessConnectionsSchema.h"

#include <cwchar>

namespace CorvaneTools {
namespace TessalyService {

using namespace Counters;

CProcessConnections::CProcessConnections(IProcessIdentities &identities)
    : m_names(identities),
      m_instances(ProcessInstanceSlots, ProcessInstanceNameBytes, NumProcessConnectionsCounters),
      m_unowned(),
      m_total()
{
}

void CProcessConnections::BeginSample()
{
    m_owners.Clear();
    m_unowned = Counts();
    m_total = Counts();
}

void CProcessConnections::Accumulate(Counts &sum, const Counts &counts)
{
    sum.connections += counts.connections;
    for (DWORD s = 0; s < COwnerConnectionTable::NumStates; ++s)
    {
        sum.states[s] += counts.states[s];
    }
}

void CProcessConnections::AddInstance(const wchar_t *name, DWORD length, const Counts &counts)
{
    const DWORD instance = m_instances.Add(name, length);
    m_instances.SetValue(instance, ProcessConnections, counts.connections);
    for (DWORD s = 0; s < COwnerConnectionTable::NumStates; ++s)
    {
        m_instances.SetValue(instance, ProcessClosed + s, counts.states[s]);
    }
}

void CProcessConnections::EndSample()
{
    m_instances.Clear();
    const DWORD named = m_owners.Rank(MaxProcessInstances);
    for (DWORD rank = 0; rank < named; ++rank)
    {
        const Counts &owner = m_owners.GetRanked(rank);
        DWORD length = 0;
        const wchar_t *name = m_names.NameOf(owner.pid, length);
        AddInstance(name, length, owner);
    }
    Counts other = m_owners.GetOverflow();
    for (DWORD rank = named; rank < m_owners.GetCount(); ++rank)
    {
        Accumulate(other, m_owners.GetRanked(rank));
    }
    m_names.Forget(m_owners);
    AddInstance(UnownedInstanceName, static_cast<DWORD>(std::wcslen(UnownedInstanceName)), m_unowned);
    AddInstance(OtherInstanceName, static_cast<DWORD>(std::wcslen(OtherInstanceName)), other);
    AddInstance(TotalInstanceName, static_cast<DWORD>(std::wcslen(TotalInstanceName)), m_total);
}

const CorvaneTools::PerfMon::CPerformanceInstanceSet &CProcessConnections::GetInstances() const
{
    return m_instances;
}

const COwnerConnectionTable &CProcessConnections::GetOwners() const
{
    return m_owners;
}

const CProcessNameCache &CProcessConnections::GetNames() const
{
    return m_names;
}

} // namespace TessalyService
} // namespace CorvaneTools
