#include "perfmon/PerformanceDataCollector.h"

#include "perfmon/PerformanceDataBlockNames.h"
#include "perfmon/PerformanceDataRequest.h"
#include "perfmon/RecordFields.h"

#include "win32/errors/Exception.h"
#include "win32/sync/LockOwner.h"
#include "win32/text/ToString.h"

#include <cstring>
#include <cwchar>

namespace CorvaneTools {
namespace PerfMon {

using namespace Win32;

namespace {

const wchar_t *const s_collectWhere = L"CPerformanceDataCollector::Collect()";
const wchar_t *const s_activeInstanceWhere = L"CPerformanceDataCollector::GetActiveInstanceFromIndex()";
const wchar_t *const s_notOpen = L"Error: collector has not been opened";
const wchar_t *const s_corrupt = L"Performance data block is corrupt: ";

std::wstring Unsigned(unsigned __int64 value)
{
    return ToString(value);
}

unsigned __int64 RoundUp8(unsigned __int64 size)
{
    return (size + 7) & ~static_cast<unsigned __int64>(7);
}

} // namespace

CPerformanceDataCollector::CPerformanceDataCollector(const IKernelObjectName &name, const CPerformanceDataSchema &schema,
                                                     DWORD firstTitleIndex, SECURITY_ATTRIBUTES *)
    : m_name(name.GetName()),
      m_sectionName(CUnqualifiedName(CPerformanceDataBlockNames(name).Section()).GetName()),
      m_schema(schema),
      m_numObjects(static_cast<DWORD>(schema.GetNumObjects())),
      m_served(schema, firstTitleIndex),
      m_layout(schema, CPerformanceDataBlock::HeaderSize + schema.GetTotalSize(), s_collectWhere),
      m_objects(new ObjectEntry[m_numObjects]),
      m_open(false)
{
    for (DWORD i = 0; i < m_numObjects; ++i)
    {
        const CPerformanceDataBlockLayout::Object &layout = m_layout.GetObject(i);
        ObjectEntry &entry = m_objects[i];
        entry.served = &m_served.GetObject(i);
        entry.titleIndex = entry.served->titleIndex;
        entry.keyLength = static_cast<size_t>(
            std::swprintf(entry.key, sizeof(entry.key) / sizeof(entry.key[0]), L"%lu",
                          static_cast<unsigned long>(entry.titleIndex)));
        entry.selected = false;
        entry.hasInstances = layout.hasInstances;
        entry.definitionLength = entry.served->definitionLength;
        entry.record = nullptr;
        entry.dataSize = layout.dataSize;
        entry.data = nullptr;
        entry.index = i;
        entry.numInstances = layout.numInstances;
        entry.slotLength = layout.slotLength;
    }
}

CPerformanceDataCollector::~CPerformanceDataCollector() = default;

void CPerformanceDataCollector::Open(const wchar_t *)
{
    if (m_open)
    {
        throw CException(L"CPerformanceDataCollector::Open()", L"Error: collector is alread open");
    }
    m_open = true;
    OpenBlock();
}

void CPerformanceDataCollector::Close()
{
    if (!m_open)
    {
        throw CException(L"CPerformanceDataCollector::Close()", s_notOpen);
    }
    m_open = false;
    m_block.reset();
    PointIntoBlock();
}

DWORD CPerformanceDataCollector::InUseSlotLength(const ObjectEntry &entry, const BYTE *slot) const
{
    const DWORD length = Snapshot32(slot + InstanceField::ByteLength);
    if (length != 0)
    {
        const DWORD index = static_cast<DWORD>((slot - entry.record - entry.definitionLength) / entry.slotLength);
        m_layout.CheckInstanceDefinition(entry.index, index, length, Snapshot32(slot + InstanceField::NameOffset),
                                         Snapshot32(slot + InstanceField::NameLength));
    }
    return length;
}

bool CPerformanceDataCollector::Collect(const wchar_t *valueName, void *&data, DWORD &totalBytes,
                                        DWORD &numObjectTypes)
{
    numObjectTypes = 0;
    if (!m_open)
    {
        totalBytes = 0;
        throw CException(s_collectWhere, s_notOpen);
    }
    BYTE *const begin = static_cast<BYTE *>(data);
    const DWORD available = totalBytes;
    try
    {
        if (!m_block)
        {
            OpenBlock();
        }
        if (!m_block)
        {
            return Serve(valueName, begin, available, false, totalBytes, numObjectTypes, data);
        }
        // A holder that never lets go (one killed mid-copy that no waiter could recover
        // from) must not hang the reader's thread.
        TTimedLockOwner<CPerformanceDataBlock> lock(*m_block, CPerformanceDataBlock::LockTimeoutMs);
        if (!lock.IsHeld())
        {
            throw CException(s_collectWhere, CPerformanceDataBlock::LockTimeoutMessage());
        }
        // A block still being laid out holds no values yet.
        const bool live = m_block->IsInitialised();
        if (live)
        {
            m_layout.Validate(m_block->GetBlock());
        }
        return Serve(valueName, begin, available, live, totalBytes, numObjectTypes, data);
    }
    catch (...)
    {
        totalBytes = 0;
        numObjectTypes = 0;
        data = begin;
        throw;
    }
}

bool CPerformanceDataCollector::Serve(const wchar_t *valueName, BYTE *begin, DWORD available, bool live,
                                      DWORD &totalBytes, DWORD &numObjectTypes, void *&data)
{
    const CPerformanceDataRequest request(valueName);
    for (DWORD i = 0; i < m_numObjects; ++i)
    {
        m_objects[i].selected = false;
    }
    unsigned __int64 needed = 0;
    for (DWORD i = 0; i < m_numObjects; ++i)
    {
        ObjectEntry &entry = m_objects[i];
        if (!entry.selected && request.Selects(entry.key, entry.keyLength))
        {
            entry.selected = true;
            needed += GetObjectSize(entry, live);
        }
    }
    if (needed > available)
    {
        totalBytes = 0;
        return false;
    }
    BYTE *out = begin;
    unsigned __int64 remaining = needed;
    DWORD written = 0;
    for (DWORD i = 0; i < m_numObjects && remaining > 0; ++i)
    {
        if (m_objects[i].selected)
        {
            remaining -= WriteObject(m_objects[i], out, remaining, live);
            ++written;
        }
    }
    if (remaining != 0)
    {
        m_layout.Corrupt(L"instance data changed while it was copied");
    }
    totalBytes = static_cast<DWORD>(needed);
    numObjectTypes = written;
    data = out;
    return true;
}

template <typename Visit>
DWORD CPerformanceDataCollector::VisitInUseSlots(const ObjectEntry &entry, DWORD active, Visit visit) const
{
    DWORD met = 0;
    const BYTE *slot = entry.record + entry.definitionLength;
    for (DWORD i = 0; i < entry.numInstances && met < active; ++i, slot += entry.slotLength)
    {
        const DWORD length = InUseSlotLength(entry, slot);
        if (length != 0)
        {
            ++met;
            visit(i, slot, length);
        }
    }
    return met;
}

unsigned __int64 CPerformanceDataCollector::GetObjectSize(ObjectEntry &entry, bool live)
{
    unsigned __int64 size = entry.definitionLength;
    if (!entry.hasInstances)
    {
        return RoundUp8(size + entry.served->counterBlockLength);
    }
    if (!live)
    {
        return RoundUp8(size);
    }
    const DWORD active = m_layout.ActiveInstances(entry.record, entry.index);
    const DWORD met = VisitInUseSlots(entry, active, [&](DWORD, const BYTE *slot, DWORD length) {
        size += RoundUp8(length) + entry.served->counterBlockLength;
        const DWORD parentIndex = Snapshot32(slot + InstanceField::ParentObjectTitleIndex);
        if (parentIndex != 0)
        {
            ObjectEntry &parent = FindObjectByIndex(parentIndex);
            if (!parent.selected)
            {
                parent.selected = true;
                size += GetObjectSize(parent, live);
            }
        }
    });
    if (met < active)
    {
        m_layout.Corrupt(CPerformanceDataBlockLayout::ObjectName(entry.index) + L" active instance count is " +
                         Unsigned(active) + L", only " + Unsigned(met) + L" slots are in use");
    }
    return RoundUp8(size);
}

DWORD CPerformanceDataCollector::WriteObject(const ObjectEntry &entry, BYTE *&data, unsigned __int64 limit,
                                             bool live) const
{
    BYTE *const start = data;
    BYTE *out = start;
    const CServedDefinitions::Object &served = *entry.served;
    // What was sized may have changed since; the caller's buffer is never written past.
    const auto reserve = [&](unsigned __int64 bytes) {
        if (static_cast<unsigned __int64>(out - start) + bytes > limit)
        {
            m_layout.Corrupt(CPerformanceDataBlockLayout::ObjectName(entry.index) + L" changed while it was copied");
        }
    };
    reserve(entry.definitionLength);
    std::memcpy(out, served.definition, entry.definitionLength);
    out += entry.definitionLength;

    DWORD active = 0;
    if (entry.hasInstances && live)
    {
        active = m_layout.ActiveInstances(entry.record, entry.index);
        const DWORD met = VisitInUseSlots(entry, active, [&](DWORD i, const BYTE *slot, DWORD length) {
            // Padded so that the counter block after it starts on an 8-byte boundary too.
            const DWORD padded = static_cast<DWORD>(RoundUp8(length));
            reserve(static_cast<unsigned __int64>(padded) + served.counterBlockLength);
            out = CopyInstance(entry, i, slot, length, padded, out);
        });
        if (met < active)
        {
            m_layout.Corrupt(CPerformanceDataBlockLayout::ObjectName(entry.index) + L" changed while it was copied");
        }
    }
    else if (!entry.hasInstances)
    {
        reserve(served.counterBlockLength);
        CServedDefinitions::WriteCounterBlock(served, live ? entry.data : nullptr, out);
        out += served.counterBlockLength;
    }

    Put32(start, ObjectField::NumInstances, entry.hasInstances ? active : NoInstances);
    const unsigned __int64 padded = RoundUp8(out - start);
    reserve(padded - (out - start));
    Put32(start, ObjectField::TotalByteLength, static_cast<DWORD>(padded));
    data = start + padded;
    return static_cast<DWORD>(padded);
}

BYTE *CPerformanceDataCollector::CopyInstance(const ObjectEntry &entry, DWORD slotIndex, const BYTE *slot,
                                              DWORD length, DWORD padded, BYTE *out) const
{
    std::memcpy(out, slot, length);
    std::memset(out + length, 0, padded - length);
    // The copy is what the reader walks, so it is the copy that must hold together.
    m_layout.Expect(Get32(out, InstanceField::ByteLength), length, entry.index, L"instance ByteLength");
    const DWORD nameEnd = Get32(out, InstanceField::NameOffset) + Get32(out, InstanceField::NameLength);
    m_layout.CheckInstanceDefinition(entry.index, slotIndex, length, Get32(out, InstanceField::NameOffset),
                                     Get32(out, InstanceField::NameLength));
    if (out[nameEnd - 2] != 0 || out[nameEnd - 1] != 0)
    {
        m_layout.Corrupt(CPerformanceDataBlockLayout::ObjectName(entry.index) + L" instance slot " +
                         Unsigned(slotIndex) + L" name is not terminated");
    }
    Put32(out, InstanceField::ByteLength, padded);
    const DWORD parentIndex = Get32(out, InstanceField::ParentObjectTitleIndex);
    if (parentIndex != 0)
    {
        const LONG parentSlot = static_cast<LONG>(Get32(out, InstanceField::ParentObjectInstance) - 1);
        Put32(out, InstanceField::ParentObjectInstance,
              static_cast<DWORD>(GetActiveInstanceFromIndex(parentIndex, parentSlot)));
    }
    out += padded;
    CServedDefinitions::WriteCounterBlock(*entry.served, entry.data + static_cast<size_t>(slotIndex) * entry.dataSize,
                                          out);
    return out + entry.served->counterBlockLength;
}

CPerformanceDataCollector::ObjectEntry &CPerformanceDataCollector::FindObjectByIndex(DWORD titleIndex) const
{
    for (DWORD i = 0; i < m_numObjects; ++i)
    {
        if (m_objects[i].titleIndex == titleIndex)
        {
            return m_objects[i];
        }
    }
    throw CException(L"CPerformanceDataCollector::FindObjectByIndex()", L"Object not found for: " + Unsigned(titleIndex));
}

LONG CPerformanceDataCollector::GetActiveInstanceFromIndex(DWORD objectTitleIndex, LONG slotIndex) const
{
    const ObjectEntry &entry = FindObjectByIndex(objectTitleIndex);
    // The table's pointers are into the block, which is gone once closed.
    if (!m_block)
    {
        throw CException(s_activeInstanceWhere, s_notOpen);
    }
    if (!m_layout.Fits())
    {
        throw CException(s_activeInstanceWhere, s_corrupt + m_layout.GetLayoutError());
    }
    const DWORD numInstances = entry.hasInstances ? entry.numInstances : NoInstances;
    if (slotIndex < 0 || static_cast<DWORD>(slotIndex) > numInstances)
    {
        throw CException(s_activeInstanceWhere, L"Instance index out of range: " + ToString(static_cast<long>(slotIndex)));
    }
    // Slots are walked only as far as the schema has them, whatever the block claims.
    const DWORD active = Snapshot32(entry.record + ObjectField::ActiveInstances);
    DWORD met = 0;
    const BYTE *slot = entry.record + entry.definitionLength;
    for (DWORD i = 0; i <= static_cast<DWORD>(slotIndex) && i < entry.numInstances && met < active;
         ++i, slot += entry.slotLength)
    {
        if (Snapshot32(slot + InstanceField::ByteLength) != 0)
        {
            if (i == static_cast<DWORD>(slotIndex))
            {
                return static_cast<LONG>(met);
            }
            ++met;
        }
    }
    throw CException(s_activeInstanceWhere,
                     L"Failed to locate active instance index: " + ToString(static_cast<long>(slotIndex)));
}

} // namespace PerfMon
} // namespace CorvaneTools
