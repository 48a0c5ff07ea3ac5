#include "perfmon/PerformanceDataSchema.h"
#include "perfmon/RecordFields.h"

#include "perfmon/MD5Digest.h"
#include "win32/errors/Exception.h"
#include "win32/text/ToString.h"

#include <cstring>

namespace CorvaneTools {
namespace PerfMon {

using Win32::CException;
using Win32::ToString;

namespace {

const DWORD s_counterSize = 8;

const std::wstring &TextFor(const CPerformanceDataSchema::Names &names, const std::wstring &language,
                            const std::wstring &ownLanguage, bool help)
{
    auto it = names.find(language);
    if (it == names.end())
    {
        it = names.find(ownLanguage);
    }
    return help ? it->second.second : it->second.first;
}

std::wstring Signed(DWORD value)
{
    return ToString(static_cast<int>(value));
}

std::wstring Unsigned(DWORD value)
{
    return ToString(static_cast<unsigned long>(value));
}

} // namespace

// Counter

CPerformanceDataSchema::Counter::Counter(const std::wstring &language, const std::wstring &name,
                                         const std::wstring &help, DWORD detailLevel, LONG defaultScale,
                                         DWORD counterType)
    : m_detailLevel(detailLevel), m_defaultScale(defaultScale), m_counterType(counterType), m_language(language)
{
    m_names[language] = std::make_pair(name, help);
}

std::wstring CPerformanceDataSchema::Counter::GetName(const std::wstring &language) const
{
    return TextFor(m_names, language, m_language, false);
}

std::wstring CPerformanceDataSchema::Counter::GetHelp(const std::wstring &language) const
{
    return TextFor(m_names, language, m_language, true);
}

const std::wstring &CPerformanceDataSchema::Counter::GetName() const
{
    return TextFor(m_names, m_language, m_language, false);
}

const std::wstring &CPerformanceDataSchema::Counter::GetHelp() const
{
    return TextFor(m_names, m_language, m_language, true);
}

DWORD CPerformanceDataSchema::Counter::GetDetailLevel() const
{
    return m_detailLevel;
}

LONG CPerformanceDataSchema::Counter::GetDefaultScale() const
{
    return m_defaultScale;
}

DWORD CPerformanceDataSchema::Counter::GetCounterType() const
{
    return m_counterType;
}

DWORD CPerformanceDataSchema::Counter::GetStorageSize() const
{
    return s_counterSize;
}

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

    BYTE *position = record + ObjectHeaderLength;
    DWORD counterDataSize = 0;
    for (const auto &counter : m_counters)
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
    Put32(record, ObjectField::CounterDataSize, counterDataSize);

    if (m_numInstances != NoInstances)
    {
        allocator.AllocateInstances(m_numInstances);
        for (DWORD i = 0; i < m_numInstances; ++i)
        {
            Put32(position, InstanceField::ByteLength, 0); // a free slot
            Put32(position, InstanceField::ParentObjectTitleIndex, 0);
            Put32(position, InstanceField::ParentObjectInstance, 0);
            Put32(position, InstanceField::UniqueId, 0xFFFFFFFF);
            Put32(position, InstanceField::NameOffset, InstanceDefinitionLength);
            Put32(position, InstanceField::NameLength, 0);
            position += InstanceDefinitionLength;
            std::memset(position, 0, m_instanceNameBytes);
            position += m_instanceNameBytes;
        }
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

// Schema

CPerformanceDataSchema::CPerformanceDataSchema(const std::wstring &language) : m_language(language)
{
    m_languages.insert(language);
}

CPerformanceDataSchema::Object &CPerformanceDataSchema::AddObject(const std::wstring &name, const std::wstring &help,
                                                                  DWORD detailLevel)
{
    if (m_objectNames.count(name) != 0)
    {
        throw CException(L"CPerformanceDataSchema::AddObject()", L"Duplicate object name: \"" + name + L"\"");
    }
    m_objects.push_back(std::make_unique<Object>(m_language, name, help, detailLevel));
    try
    {
        m_objectNames.insert(name);
    }
    catch (...)
    {
        m_objects.pop_back();
        throw;
    }
    return *m_objects.back();
}

void CPerformanceDataSchema::ValidateSchema() const
{
    if (m_objects.empty())
    {
        throw CException(L"CPerformanceDataSchema::ValidateSchema()", L"Schema must have at least one object");
    }
    for (const auto &object : m_objects)
    {
        object->ValidateSchema();
    }
}

std::wstring CPerformanceDataSchema::GetLanguage() const
{
    return m_language;
}

void CPerformanceDataSchema::GetLanguages(std::vector<std::wstring> &languages) const
{
    languages.assign(m_languages.begin(), m_languages.end());
}

size_t CPerformanceDataSchema::GetNumObjects() const
{
    return m_objects.size();
}

CPerformanceDataSchema::ConstIterator CPerformanceDataSchema::begin() const
{
    return ConstIterator(m_objects.begin());
}

CPerformanceDataSchema::ConstIterator CPerformanceDataSchema::end() const
{
    return ConstIterator(m_objects.end());
}

DWORD CPerformanceDataSchema::GetDefinitionSize() const
{
    ValidateSchema();
    DWORD size = 0;
    for (const auto &object : m_objects)
    {
        size += object->GetDefinitionSize();
    }
    return size;
}

DWORD CPerformanceDataSchema::GetCounterDataSize() const
{
    ValidateSchema();
    DWORD size = 0;
    for (const auto &object : m_objects)
    {
        size += object->GetCounterDataSize();
    }
    return size;
}

DWORD CPerformanceDataSchema::GetTotalSize() const
{
    ValidateSchema();
    DWORD size = 0;
    for (const auto &object : m_objects)
    {
        size += object->GetTotalSize();
    }
    return size;
}

std::wstring CPerformanceDataSchema::GetChecksumText() const
{
    std::wstring text = L"CPerformanceDataSchema:v1.0:";
    for (const auto &object : m_objects)
    {
        object->AppendChecksumText(text);
    }
    return text;
}

std::wstring CPerformanceDataSchema::GetChecksum() const
{
    const std::wstring text = GetChecksumText();
    const unsigned __int64 bytes = static_cast<unsigned __int64>(text.size()) * sizeof(wchar_t);
    if (bytes > 0xFFFFFFFFULL)
    {
        throw CException(L"CPerformanceDataSchema::GetChecksum()", L"Schema data is too long.");
    }
    // wchar_t is UTF-16 little-endian on this platform, so the string's bytes are the text.
    return GetMD5Digest(text.data(), static_cast<DWORD>(bytes));
}

} // namespace PerfMon
} // namespace CorvaneTools
