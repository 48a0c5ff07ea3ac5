#include "perfmon/PerformanceInstanceSet.h"

#include "perfmon/RecordFields.h"
#include "win32/errors/Exception.h"

#include <cstring>

namespace CorvaneTools {
namespace PerfMon {

namespace {

const wchar_t *const s_where = L"CPerformanceInstanceSet::CPerformanceInstanceSet()";

DWORD SlotsOf(const CPerformanceDataSchema::Object &object)
{
    if (object.GetNumInstances() == NoInstances)
    {
        throw Win32::CException(s_where, L"Object has no instances: \"" + object.GetName() + L"\"");
    }
    return object.GetNumInstances();
}

} // namespace

CPerformanceInstanceSet::CPerformanceInstanceSet(const CPerformanceDataSchema::Object &object)
    : CPerformanceInstanceSet(SlotsOf(object), object.GetInstanceNameBytes(), object.GetNumCounters())
{
}

CPerformanceInstanceSet::CPerformanceInstanceSet(DWORD numSlots, DWORD instanceNameBytes, DWORD numCounters)
    : m_numSlots(numSlots),
      m_slotLength(InstanceDefinitionLength + instanceNameBytes),
      m_dataSize(numCounters * CPerformanceDataSchema::CounterStorageSize),
      m_slots(),
      m_data(),
      m_count(0)
{
    if (instanceNameBytes < sizeof(wchar_t))
    {
        throw Win32::CException(s_where, L"Instance slots hold no name");
    }
    m_slots.reset(new BYTE[static_cast<size_t>(m_numSlots) * m_slotLength]());
    m_data.reset(new BYTE[static_cast<size_t>(m_numSlots) * m_dataSize]());
}

void CPerformanceInstanceSet::Clear()
{
    m_count = 0;
}

DWORD CPerformanceInstanceSet::Add(const wchar_t *name, size_t length)
{
    if (m_count == m_numSlots)
    {
        throw Win32::CException(L"CPerformanceInstanceSet::Add()",
                                L"All " + std::to_wstring(m_numSlots) + L" instance slots are taken");
    }
    const size_t chars = length < GetMaxNameLength() ? length : GetMaxNameLength();
    const DWORD nameLength = static_cast<DWORD>((chars + 1) * sizeof(wchar_t));
    BYTE *const slot = m_slots.get() + static_cast<size_t>(m_count) * m_slotLength;
    std::memset(slot, 0, m_slotLength);
    Put32(slot, InstanceField::ByteLength, (InstanceDefinitionLength + nameLength + 7) & ~7u);
    Put32(slot, InstanceField::ParentObjectTitleIndex, 0);
    Put32(slot, InstanceField::ParentObjectInstance, 0);
    Put32(slot, InstanceField::UniqueId, 0xFFFFFFFF);
    Put32(slot, InstanceField::NameOffset, InstanceDefinitionLength);
    Put32(slot, InstanceField::NameLength, nameLength);
    std::memcpy(slot + InstanceDefinitionLength, name, chars * sizeof(wchar_t));
    std::memset(m_data.get() + static_cast<size_t>(m_count) * m_dataSize, 0, m_dataSize);
    return m_count++;
}

void CPerformanceInstanceSet::SetValue(DWORD instance, DWORD counter, DWORD value)
{
    Put32(m_data.get() + static_cast<size_t>(instance) * m_dataSize, counter * CPerformanceDataSchema::CounterStorageSize,
          value);
}

DWORD CPerformanceInstanceSet::GetCount() const
{
    return m_count;
}

DWORD CPerformanceInstanceSet::GetNumSlots() const
{
    return m_numSlots;
}

DWORD CPerformanceInstanceSet::GetSlotLength() const
{
    return m_slotLength;
}

DWORD CPerformanceInstanceSet::GetDataSize() const
{
    return m_dataSize;
}

DWORD CPerformanceInstanceSet::GetMaxNameLength() const
{
    return (m_slotLength - InstanceDefinitionLength) / sizeof(wchar_t) - 1;
}

const BYTE *CPerformanceInstanceSet::GetSlot(DWORD instance) const
{
    return m_slots.get() + static_cast<size_t>(instance) * m_slotLength;
}

const BYTE *CPerformanceInstanceSet::GetData(DWORD instance) const
{
    return m_data.get() + static_cast<size_t>(instance) * m_dataSize;
}

} // namespace PerfMon
} // namespace CorvaneTools
