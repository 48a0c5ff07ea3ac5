#pragma once

#include "perfmon/PerformanceDataBlock.h"
#include "perfmon/PerformanceDataBlockLayout.h"
#include "perfmon/PerformanceDataSchema.h"
#include "perfmon/PerformanceInstanceSet.h"

#include <map>
#include <memory>
#include <string>

namespace CorvaneTools {
namespace PerfMon {

// The writer's side of a data block: names are resolved once into the addresses of the
// counters' value slots, and values are stored through them without a look-up or a lock.
class CPerformanceMonitorCounters : public Win32::ICriticalSection
{
public:
    class ObjectIndex;
    // Opaque; valid for the lifetime of the counters object that returned it.
    typedef const ObjectIndex *ObjectId;
    // The address of a counter's 8-byte value slot in the block.
    typedef volatile LONG *CounterHandle;

    class ObjectIndex
    {
    public:
        // Every address from the block's layout, none from the fields of its records.
        ObjectIndex(const CPerformanceDataBlockLayout::Object &layout, BYTE *record, BYTE *data);

        CounterHandle FindCounter(const std::wstring &name) const;
        bool HasInstances() const;
        void Reset() const;
        // With the block's lock held; none for a null set.
        void CopyInstances(const CPerformanceInstanceSet *set) const;

    private:
        const CPerformanceDataBlockLayout::Object &m_layout;
        const bool m_hasInstances;
        const DWORD m_dataSize;
        std::map<std::wstring, CounterHandle> m_counters;
        BYTE *const m_record;
        BYTE *const m_data;
    };

    // Refuses a block another process laid out otherwise than the schema does, naming the
    // first field that disagrees; nothing is written into it then. Title indexes are not
    // the writer's to check: they steer no address, and the process that laid the block out
    // may have read a newer installation than this one.
    CPerformanceMonitorCounters(const Win32::IKernelObjectName &name, const CPerformanceDataSchema &schema,
                                DWORD firstTitleIndex, SECURITY_ATTRIBUTES *securityAttributes);
    ~CPerformanceMonitorCounters();

    CPerformanceMonitorCounters(const CPerformanceMonitorCounters &) = delete;
    CPerformanceMonitorCounters &operator=(const CPerformanceMonitorCounters &) = delete;

    // Also clears the object's values.
    ObjectId GetPerformanceObject(const std::wstring &objectName);
    // An object with instances, which are only ever published whole.
    ObjectId GetInstanceObject(const std::wstring &objectName);
    CounterHandle GetPerformanceCounter(ObjectId object, const std::wstring &counterName) const;

    // One atomic 32-bit store into the low half of the slot; the high half stays 0.
    static void SetCounterValue(CounterHandle counter, DWORD value)
    {
        ::InterlockedExchange(counter, static_cast<LONG>(value));
    }

    // Replaces the object's instances and their values by the set's in one hold of the
    // block's lock, under which every reader copies, so that no reader sees part of one
    // sample's set and part of another's. False, with nothing changed, when the lock was
    // not had within the block's lock timeout: a process that holds it cannot stall the
    // writer.
    bool PublishInstances(ObjectId object, const CPerformanceInstanceSet &set);

    // An object with instances is left with none (when the lock is had in time).
    void ResetPerformanceObject(ObjectId object);

    bool TryEnter() override;
    void Enter() override;
    void Leave() override;
    bool IsLockedByThisThread() const override;

    const CPerformanceDataBlock &GetDataBlock() const;

private:
    void BuildObjectIndex(const CPerformanceDataSchema &schema);
    const ObjectIndex &FindObjectByName(const std::wstring &name) const;
    const ObjectIndex &ObjectIdToObjectIndex(ObjectId object) const;

    CPerformanceDataBlock m_block;
    const CPerformanceDataBlockLayout m_layout;
    std::map<std::wstring, std::unique_ptr<ObjectIndex>> m_objectsByName;
    std::map<ObjectId, std::wstring> m_objectNamesById;
};

} // namespace PerfMon
} // namespace CorvaneTools
