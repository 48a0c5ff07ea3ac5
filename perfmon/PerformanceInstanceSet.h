#pragma once

#include "perfmon/PerformanceDataSchema.h"

#include <windows.h>

#include <memory>

namespace CorvaneTools {
namespace PerfMon {

// One sample's instances of an object, staged in the writer's own memory in exactly the form
// the block holds them, so that publishing them is one copy under the block's lock. Sized
// from the schema at construction; filling it allocates nothing.
//
// Each instance is the platform's instance definition with no parent and no unique id, its
// name in UTF-16 with a terminator right after it, and its length padded to a multiple of 8
// ("the length of the instance definition ... must be a multiple of 8 bytes",
// PERF_INSTANCE_DEFINITION).
class CPerformanceInstanceSet
{
public:
    explicit CPerformanceInstanceSet(const CPerformanceDataSchema::Object &object);
    // For an object of numCounters counters (each with its 8-byte slot) and these slots.
    CPerformanceInstanceSet(DWORD numSlots, DWORD instanceNameBytes, DWORD numCounters);

    CPerformanceInstanceSet(const CPerformanceInstanceSet &) = delete;
    CPerformanceInstanceSet &operator=(const CPerformanceInstanceSet &) = delete;

    void Clear();
    // The next instance, all its values 0; a name longer than the slot holds is cut to fit.
    // Returns its index. Throws when every slot is taken.
    DWORD Add(const wchar_t *name, size_t length);
    // Of counter k, in the order the object's counters were added.
    void SetValue(DWORD instance, DWORD counter, DWORD value);

    DWORD GetCount() const;
    DWORD GetNumSlots() const;
    DWORD GetSlotLength() const;
    DWORD GetDataSize() const;
    // The longest name a slot holds, in characters, without its terminator.
    DWORD GetMaxNameLength() const;
    const BYTE *GetSlot(DWORD instance) const;
    const BYTE *GetData(DWORD instance) const;

private:
    const DWORD m_numSlots;
    const DWORD m_slotLength;
    const DWORD m_dataSize;
    std::unique_ptr<BYTE[]> m_slots;
    std::unique_ptr<BYTE[]> m_data;
    DWORD m_count;
};

} // namespace PerfMon
} // namespace CorvaneTools
