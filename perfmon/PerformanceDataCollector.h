#pragma once

#include "perfmon/ICollectPerformanceData.h"
#include "perfmon/PerformanceDataBlock.h"
#include "perfmon/PerformanceDataBlockLayout.h"
#include "perfmon/PerformanceDataSchema.h"
#include "win32/KernelObjectName.h"

#include <memory>
#include <string>

namespace CorvaneTools {
namespace PerfMon {

// The counter DLL's reader of the shared data block: answers the performance library's
// requests by copying the requested objects out of the block in the platform's format.
//
// Every process may write the block, so nothing found in it is trusted: under the lock, at
// every Collect, the block's layout is held against the DLL's own schema before it is
// walked, and every copy is sized by the schema or by a value checked as it was read.
class CPerformanceDataCollector : public ICollectPerformanceData
{
public:
    struct ObjectEntry
    {
        std::wstring matchKey; // " <title index> "
        DWORD titleIndex;
        bool selected;
        bool hasInstances;
        DWORD definitionLength;
        const BYTE *record;
        DWORD dataSize;
        const BYTE *data;
        DWORD index; // in the block's layout
        DWORD numInstances; // slots; 0 without instances
        DWORD slotLength;
    };

    CPerformanceDataCollector(const Win32::IKernelObjectName &name, const CPerformanceDataSchema &schema,
                              DWORD firstTitleIndex, SECURITY_ATTRIBUTES *securityAttributes);
    ~CPerformanceDataCollector() override;

    CPerformanceDataCollector(const CPerformanceDataCollector &) = delete;
    CPerformanceDataCollector &operator=(const CPerformanceDataCollector &) = delete;

    void Open(const wchar_t *deviceNames) override;
    void Close() override;
    bool Collect(const wchar_t *valueName, void *&data, DWORD &totalBytes, DWORD &numObjectTypes) override;

    ObjectEntry &FindObjectByIndex(DWORD titleIndex) const;
    // The ordinal among the in-use slots of the object's slot slotIndex.
    LONG GetActiveInstanceFromIndex(DWORD objectTitleIndex, LONG slotIndex) const;

private:
    void BuildObjectTable();
    DWORD InUseSlotLength(const ObjectEntry &entry, const BYTE *slot) const;
    // Calls visit(slot index, slot, its length) for each slot in use, until as many as the
    // active count have been met; returns how many were.
    template <typename Visit>
    DWORD VisitInUseSlots(const ObjectEntry &entry, DWORD active, Visit visit) const;
    unsigned __int64 GetObjectSize(ObjectEntry &entry);
    DWORD WriteObject(const ObjectEntry &entry, BYTE *&data, unsigned __int64 limit) const;

    const Win32::CKernelObjectNameImpl m_name;
    const CPerformanceDataSchema &m_schema;
    const DWORD m_firstTitleIndex;
    SECURITY_ATTRIBUTES *const m_securityAttributes;
    std::unique_ptr<CPerformanceDataBlock> m_block;
    std::unique_ptr<ObjectEntry[]> m_objects;
    const DWORD m_numObjects;
    std::unique_ptr<CPerformanceDataBlockLayout> m_layout;
};

} // namespace PerfMon
} // namespace CorvaneTools
