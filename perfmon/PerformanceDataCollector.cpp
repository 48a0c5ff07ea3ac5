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

const DWORD s_objectHeaderLength = 64;
const DWORD s_counterDefinitionLength = 40;
const DWORD s_instanceDefinitionLength = 24;
const DWORD s_noInstances = 0xFFFFFFFF;

// For values that size a walk or a copy: read exactly once, so that the value checked is
// the value used even while another process rewrites the block.
DWORD Snapshot32(const BYTE *at)
{
    const volatile BYTE *p = at;
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
}

std::wstring Unsigned(unsigned __int64 value)
{
    return ToString(value);
}

unsigned __int64 RoundUp8(unsigned __int64 size)
{
    return (size + 7) & ~static_cast<unsigned __int64>(7);
}

[[noreturn]] void Corrupt(const std::wstring &what)
{
    throw CException(s_collectWhere, s_corrupt + what);
}

std::wstring Object(size_t object)
{
    return L"object " + Unsigned(object);
}

[[noreturn]] __attribute__((noinline)) void Mismatch(size_t object, LONG counter, const wchar_t *field, DWORD found,
                                                       DWORD expected)
{
    const std::wstring counterText = counter < 0 ? L"" : L" counter " + ToString(static_cast<long>(counter));
    Corrupt(Object(object) + counterText + L" " + field + L" is " + Unsigned(found) + L", expected " +
            Unsigned(expected));
}

inline void Expect(DWORD found, DWORD expected, size_t object, const wchar_t *field, LONG counter = -1)
{
    if (found != expected)
    {
        Mismatch(object, counter, field, found, expected);
    }
}

// A platform instance definition: its length and its name must stay inside the slot.
void CheckInstanceDefinition(size_t object, DWORD slot, DWORD byteLength, DWORD nameOffset, DWORD nameLength,
                             DWORD slotLength)
{
    const auto where = [&] { return Object(object) + L" instance slot " + Unsigned(slot); };
    if (byteLength < s_instanceDefinitionLength || byteLength > slotLength)
    {
        Corrupt(where() + L" ByteLength is " + Unsigned(byteLength) + L", the slot holds 24 to " + Unsigned(slotLength));
    }
    if (nameOffset < s_instanceDefinitionLength || nameOffset > byteLength || nameLength > byteLength - nameOffset)
    {
        Corrupt(where() + L" name at " + Unsigned(nameOffset) + L" of " + Unsigned(nameLength) +
                L" bytes lies outside its ByteLength " + Unsigned(byteLength));
    }
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
      m_numObjects(static_cast<DWORD>(schema.GetNumObjects())),
      m_lastObjectOffset(0),
      m_counterDataOffset(0)
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
    // may have rewritten; Collect then holds the block against this table. Sums are taken
    // in 64 bits, so that a schema whose sizes wrap in 32 bits is caught, not walked.
    m_objects.reset();
    std::unique_ptr<ObjectEntry[]> table(new ObjectEntry[m_numObjects]);
    const BYTE *const block = m_block->GetBlock();
    const unsigned __int64 blockSize = m_block->GetBlockSize();

    unsigned __int64 definitions = 0;
    unsigned __int64 counterData = 0;
    unsigned __int64 lastObject = 0;
    DWORD index = 0;
    for (const auto &object : m_schema)
    {
        ObjectEntry &entry = table[index++];
        const unsigned __int64 counters = object.GetNumCounters();
        unsigned __int64 dataSize = 0;
        for (DWORD k = 0; k < object.GetNumCounters(); ++k)
        {
            dataSize += object.GetCounter(k).GetStorageSize();
        }
        const bool hasInstances = object.GetNumInstances() != s_noInstances;
        const unsigned __int64 slots = hasInstances ? object.GetNumInstances() : 0;
        const unsigned __int64 slotLength = s_instanceDefinitionLength + static_cast<unsigned __int64>(object.GetInstanceNameBytes());
        const unsigned __int64 definitionLength = s_objectHeaderLength + s_counterDefinitionLength * counters;
        const unsigned __int64 recordLength = definitionLength + slots * slotLength;

        entry.selected = false;
        entry.hasInstances = hasInstances;
        entry.definitionLength = static_cast<DWORD>(definitionLength);
        entry.dataSize = static_cast<DWORD>(dataSize);
        entry.object = &object;
        entry.recordOffset = static_cast<DWORD>(CPerformanceDataBlock::HeaderSize + definitions);
        entry.recordLength = static_cast<DWORD>(recordLength);
        entry.numInstances = static_cast<DWORD>(slots);
        entry.instanceNameBytes = object.GetInstanceNameBytes();
        entry.slotLength = static_cast<DWORD>(slotLength);
        entry.dataOffset = static_cast<DWORD>(counterData);
        entry.record = nullptr;
        entry.data = nullptr;
        entry.titleIndex = 0;

        lastObject = CPerformanceDataBlock::HeaderSize + definitions;
        definitions += recordLength;
        counterData += dataSize * (hasInstances ? slots : 1);
    }

    const unsigned __int64 counterDataOffset = CPerformanceDataBlock::HeaderSize + definitions;
    m_layoutError.clear();
    if (counterDataOffset + counterData != blockSize || index != m_numObjects)
    {
        m_layoutError = L"the DLL's schema lays out " + Unsigned(counterDataOffset + counterData) +
                        L" bytes, the block holds " + Unsigned(blockSize);
    }
    else
    {
        m_lastObjectOffset = static_cast<DWORD>(lastObject);
        m_counterDataOffset = static_cast<DWORD>(counterDataOffset);
        for (DWORD i = 0; i < m_numObjects; ++i)
        {
            ObjectEntry &entry = table[i];
            entry.record = block + entry.recordOffset;
            entry.data = block + m_counterDataOffset + entry.dataOffset;
            entry.titleIndex = Get32(entry.record, 12);
        }
    }
    for (DWORD i = 0; i < m_numObjects; ++i)
    {
        table[i].matchKey = L" " + Unsigned(table[i].titleIndex) + L" ";
    }
    m_objects = std::move(table);
}

void CPerformanceDataCollector::ValidateBlock() const
{
    if (!m_layoutError.empty())
    {
        Corrupt(m_layoutError);
    }
    const BYTE *const block = m_block->GetBlock();
    if (block[0] != 1)
    {
        Corrupt(L"initialised flag is " + Unsigned(block[0]) + L", expected 1");
    }
    const struct
    {
        DWORD offset;
        DWORD expected;
        const wchar_t *name;
    } header[] = {
        {4, CPerformanceDataBlock::HeaderSize, L"objectsOffset"},
        {8, m_lastObjectOffset, L"lastObjectOffset"},
        {12, m_counterDataOffset, L"counterDataOffset"},
    };
    for (const auto &field : header)
    {
        const DWORD found = Get32(block, field.offset);
        if (found != field.expected)
        {
            Corrupt(std::wstring(field.name) + L" is " + Unsigned(found) + L", expected " + Unsigned(field.expected));
        }
    }
    for (DWORD i = 0; i < m_numObjects; ++i)
    {
        const ObjectEntry &entry = m_objects[i];
        ValidateRecord(entry.record, entry);
        const size_t object = i;
        Expect(Get32(entry.record, 0), entry.recordLength, object, L"TotalByteLength");
        Expect(Get32(entry.record, 40), entry.hasInstances ? entry.numInstances : s_noInstances, object,
               L"NumInstances");
        Expect(Get32(entry.record, 44), entry.dataOffset, object, L"counter data offset");
        Expect(Get32(entry.record, 52), entry.instanceNameBytes, object, L"instance name bytes");
        Expect(Get32(entry.record, 56), entry.dataSize, object, L"counter data size");
        ActiveInstances(entry);
    }
}

// The fields a reader of the output walks by; checked in the block, and again in the copy,
// which is what the reader gets.
void CPerformanceDataCollector::ValidateRecord(const BYTE *record, const ObjectEntry &entry) const
{
    const size_t object = &entry - m_objects.get();
    const CPerformanceDataSchema::Object &schema = *entry.object;
    const DWORD counters = schema.GetNumCounters();
    Expect(Get32(record, 4), entry.definitionLength, object, L"DefinitionLength");
    Expect(Get32(record, 8), s_objectHeaderLength, object, L"HeaderLength");
    Expect(Get32(record, 32), counters, object, L"NumCounters");
    const BYTE *definition = record + s_objectHeaderLength;
    DWORD offset = 4;
    for (DWORD k = 0; k < counters; ++k, definition += s_counterDefinitionLength)
    {
        const CPerformanceDataSchema::Counter &counter = schema.GetCounter(k);
        const LONG c = static_cast<LONG>(k);
        Expect(Get32(definition, 0), s_counterDefinitionLength, object, L"ByteLength", c);
        Expect(Get32(definition, 28), counter.GetCounterType(), object, L"CounterType", c);
        Expect(Get32(definition, 32), counter.GetStorageSize(), object, L"CounterSize", c);
        Expect(Get32(definition, 36), offset, object, L"CounterOffset", c);
        offset += counter.GetStorageSize();
    }
}

DWORD CPerformanceDataCollector::ActiveInstances(const ObjectEntry &entry) const
{
    const DWORD active = Snapshot32(entry.record + 60);
    const size_t object = &entry - m_objects.get();
    if (!entry.hasInstances)
    {
        Expect(active, 0, object, L"active instance count");
    }
    else if (active > entry.numInstances)
    {
        Corrupt(Object(object) + L" active instance count is " + Unsigned(active) + L", more than its " +
                Unsigned(entry.numInstances) + L" slots");
    }
    return active;
}

DWORD CPerformanceDataCollector::InUseSlotLength(const ObjectEntry &entry, const BYTE *slot) const
{
    const DWORD length = Snapshot32(slot);
    if (length != 0)
    {
        const DWORD index = static_cast<DWORD>((slot - entry.record - entry.definitionLength) / entry.slotLength);
        CheckInstanceDefinition(&entry - m_objects.get(), index, length, Snapshot32(slot + 16), Snapshot32(slot + 20),
                                entry.slotLength);
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
        ValidateBlock();
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
            Corrupt(L"instance data changed while it was copied");
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
        const DWORD active = ActiveInstances(entry);
        const DWORD met = VisitInUseSlots(entry, active, [&](DWORD, const BYTE *slot, DWORD length) {
            size += static_cast<unsigned __int64>(length) + entry.dataSize + 4;
            const DWORD parentIndex = Snapshot32(slot + 4);
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
            Corrupt(Object(&entry - m_objects.get()) + L" active instance count is " + Unsigned(active) +
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
            Corrupt(Object(&entry - m_objects.get()) + L" changed while it was copied");
        }
    };
    reserve(entry.definitionLength);
    std::memcpy(out, entry.record, entry.definitionLength);
    ValidateRecord(out, entry);
    out += entry.definitionLength;

    DWORD active = 0;
    if (entry.hasInstances)
    {
        active = ActiveInstances(entry);
        const DWORD met = VisitInUseSlots(entry, active, [&](DWORD i, const BYTE *slot, DWORD length) {
            reserve(static_cast<unsigned __int64>(length) + 4 + entry.dataSize);
            std::memcpy(out, slot, length);
            // The copy is what the reader walks, so it is the copy that must hold together.
            Expect(Get32(out, 0), length, &entry - m_objects.get(), L"instance ByteLength");
            CheckInstanceDefinition(&entry - m_objects.get(), i, length, Get32(out, 16), Get32(out, 20),
                                    entry.slotLength);
            const DWORD parentIndex = Get32(out, 4);
            if (parentIndex != 0)
            {
                const LONG parentSlot = static_cast<LONG>(Get32(out, 8) - 1);
                Put32(out, 8, static_cast<DWORD>(GetActiveInstanceFromIndex(parentIndex, parentSlot)));
            }
            out += length;
            Put32(out, 0, entry.dataSize + 4);
            std::memcpy(out + 4, entry.data + static_cast<size_t>(i) * entry.dataSize, entry.dataSize);
            out += 4 + entry.dataSize;
        });
        if (met < active)
        {
            Corrupt(Object(&entry - m_objects.get()) + L" changed while it was copied");
        }
    }
    else
    {
        reserve(4 + static_cast<unsigned __int64>(entry.dataSize));
        Put32(out, 0, entry.dataSize + 4);
        std::memcpy(out + 4, entry.data, entry.dataSize);
        out += 4 + entry.dataSize;
    }

    Put32(start, 40, entry.hasInstances ? active : s_noInstances);
    std::memset(start + 44, 0, 20);
    const unsigned __int64 padded = RoundUp8(out - start);
    reserve(padded - (out - start));
    Put32(start, 0, static_cast<DWORD>(padded));
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
    if (!m_layoutError.empty())
    {
        throw CException(s_activeInstanceWhere, s_corrupt + m_layoutError);
    }
    const DWORD numInstances = entry.hasInstances ? entry.numInstances : s_noInstances;
    if (slotIndex < 0 || static_cast<DWORD>(slotIndex) > numInstances)
    {
        throw CException(s_activeInstanceWhere, L"Instance index out of range: " + ToString(static_cast<long>(slotIndex)));
    }
    // Slots are walked only as far as the schema has them, whatever the block claims.
    const DWORD active = Snapshot32(entry.record + 60);
    DWORD met = 0;
    const BYTE *slot = entry.record + entry.definitionLength;
    for (DWORD i = 0; i <= static_cast<DWORD>(slotIndex) && i < entry.numInstances && met < active;
         ++i, slot += entry.slotLength)
    {
        if (Snapshot32(slot) != 0)
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
