#pragma once

#include <windows.h>

#include <memory>

namespace CorvaneTools {
namespace TessalyService {

// One sample's connections counted per owning process, in fixed-size tables sized at
// construction, so that counting and ranking allocate nothing. Owners beyond the capacity
// are not lost: their rows are counted together as the overflow.
class COwnerConnectionTable
{
public:
    static const DWORD NumStates = 12;
    // Distinct owners a sample tells apart.
    static const DWORD Capacity = 4096;

    struct Owner
    {
        DWORD pid;
        DWORD connections;
        DWORD states[NumStates]; // index = state value - 1

        void Count(DWORD stateIndex)
        {
            ++connections;
            ++states[stateIndex];
        }
    };

    COwnerConnectionTable();
    COwnerConnectionTable(const COwnerConnectionTable &) = delete;
    COwnerConnectionTable &operator=(const COwnerConnectionTable &) = delete;

    void Clear();
    // A row of a process other than 0; stateIndex below NumStates.
    void Add(DWORD pid, DWORD stateIndex)
    {
        (pid == m_lastPid ? *m_last : Find(pid)).Count(stateIndex);
    }

    DWORD GetCount() const;
    const Owner &Get(DWORD index) const;
    // The rows of owners met once the table was full; pid 0.
    const Owner &GetOverflow() const;
    bool Contains(DWORD pid) const;

    // Orders the owners by connections, most first, then by process id, as far as the
    // first `count`; returns how many that is (at most the owners there are). Get then
    // takes a rank through GetRanked.
    DWORD Rank(DWORD count);
    const Owner &GetRanked(DWORD rank) const;

private:
    static const DWORD NumBuckets = Capacity * 2;

    Owner &Find(DWORD pid);
    // The bucket that holds the process, or the empty one where it would go.
    DWORD Probe(DWORD pid) const;
    static DWORD BucketOf(DWORD pid);

    std::unique_ptr<Owner[]> m_owners;
    // Index + 1 into m_owners; 0 marks an empty bucket.
    std::unique_ptr<DWORD[]> m_buckets;
    std::unique_ptr<DWORD[]> m_ranking;
    DWORD m_count;
    Owner m_overflow;
    DWORD m_lastPid;
    Owner *m_last;
};

} // namespace TessalyService
} // namespace CorvaneTools
