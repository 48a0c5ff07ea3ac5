#include "perfmon/PerformanceDataCollector.h"

#include "perfmon/RecordFields.h"

#include "win32/Exception.h"
#include "win32/LockOwner.h"
#include "win32/ToString.h"

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

// The query text " <value name> ", on the process heap for the length of one request;
// none when every object is requested.
class CQueryText
{
public:
    CQueryText(const wchar_t *valueName, bool everything) : m_text(nullptr)
    {
        if (everything)
        {
            return;
        }
        const wchar_t *name = valueName ? valueName : L"";
        const size_t length = std::wcslen(name) + 2;
        if (length >= 0x7FFFFFFF / sizeof(wchar_t))
        {
            throw CException(s_collectWhere, L"Value name is too long");
        }
        m_text = static_cast<wchar_t *>(::HeapAlloc(::GetProcessHeap(), 0, (length + 1) * sizeof(wchar_t)));
        if (!m_text)
        {
            throw CException(s_collectWhere, L"Out of memory for the query text");
        }
        // The C runtime's own variant, in which %s is a wide string.
        ::_snwprintf(m_text, length + 1, L" %s ", name);
        m_text[length] = L'\0';
    }

    ~CQueryText()
    {
        if (m_text)
        {
            ::HeapFree(::GetProcessHeap(), 0, m_text);
        }
    }

    CQueryText(const CQueryText &) = delete;
    CQueryText &operator=(const CQueryText &) = delete;

    bool Selects(const std::wstring &key) const
    {
        return !m_text || std::wcsstr(m_text, key.c_str()) != nullptr;
    }

private:
    wchar_t *m_text;
};

} // namespace

CPerformanceDataCollector::CPerformanceDataCollector(const IKernelObjectName &name, const CPerformanceDataSchema &schema,
                                                     DWORD firstTitleIndex, SECURITY_ATTRIBUTES *securityAttributes)
    : m_name(name.GetName()),
      m_schema(schema),
      m_firstTitleIndex(firstTitleIndex),
      m_securityAttributes(securityAttributes),
      m_numObjects(static_cast<DWORD>(schema.GetNumObjects()))
{
    m_schema.ValidateSchema();
}

CPerformanceDataCollector::~CPerformanceDataCollector() = default;

void CPerformanceDataCollector::Open(const wchar_t *)
{
    if (m_block)
    {
        throw CException(L"CPerformanceDataCollector::Open()", L"Error: collector is alread open");
    }
    m_block = std::make_unique<CPerformanceDataBlock>(m_name, m_schema, m_firstTitleIndex, m_securityAttributes);
    try
    {
        BuildObjectTable();
    }
    catch (...)
    {
        m_block.reset();
        throw;
    }
}

void CPerformanceDataCollector::Close()
{
    if (!m_block)
    {
        throw CException(L"CPerformanceDataCollector::Close()", s_notOpen);
    }
    m_block.reset();
}

void CPerformanceDataCollector::BuildObjectTable()
{
    // Laid out from the DLL's schema, not from the lengths in the block, which any process
    // may have rewritten; Collect then holds the block against this layout.
    m_objects.reset();
    m_layout.reset(new CPerformanceDataBlockLayout(m_schema, m_block->GetBlockSize(), s_collectWhere));
    std::unique_ptr<ObjectEntry[]> table(new ObjectEntry[m_numObjects]);
    const BYTE *const block = m_block->GetBlock();
    for (DWORD i = 0; i < m_numObjects; ++i)
    {
        const CPerformanceDataBlockLayout::Object &layout = m_layout->GetObject(i);
        ObjectEntry &entry = table[i];
        entry.index = i;
        entry.selected = false;
        entry.hasInstances = layout.hasInstances;
        entry.definitionLength = layout.definitionLength;
        entry.dataSize = layout.dataSize;
        entry.numInstances = layout.numInstances;
        entry.slotLength = layout.slotLength;
        const bool fits = m_layout->Fits();
        entry.record = fits ? block + layout.recordOffset : nullptr;
        entry.data = fits ? block + m_layout->GetCounterDataOffset() + layout.dataOffset : nullptr;
        entry.titleIndex = fits ? Get32(entry.record, ObjectField::NameTitleIndex) : 0;
        entry.matchKey = L" " + Unsigned(entry.titleIndex) + L" ";
    }
    m_objects = std::move(table);
}

DWORD CPerformanceDataCollector::InUseSlotLength(const ObjectEntry &entry, const BYTE *slot) const
{
    const DWORD length = Snapshot32(slot + InstanceField::ByteLength);
    if (length != 0)
    {
        const DWORD index = static_cast<DWORD>((slot - entry.record - entry.definitionLength) / entry.slotLength);
        m_layout->CheckInstanceDefinition(entry.index, index, length, Snapshot32(slot + InstanceField::NameOffset),
                                          Snapshot32(slot + InstanceField::NameLength));
    }
    return length;
}

bool CPerformanceDataCollector::Collect(const wchar_t *valueName, void *&data, DWORD &totalBytes,
                                        DWORD &numObjectTypes)
{
    numObjectTypes = 0;
    if (!m_block)
    {
        totalBytes = 0;
        throw CException(s_collectWhere, s_notOpen);
    }
    BYTE *const begin = static_cast<BYTE *>(data);
    const DWORD available = totalBytes;
    try
    {
        const bool everything = valueName && ::lstrcmpiW(valueName, L"Global") == 0;
        const CQueryText query(valueName, everything);
        // A holder that never lets go (one killed mid-copy that no waiter could recover
        // from) must not hang the reader's thread.
        TTimedLockOwner<CPerformanceDataBlock> lock(*m_block, CPerformanceDataBlock::LockTimeoutMs);
        if (!lock.IsHeld())
        {
            throw CException(s_collectWhere, CPerformanceDataBlock::LockTimeoutMessage());
        }
        m_layout->Validate(m_block->GetBlock());
        for (DWORD i = 0; i < m_numObjects; ++i)
        {
            m_objects[i].selected = false;
        }
        unsigned __int64 needed = 0;
        for (DWORD i = 0; i < m_numObjects; ++i)
        {
            ObjectEntry &entry = m_objects[i];
            if (!entry.selected && query.Selects(entry.matchKey))
            {
                entry.selected = true;
                needed += GetObjectSize(entry);
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
                remaining -= WriteObject(m_objects[i], out, remaining);
                ++written;
            }
        }
        if (remaining != 0)
        {
            m_layout->Corrupt(L"instance data changed while it was copied");
        }
        totalBytes = static_cast<DWORD>(needed);
        numObjectTypes = written;
        data = out;
        return true;
    }
    catch (...)
    {
        totalBytes = 0;
        numObjectTypes = 0;
        data = begin;
        throw;
    }
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

unsigned __int64 CPerformanceDataCollector::GetObjectSize(ObjectEntry &entry)
{
    unsigned __int64 size = entry.definitionLength;
    if (entry.hasInstances)
    {
        const DWORD active = m_layout->ActiveInstances(entry.record, entry.index);
        const DWORD met = VisitInUseSlots(entry, active, [&](DWORD, const BYTE *slot, DWORD length) {
            size += static_cast<unsigned __int64>(length) + entry.dataSize + 4;
            const DWORD parentIndex = Snapshot32(slot + InstanceField::ParentObjectTitleIndex);
            if (parentIndex != 0)
            {
                ObjectEntry &parent = FindObjectByIndex(parentIndex);
                if (!parent.selected)
                {
                    parent.selected = true;
                    size += GetObjectSize(parent);
                }
            }
        });
        if (met < active)
        {
            m_layout->Corrupt(CPerformanceDataBlockLayout::ObjectName(entry.index) + L" active instance count is " + Unsigned(active) +
                    L", only " + Unsigned(met) + L" slots are in use");
        }
    }
    else
    {
        size += static_cast<unsigned __int64>(entry.dataSize) + 4;
    }
    return RoundUp8(size);
}

DWORD CPerformanceDataCollector::WriteObject(const ObjectEntry &entry, BYTE *&data, unsigned __int64 limit) const
{
    BYTE *const start = data;
    BYTE *out = start;
    // What was sized may have changed since; the caller's buffer is never written past.
    const auto reserve = [&](unsigned __int64 bytes) {
        if (static_cast<unsigned __int64>(out - start) + bytes > limit)
        {
            m_layout->Corrupt(CPerformanceDataBlockLayout::ObjectName(entry.index) + L" changed while it was copied");
        }
    };
    reserve(entry.definitionLength);
    std::memcpy(out, entry.record, entry.definitionLength);
    m_layout->ValidateRecord(out, entry.index);
    out += entry.definitionLength;

    DWORD active = 0;
    if (entry.hasInstances)
    {
        active = m_layout->ActiveInstances(entry.record, entry.index);
        const DWORD met = VisitInUseSlots(entry, active, [&](DWORD i, const BYTE *slot, DWORD length) {
            reserve(static_cast<unsigned __int64>(length) + 4 + entry.dataSize);
            std::memcpy(out, slot, length);
            // The copy is what the reader walks, so it is the copy that must hold together.
            m_layout->Expect(Get32(out, InstanceField::ByteLength), length, entry.index, L"instance ByteLength");
            m_layout->CheckInstanceDefinition(entry.index, i, length, Get32(out, InstanceField::NameOffset),
                                              Get32(out, InstanceField::NameLength));
            const DWORD parentIndex = Get32(out, InstanceField::ParentObjectTitleIndex);
            if (parentIndex != 0)
            {
                const LONG parentSlot = static_cast<LONG>(Get32(out, InstanceField::ParentObjectInstance) - 1);
                Put32(out, InstanceField::ParentObjectInstance, static_cast<DWORD>(GetActiveInstanceFromIndex(parentIndex, parentSlot)));
            }
            out += length;
            Put32(out, 0, entry.dataSize + 4);
            std::memcpy(out + 4, entry.data + static_cast<size_t>(i) * entry.dataSize, entry.dataSize);
            out += 4 + entry.dataSize;
        });
        if (met < active)
        {
            m_layout->Corrupt(CPerformanceDataBlockLayout::ObjectName(entry.index) + L" changed while it was copied");
        }
    }
    else
    {
        reserve(4 + static_cast<unsigned __int64>(entry.dataSize));
        Put32(out, 0, entry.dataSize + 4);
        std::memcpy(out + 4, entry.data, entry.dataSize);
        out += 4 + entry.dataSize;
    }

    Put32(start, ObjectField::NumInstances, entry.hasInstances ? active : NoInstances);
    std::memset(start + ObjectField::CounterDataOffset, 0, ObjectHeaderLength - ObjectField::CounterDataOffset);
    const unsigned __int64 padded = RoundUp8(out - start);
    reserve(padded - (out - start));
    Put32(start, ObjectField::TotalByteLength, static_cast<DWORD>(padded));
    data = start + padded;
    return static_cast<DWORD>(padded);
}

CPerformanceDataCollector::ObjectEntry &CPerformanceDataCollector::FindObjectByIndex(DWORD titleIndex) const
{
    for (DWORD i = 0; m_objects && i < m_numObjects; ++i)
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
    if (!m_layout->Fits())
    {
        throw CException(s_activeInstanceWhere, s_corrupt + m_layout->GetLayoutError());
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
