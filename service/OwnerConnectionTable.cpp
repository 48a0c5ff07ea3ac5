#include "service/OwnerConnectionTable.h"

#include <algorithm>
#include <cstring>

namespace CorvaneTools {
namespace TessalyService {

COwnerConnectionTable::COwnerConnectionTable()
    : m_owners(new Owner[Capacity]),
      m_buckets(new DWORD[NumBuckets]()),
      m_ranking(new DWORD[Capacity]),
      m_count(0),
      m_overflow(),
      m_lastPid(0),
      m_last(&m_overflow)
{
}

void COwnerConnectionTable::Clear()
{
    // Only the buckets in use are emptied: a sample costs its owners, not the capacity.
    for (DWORD i = 0; i < m_count; ++i)
    {
        DWORD bucket = BucketOf(m_owners[i].pid);
        while (m_buckets[bucket] != i + 1)
        {
            bucket = (bucket + 1) % NumBuckets;
        }
        m_buckets[bucket] = 0;
    }
    m_count = 0;
    m_overflow = Owner();
    // Process 0 never comes here, so the first row of any process misses the shortcut.
    m_lastPid = 0;
    m_last = &m_overflow;
}

DWORD COwnerConnectionTable::BucketOf(DWORD pid)
{
    // Process ids are multiples of 4 on the platform; the multiply spreads what is left.
    return static_cast<DWORD>((static_cast<unsigned long long>((pid >> 2) * 2654435761u) * NumBuckets) >> 32);
}

DWORD COwnerConnectionTable::Probe(DWORD pid) const
{
    DWORD bucket = BucketOf(pid);
    while (m_buckets[bucket] != 0 && m_owners[m_buckets[bucket] - 1].pid != pid)
    {
        bucket = (bucket + 1) % NumBuckets;
    }
    return bucket;
}

COwnerConnectionTable::Owner &COwnerConnectionTable::Find(DWORD pid)
{
    const DWORD bucket = Probe(pid);
    if (m_buckets[bucket] == 0)
    {
        if (m_count == Capacity)
        {
            return m_overflow;
        }
        m_owners[m_count] = Owner();
        m_owners[m_count].pid = pid;
        m_buckets[bucket] = ++m_count;
    }
    m_lastPid = pid;
    m_last = &m_owners[m_buckets[bucket] - 1];
    return *m_last;
}

DWORD COwnerConnectionTable::GetCount() const
{
    return m_count;
}

const COwnerConnectionTable::Owner &COwnerConnectionTable::Get(DWORD index) const
{
    return m_owners[index];
}

const COwnerConnectionTable::Owner &COwnerConnectionTable::GetOverflow() const
{
    return m_overflow;
}

bool COwnerConnectionTable::Contains(DWORD pid) const
{
    return m_buckets[Probe(pid)] != 0;
}

DWORD COwnerConnectionTable::Rank(DWORD count)
{
    for (DWORD i = 0; i < m_count; ++i)
    {
        m_ranking[i] = i;
    }
    const DWORD ranked = std::min(count, m_count);
    const Owner *owners = m_owners.get();
    std::partial_sort(m_ranking.get(), m_ranking.get() + ranked, m_ranking.get() + m_count,
                      [owners](DWORD a, DWORD b) {
                          return owners[a].connections != owners[b].connections
                                     ? owners[a].connections > owners[b].connections
                                     : owners[a].pid < owners[b].pid;
                      });
    return ranked;
}

const COwnerConnectionTable::Owner &COwnerConnectionTable::GetRanked(DWORD rank) const
{
    return m_owners[m_ranking[rank]];
}

} // namespace TessalyService
} // namespace CorvaneTools
