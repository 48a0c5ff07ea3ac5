#include "perfmon/PerformanceDataSchemaFileExporter.h"

#include "win32/errors/Exception.h"
#include "win32/files/FileUtils.h"
#include "win32/text/StringConverter.h"

#include <vector>

namespace CorvaneTools {
namespace PerfMon {

namespace {

std::wstring ObjectSymbol(size_t object)
{
    return L"OBJECT_" + std::to_wstring(object);
}

std::wstring CounterSymbol(size_t object, size_t counter)
{
    return ObjectSymbol(object) + L"_COUNTER_" + std::to_wstring(counter);
}

} // namespace

CPerformanceDataSchemaFileExporter::CPerformanceDataSchemaFileExporter() : m_directory(L"CORVANE-PerfDataExporter")
{
}

const std::wstring &CPerformanceDataSchemaFileExporter::GetDirectory() const
{
    return m_directory.GetPath();
}

std::wstring CPerformanceDataSchemaFileExporter::BaseName(const std::wstring &applicationName)
{
    std::wstring name = applicationName;
    for (wchar_t &c : name)
    {
        if (c == L' ')
        {
            c = L'_';
        }
    }
    return name;
}

std::wstring CPerformanceDataSchemaFileExporter::WriteSymbolFile(const std::wstring &applicationName,
                                                                 const CPerformanceDataSchema &schema) const
{
    schema.ValidateSchema();
    std::wstring text;
    unsigned long offset = 0;
    size_t i = 0;
    for (const auto &object : schema)
    {
        text += L"#define " + ObjectSymbol(i) + L"\t\t\t" + std::to_wstring(offset) + L"\r\n";
        offset += 2;
        for (DWORD k = 0; k < object.GetNumCounters(); ++k)
        {
            text += L"#define " + CounterSymbol(i, k) + L"\t\t" + std::to_wstring(offset) + L"\r\n";
            offset += 2;
        }
        text += L"\r\n";
        ++i;
    }
    // A C header, for which no other encoding is documented; its text is ASCII only, the
    // same bytes in every code page.
    return m_directory.SaveFile(BaseName(applicationName) + L".h", Win32::CStringConverter::WtoA(text));
}

std::wstring CPerformanceDataSchemaFileExporter::WriteIniFile(const std::wstring &applicationName,
                                                              const CPerformanceDataSchema &schema) const
{
    schema.ValidateSchema();
    const std::wstring language = schema.GetLanguage();
    std::vector<std::wstring> languages;
    schema.GetLanguages(languages);
    const std::wstring baseName = BaseName(applicationName);

    std::wstring text = L"[info]\r\ndrivername=" + applicationName + L"\r\nsymbolfile=" + baseName + L".h\r\n\r\n";
    text += L"[objects]\r\n";
    size_t i = 0;
    for (const auto &object : schema)
    {
        text += ObjectSymbol(i++) + L"_" + language + L"_NAME=" + object.GetName() + L"\r\n";
    }
    text += L"\r\n[languages]\r\n";
    for (const auto &each : languages)
    {
        text += each + L"=Ignored\r\n";
    }
    text += L"\r\n[text]\r\n";
    std::vector<std::wstring> names;
    std::vector<std::wstring> helpTexts;
    for (const auto &each : languages)
    {
        i = 0;
        for (const auto &object : schema)
        {
            text += ObjectSymbol(i) + L"_" + each + L"_NAME=" + object.GetName(each) + L"\r\n";
            text += ObjectSymbol(i) + L"_" + each + L"_HELP=" + object.GetHelp(each) + L"\r\n";
            object.GetCounterNames(each, names);
            object.GetCounterHelpTexts(each, helpTexts);
            if (names.size() != helpTexts.size())
            {
                throw Win32::CException(L"CPerformanceDataSchemaFileExporter::WriteIniFile()",
                                        L"Unexpected, names and help should be the same size!");
            }
            for (size_t k = 0; k < names.size(); ++k)
            {
                text += CounterSymbol(i, k) + L"_" + each + L"_NAME=" + names[k] + L"\r\n";
                text += CounterSymbol(i, k) + L"_" + each + L"_HELP=" + helpTexts[k] + L"\r\n";
            }
            text += L"\r\n";
            ++i;
        }
    }
    // "The .INI file should be encoded as UTF-16LE (with byte order mark)" (Adding Counter
    // Names and Descriptions to the Registry); the names then survive any code page.
    return m_directory.SaveFile(baseName + L".ini", Win32::Utf16LETextFileBytes(text));
}

} // namespace PerfMon
} // namespace CorvaneTools
