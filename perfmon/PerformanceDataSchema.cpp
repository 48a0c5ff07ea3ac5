#include "perfmon/PerformanceDataSchema.h"

#include "perfmon/MD5Digest.h"
#include "win32/errors/Exception.h"

namespace CorvaneTools {
namespace PerfMon {

using Win32::CException;

const std::wstring &CPerformanceDataSchema::TextFor(const Names &names, const std::wstring &language,
                                                    const std::wstring &ownLanguage, bool help)
{
    auto it = names.find(language);
    if (it == names.end())
    {
        it = names.find(ownLanguage);
    }
    return help ? it->second.second : it->second.first;
}

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
