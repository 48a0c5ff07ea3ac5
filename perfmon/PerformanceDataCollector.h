#pragma once

#include "perfmon/ICollectPerformanceData.h"
#include "perfmon/PerformanceDataBlock.h"
#include "perfmon/PerformanceDataBlockLayout.h"
#include "perfmon/PerformanceDataSchema.h"
#include "perfmon/ServedDefinitions.h"
#include "win32/handles/KernelObjectName.h"

#include <memory>
#include <string>

namespace CorvaneTools {
namespace PerfMon {

// The counter DLL's reader of the shared data block: answers the performance library's
// requests with the program's own definitions and the values found in the block.
//
// A reader never makes the block: it opens the one the writer made, read-only, the first
// time it is needed and again, at most once per collect, while there is none. Until then,
// and while the block is not laid out, every requested object is served with zeros, so
// that a consumer started first keeps its counters.
//
// Every process may write the block, so nothing found in it is trusted: under the lock, at
// every Collect, the block's layout is held against the DLL's own schema before it is
// walked, and every copy is sized by the schema or by a value checked as it was read.
class CPerformanceDataCollector : public ICollectPerformanceData
{
public:
    struct ObjectEntry
    {
        DWORD titleIndex;
        wchar_t key[12]; // the title index in decimal, as requests name it
        size_t keyLength;
        bool selected;
        bool hasInstances;
        DWORD definitionLength;
        // In the block; null while none is open.
        const BYTE *record;
        DWORD dataSize;
        const BYTE *data;
        DWORD index; // in the block's layout
        DWORD numInstances; // slots; 0 without instances
        DWORD slotLength;
        const CServedDefinitions::Object *served;
    };

    // The security attributes are no longer used: a reader creates nothing.
    CPerformanceDataCollector(const Win32::IKernelObjectName &name, const CPerformanceDataSchema &schema,
                              DWORD firstTitleIndex, SECURITY_ATTRIBUTES *securityAttributes = nullptr);
    ~CPerformanceDataCollector() override;

    CPerformanceDataCollector(const CPerformanceDataCollector &) = delete;
    CPerformanceDataCollector &operator=(const CPerformanceDataCollector &) = delete;

    void Open(const wchar_t *deviceNames) override;
    void Close() override;
    bool Collect(const wchar_t *valueName, void *&data, DWORD &totalBytes, DWORD &numObjectTypes) override;

    // Why the last attempt to open the block failed; empty when it is open or simply does
    // not exist yet.
    const std::wstring &GetBlockError() const;
    bool IsBlockOpen() const;

    ObjectEntry &FindObjectByIndex(DWORD titleIndex) const;
    // The ordinal among the in-use slots of the object's slot slotIndex.
    LONG GetActiveInstanceFromIndex(DWORD objectTitleIndex, LONG slotIndex) const;

private:
    void OpenBlock();
    void PointIntoBlock();
    bool Serve(const wchar_t *valueName, BYTE *begin, DWORD available, bool live, DWORD &totalBytes,
               DWORD &numObjectTypes, void *&data);
    DWORD InUseSlotLength(const ObjectEntry &entry, const BYTE *slot) const;
    // Calls visit(slot index, slot, its length) for each slot in use, until as many as the
    // active count have been met; returns how many were.
    template <typename Visit>
    DWORD VisitInUseSlots(const ObjectEntry &entry, DWORD active, Visit visit) const;
    unsigned __int64 GetObjectSize(ObjectEntry &entry, bool live);
    DWORD WriteObject(const ObjectEntry &entry, BYTE *&data, unsigned __int64 limit, bool live) const;
    // One in-use slot's instance definition, padded, its parent made an active index, then
    // its counter block; returns where they end.
    BYTE *CopyInstance(const ObjectEntry &entry, DWORD slotIndex, const BYTE *slot, DWORD length, DWORD padded,
                       BYTE *out) const;

    const Win32::CKernelObjectNameImpl m_name;
    const std::wstring m_sectionName;
    const CPerformanceDataSchema &m_schema;
    const DWORD m_numObjects;
    const CServedDefinitions m_served;
    const CPerformanceDataBlockLayout m_layout;
    std::unique_ptr<ObjectEntry[]> m_objects;
    std::unique_ptr<CPerformanceDataBlock> m_block;
    bool m_open;
    std::wstring m_blockError;
};

} // namespace PerfMon
} // namespace CorvaneTools
