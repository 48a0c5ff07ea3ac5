#include "perfmon/PerformanceDataSchema.h"

#include "perfmon/RecordFields.h"
#include "win32/errors/Exception.h"
#include "win32/text/ToString.h"

#include <cstring>

namespace CorvaneTools {
namespace PerfMon {

using Win32::CException;
using Win32::ToString;

namespace {

std::wstring Signed(DWORD value)
{
    return ToString(static_cast<int>(value));
}

std::wstring Unsigned(DWORD value)
{
    return ToString(static_cast<unsigned long>(value));
}

// The counter definitions, from position on; returns where they end.
BYTE *WriteCounterDefinitions(BYTE *position, const CPerformanceDataSchema::Object::Counters &counters,
                              DWORD &nextTitleIndex, IAllocateCounterStorage &allocator, DWORD &counterDataSize)
{
    for (const auto &counter : counters)
    {
        const DWORD size = counter->GetStorageSize();
        Put32(position, CounterField::ByteLength, CounterDefinitionLength);
        Put32(position, CounterField::NameTitleIndex, nextTitleIndex++);
        Put32(position, CounterField::NameTitle, 0);
        Put32(position, CounterField::HelpTitleIndex, nextTitleIndex++);
        Put32(position, CounterField::HelpTitle, 0);
        Put32(position, CounterField::DefaultScale, static_cast<DWORD>(counter->GetDefaultScale()));
        Put32(position, CounterField::DetailLevel, counter->GetDetailLevel());
        Put32(position, CounterField::CounterType, counter->GetCounterType());
        Put32(position, CounterField::CounterSize, size);
        // Counter data starts with a 4-byte length word in the platform's format.
        Put32(position, CounterField::CounterOffset, allocator.Allocate(size) + 4);
        counterDataSize += size;
        position += CounterDefinitionLength;
    }
    return position;
}

// Instance slots, all free, each followed by its zeroed name area; returns where they end.
BYTE *WriteFreeInstanceSlots(BYTE *position, DWORD numInstances, DWORD instanceNameBytes)
{
    for (DWORD i = 0; i < numInstances; ++i)
    {
        Put32(position, InstanceField::ByteLength, 0);
        Put32(position, InstanceField::ParentObjectTitleIndex, 0);
        Put32(position, InstanceField::ParentObjectInstance, 0);
        Put32(position, InstanceField::UniqueId, 0xFFFFFFFF);
        Put32(position, InstanceField::NameOffset, InstanceDefinitionLength);
        Put32(position, InstanceField::NameLength, 0);
        position += InstanceDefinitionLength;
        std::memset(position, 0, instanceNameBytes);
        position += instanceNameBytes;
    }
    return position;
}

} // namespace

// Object

CPerformanceDataSchema::Object::Object(const std::wstring &language, const std::wstring &name,
                                       const std::wstring &help, DWORD detailLevel)
    : m_language(language),
      m_detailLevel(detailLevel),
      m_numInstances(NoInstances),
      m_objectReserved(0),
      m_instanceNameBytes(0),
      m_defaultCounter(0)
{
    m_names[language] = std::make_pair(name, help);
}

void CPerformanceDataSchema::Object::AddCounter(const std::wstring &name, const std::wstring &help,
                                                DWORD detailLevel, LONG defaultScale, DWORD counterType)
{
    static const wchar_t *const where = L"CPerformanceDataSchema::Object::AddCounter()";
    if (m_counterNames.count(name) != 0)
    {
        throw CException(where, L"Duplicate counter name: \"" + name + L"\"");
    }
    if (m_counters.size() >= 0xFFFFFFFF)
    {
        throw CException(where, L"Too many counters");
    }
    m_counters.push_back(
        std::make_unique<Counter>(m_language, name, help, detailLevel, defaultScale, counterType));
    try
    {
        m_counterNames.insert(name);
    }
    catch (...)
    {
        m_counters.pop_back();
        throw;
    }
}

void CPerformanceDataSchema::Object::SetDefaultCounter()
{
    if (m_defaultCounter != 0)
    {
        throw CException(L"CPerformanceDataSchema::Object::SetDefaultCounter()",
                         L"Default counter already set to: " + ToString(m_defaultCounter));
    }
    m_defaultCounter = m_counters.size();
}

void CPerformanceDataSchema::Object::SetInstances(DWORD numInstances, DWORD instanceNameBytes)
{
    m_numInstances = numInstances;
    m_instanceNameBytes = instanceNameBytes;
}

void CPerformanceDataSchema::Object::ValidateSchema() const
{
    if (m_counters.empty())
    {
        throw CException(L"CPerformanceDataSchema::Object::ValidateSchema()",
                         L"Objects must have at least one counter");
    }
}

std::wstring CPerformanceDataSchema::Object::GetName(const std::wstring &language) const
{
    return TextFor(m_names, language, m_language, false);
}

std::wstring CPerformanceDataSchema::Object::GetHelp(const std::wstring &language) const
{
    return TextFor(m_names, language, m_language, true);
}

const std::wstring &CPerformanceDataSchema::Object::GetName() const
{
    return TextFor(m_names, m_language, m_language, false);
}

const std::wstring &CPerformanceDataSchema::Object::GetHelp() const
{
    return TextFor(m_names, m_language, m_language, true);
}

const CPerformanceDataSchema::Names &CPerformanceDataSchema::Object::GetNames() const
{
    return m_names;
}

void CPerformanceDataSchema::Object::GetCounterNames(std::vector<std::wstring> &names) const
{
    names.clear();
    for (const auto &counter : m_counters)
    {
        names.push_back(counter->GetName());
    }
}

void CPerformanceDataSchema::Object::GetCounterHelpTexts(std::vector<std::wstring> &helpTexts) const
{
    helpTexts.clear();
    for (const auto &counter : m_counters)
    {
        helpTexts.push_back(counter->GetHelp());
    }
}

void CPerformanceDataSchema::Object::GetCounterNames(const std::wstring &language,
                                                     std::vector<std::wstring> &names) const
{
    names.clear();
    for (const auto &counter : m_counters)
    {
        names.push_back(counter->GetName(language));
    }
}

void CPerformanceDataSchema::Object::GetCounterHelpTexts(const std::wstring &language,
                                                         std::vector<std::wstring> &helpTexts) const
{
    helpTexts.clear();
    for (const auto &counter : m_counters)
    {
        helpTexts.push_back(counter->GetHelp(language));
    }
}

DWORD CPerformanceDataSchema::Object::GetNumCounters() const
{
    return static_cast<DWORD>(m_counters.size());
}

const CPerformanceDataSchema::Counter &CPerformanceDataSchema::Object::GetCounter(DWORD index) const
{
    return *m_counters.at(index);
}

DWORD CPerformanceDataSchema::Object::GetDetailLevel() const
{
    return m_detailLevel;
}

DWORD CPerformanceDataSchema::Object::GetNumInstances() const
{
    return m_numInstances;
}

DWORD CPerformanceDataSchema::Object::GetObjectReserved() const
{
    return m_objectReserved;
}

DWORD CPerformanceDataSchema::Object::GetInstanceNameBytes() const
{
    return m_instanceNameBytes;
}

unsigned __int64 CPerformanceDataSchema::Object::GetDefaultCounter() const
{
    return m_defaultCounter;
}

DWORD CPerformanceDataSchema::Object::GetDefinitionSize() const
{
    DWORD size = ObjectHeaderLength + CounterDefinitionLength * GetNumCounters();
    if (m_numInstances != NoInstances)
    {
        size += m_numInstances * (m_instanceNameBytes + InstanceDefinitionLength);
    }
    return size;
}

DWORD CPerformanceDataSchema::Object::GetCounterDataSize() const
{
    const DWORD copies = m_numInstances != NoInstances ? m_numInstances : 1;
    DWORD size = 0;
    for (const auto &counter : m_counters)
    {
        size += counter->GetStorageSize() * copies;
    }
    return size;
}

DWORD CPerformanceDataSchema::Object::GetTotalSize() const
{
    return GetDefinitionSize() + GetCounterDataSize();
}

DWORD CPerformanceDataSchema::Object::WriteTo(void *buffer, unsigned __int64 bufferSize, DWORD &nextTitleIndex,
                                              IAllocateCounterStorage &allocator) const
{
    static const wchar_t *const where = L"CPerformanceDataSchema::Object::WriteTo()";
    const DWORD need = GetDefinitionSize();
    if (bufferSize < need)
    {
        throw CException(where, L"Buffer is too small, need: " + Unsigned(need) + L" only got: " + ToString(bufferSize));
    }
    // The size is computed in 32 bits; an object whose real size does not fit would write
    // past the buffer, so it is refused before anything is written.
    const unsigned __int64 definitionLength =
        ObjectHeaderLength + static_cast<unsigned __int64>(CounterDefinitionLength) * m_counters.size();
    const unsigned __int64 instanceAreaLength =
        m_numInstances == NoInstances
            ? 0
            : static_cast<unsigned __int64>(m_numInstances) * (static_cast<unsigned __int64>(m_instanceNameBytes) +
                                                              InstanceDefinitionLength);
    if (definitionLength + instanceAreaLength != need)
    {
        throw CException(where, L"Internal logic error");
    }

    BYTE *const record = static_cast<BYTE *>(buffer);
    Put32(record, ObjectField::TotalByteLength, 0);
    Put32(record, ObjectField::DefinitionLength, static_cast<DWORD>(definitionLength));
    Put32(record, ObjectField::HeaderLength, ObjectHeaderLength);
    Put32(record, ObjectField::NameTitleIndex, nextTitleIndex++);
    Put32(record, ObjectField::NameTitle, 0);
    Put32(record, ObjectField::HelpTitleIndex, nextTitleIndex++);
    Put32(record, ObjectField::HelpTitle, 0);
    Put32(record, ObjectField::DetailLevel, m_detailLevel);
    Put32(record, ObjectField::NumCounters, GetNumCounters());
    Put32(record, ObjectField::DefaultCounter, static_cast<DWORD>(m_defaultCounter - 1));
    Put32(record, ObjectField::NumInstances, m_numInstances);
    Put32(record, ObjectField::CounterDataOffset, allocator.BeginObject());
    Put32(record, ObjectField::Reserved, m_objectReserved);
    Put32(record, ObjectField::InstanceNameBytes, m_instanceNameBytes);
    Put32(record, ObjectField::ActiveInstances, 0);

    DWORD counterDataSize = 0;
    BYTE *position =
        WriteCounterDefinitions(record + ObjectHeaderLength, m_counters, nextTitleIndex, allocator, counterDataSize);
    Put32(record, ObjectField::CounterDataSize, counterDataSize);
    if (m_numInstances != NoInstances)
    {
        allocator.AllocateInstances(m_numInstances);
        position = WriteFreeInstanceSlots(position, m_numInstances, m_instanceNameBytes);
    }

    const DWORD total = static_cast<DWORD>(definitionLength + instanceAreaLength);
    Put32(record, ObjectField::TotalByteLength, total);
    if (total != need || static_cast<unsigned __int64>(position - record) != total)
    {
        throw CException(where, L"Internal logic error");
    }
    return total;
}

void CPerformanceDataSchema::Object::AppendChecksumText(std::wstring &text) const
{
    text += L"[";
    for (const auto &entry : m_names)
    {
        text += entry.first + L"|" + entry.second.first + L"|" + entry.second.second + L"|";
    }
    text += Signed(m_detailLevel) + L":";
    text += Unsigned(m_numInstances) + L":";
    text += Unsigned(m_objectReserved) + L":";
    text += ToString(m_defaultCounter) + L":";
    text += ToString(static_cast<unsigned __int64>(m_counters.size()));
    text += L"[";
    for (const auto &counter : m_counters)
    {
        text += counter->GetName() + L"|";
    }
    text += L"-";
    for (const auto &counter : m_counters)
    {
        text += counter->GetHelp() + L"|";
    }
    for (const auto &counter : m_counters)
    {
        text += L"{" + Signed(counter->GetDetailLevel()) + L":" + ToString(static_cast<int>(counter->GetDefaultScale())) +
                L":" + Signed(counter->GetCounterType()) + L"}";
    }
    text += L"]]";
}

} // namespace PerfMon
} // namespace CorvaneTools
