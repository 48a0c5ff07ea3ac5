#include "perfmon/PerformanceDataBlockLayout.h"

#include "perfmon/PerformanceDataBlock.h"
#include "perfmon/RecordFields.h"
#include "win32/errors/Exception.h"
#include "win32/text/ToString.h"

namespace CorvaneTools {
namespace PerfMon {

using Win32::CException;
using Win32::ToString;

namespace {

const wchar_t *const s_corrupt = L"Performance data block is corrupt: ";

std::wstring Unsigned(unsigned __int64 value)
{
    return ToString(value);
}

} // namespace

CPerformanceDataBlockLayout::CPerformanceDataBlockLayout(const CPerformanceDataSchema &schema, DWORD blockSize,
                                                         const wchar_t *where)
    : m_where(where),
      m_blockSize(blockSize),
      m_numObjects(static_cast<DWORD>(schema.GetNumObjects())),
      m_objects(new Object[schema.GetNumObjects()]),
      m_lastObjectOffset(0),
      m_counterDataOffset(0)
{
    // Sums are taken in 64 bits, so that a schema whose sizes wrap in 32 bits is caught, not
    // walked.
    unsigned __int64 definitions = 0;
    unsigned __int64 counterData = 0;
    unsigned __int64 lastObject = 0;
    DWORD index = 0;
    for (const auto &object : schema)
    {
        Object &entry = m_objects[index++];
        unsigned __int64 dataSize = 0;
        for (DWORD k = 0; k < object.GetNumCounters(); ++k)
        {
            dataSize += object.GetCounter(k).GetStorageSize();
        }
        const bool hasInstances = object.GetNumInstances() != NoInstances;
        const unsigned __int64 slots = hasInstances ? object.GetNumInstances() : 0;
        const unsigned __int64 slotLength = InstanceDefinitionLength + static_cast<unsigned __int64>(object.GetInstanceNameBytes());
        const unsigned __int64 definitionLength =
            ObjectHeaderLength + CounterDefinitionLength * static_cast<unsigned __int64>(object.GetNumCounters());
        const unsigned __int64 recordLength = definitionLength + slots * slotLength;

        entry.object = &object;
        entry.recordOffset = static_cast<DWORD>(CPerformanceDataBlock::HeaderSize + definitions);
        entry.recordLength = static_cast<DWORD>(recordLength);
        entry.definitionLength = static_cast<DWORD>(definitionLength);
        entry.hasInstances = hasInstances;
        entry.numInstances = static_cast<DWORD>(slots);
        entry.instanceNameBytes = object.GetInstanceNameBytes();
        entry.slotLength = static_cast<DWORD>(slotLength);
        entry.dataSize = static_cast<DWORD>(dataSize);
        entry.dataOffset = static_cast<DWORD>(counterData);

        lastObject = CPerformanceDataBlock::HeaderSize + definitions;
        definitions += recordLength;
        counterData += dataSize * (hasInstances ? slots : 1);
    }
    const unsigned __int64 counterDataOffset = CPerformanceDataBlock::HeaderSize + definitions;
    if (counterDataOffset + counterData != blockSize || index != m_numObjects)
    {
        m_layoutError = L"the schema lays out " + Unsigned(counterDataOffset + counterData) + L" bytes, the block holds " +
                        Unsigned(blockSize);
    }
    else
    {
        m_lastObjectOffset = static_cast<DWORD>(lastObject);
        m_counterDataOffset = static_cast<DWORD>(counterDataOffset);
    }
}

bool CPerformanceDataBlockLayout::Fits() const
{
    return m_layoutError.empty();
}

const std::wstring &CPerformanceDataBlockLayout::GetLayoutError() const
{
    return m_layoutError;
}

DWORD CPerformanceDataBlockLayout::GetNumObjects() const
{
    return m_numObjects;
}

const CPerformanceDataBlockLayout::Object &CPerformanceDataBlockLayout::GetObject(DWORD index) const
{
    return m_objects[index];
}

DWORD CPerformanceDataBlockLayout::GetLastObjectOffset() const
{
    return m_lastObjectOffset;
}

DWORD CPerformanceDataBlockLayout::GetCounterDataOffset() const
{
    return m_counterDataOffset;
}

void CPerformanceDataBlockLayout::Validate(const BYTE *block) const
{
    if (!Fits())
    {
        Corrupt(m_layoutError);
    }
    if (block[BlockField::Initialised] != 1)
    {
        Corrupt(L"initialised flag is " + Unsigned(block[BlockField::Initialised]) + L", expected 1");
    }
    const struct
    {
        size_t offset;
        DWORD expected;
        const wchar_t *name;
    } header[] = {
        {BlockField::ObjectsOffset, CPerformanceDataBlock::HeaderSize, L"objectsOffset"},
        {BlockField::LastObjectOffset, m_lastObjectOffset, L"lastObjectOffset"},
        {BlockField::CounterDataOffset, m_counterDataOffset, L"counterDataOffset"},
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
        const Object &entry = m_objects[i];
        const BYTE *const record = block + entry.recordOffset;
        ValidateRecord(record, i);
        Expect(Get32(record, ObjectField::TotalByteLength), entry.recordLength, i, L"TotalByteLength");
        Expect(Get32(record, ObjectField::NumInstances), entry.hasInstances ? entry.numInstances : NoInstances, i,
               L"NumInstances");
        Expect(Get32(record, ObjectField::CounterDataOffset), entry.dataOffset, i, L"counter data offset");
        Expect(Get32(record, ObjectField::InstanceNameBytes), entry.instanceNameBytes, i, L"instance name bytes");
        Expect(Get32(record, ObjectField::CounterDataSize), entry.dataSize, i, L"counter data size");
        ActiveInstances(record, i);
    }
}

void CPerformanceDataBlockLayout::ValidateRecord(const BYTE *record, DWORD object) const
{
    const Object &entry = m_objects[object];
    const CPerformanceDataSchema::Object &schema = *entry.object;
    const DWORD counters = schema.GetNumCounters();
    Expect(Get32(record, ObjectField::DefinitionLength), entry.definitionLength, object, L"DefinitionLength");
    Expect(Get32(record, ObjectField::HeaderLength), ObjectHeaderLength, object, L"HeaderLength");
    Expect(Get32(record, ObjectField::NumCounters), counters, object, L"NumCounters");
    const BYTE *definition = record + ObjectHeaderLength;
    DWORD offset = 4;
    for (DWORD k = 0; k < counters; ++k, definition += CounterDefinitionLength)
    {
        const CPerformanceDataSchema::Counter &counter = schema.GetCounter(k);
        const LONG c = static_cast<LONG>(k);
        Expect(Get32(definition, CounterField::ByteLength), CounterDefinitionLength, object, L"ByteLength", c);
        Expect(Get32(definition, CounterField::CounterType), counter.GetCounterType(), object, L"CounterType", c);
        Expect(Get32(definition, CounterField::CounterSize), counter.GetStorageSize(), object, L"CounterSize", c);
        Expect(Get32(definition, CounterField::CounterOffset), offset, object, L"CounterOffset", c);
        offset += counter.GetStorageSize();
    }
}

DWORD CPerformanceDataBlockLayout::ActiveInstances(const BYTE *record, DWORD object) const
{
    const Object &entry = m_objects[object];
    const DWORD active = Snapshot32(record + ObjectField::ActiveInstances);
    if (!entry.hasInstances)
    {
        Expect(active, 0, object, L"active instance count");
    }
    else if (active > entry.numInstances)
    {
        Corrupt(ObjectName(object) + L" active instance count is " + Unsigned(active) + L", more than its " +
                Unsigned(entry.numInstances) + L" slots");
    }
    return active;
}

void CPerformanceDataBlockLayout::CheckInstanceDefinition(DWORD object, DWORD slot, DWORD byteLength, DWORD nameOffset,
                                                          DWORD nameLength) const
{
    const DWORD slotLength = m_objects[object].slotLength;
    const auto where = [&] { return ObjectName(object) + L" instance slot " + Unsigned(slot); };
    if (byteLength < InstanceDefinitionLength || byteLength > slotLength)
    {
        Corrupt(where() + L" ByteLength is " + Unsigned(byteLength) + L", the slot holds 24 to " + Unsigned(slotLength));
    }
    if (nameOffset < InstanceDefinitionLength || nameOffset > byteLength || nameLength > byteLength - nameOffset)
    {
        Corrupt(where() + L" name at " + Unsigned(nameOffset) + L" of " + Unsigned(nameLength) +
                L" bytes lies outside its ByteLength " + Unsigned(byteLength));
    }
    // Readers take the name as UTF-16 up to its terminator.
    if (nameLength < sizeof(wchar_t) || nameLength % sizeof(wchar_t) != 0)
    {
        Corrupt(where() + L" name of " + Unsigned(nameLength) + L" bytes is not whole characters and a terminator");
    }
}

void CPerformanceDataBlockLayout::Corrupt(const std::wstring &what) const
{
    throw CException(m_where, s_corrupt + what);
}

std::wstring CPerformanceDataBlockLayout::ObjectName(DWORD object)
{
    return L"object " + Unsigned(object);
}

void CPerformanceDataBlockLayout::Mismatch(DWORD object, LONG counter, const wchar_t *field, DWORD found,
                                           DWORD expected) const
{
    const std::wstring counterText = counter < 0 ? L"" : L" counter " + ToString(static_cast<long>(counter));
    Corrupt(ObjectName(object) + counterText + L" " + field + L" is " + Unsigned(found) + L", expected " +
            Unsigned(expected));
}

} // namespace PerfMon
} // namespace CorvaneTools
