#pragma once

#include "tests/support/loadperf/CounterTextFiles.h"

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace TessalyTestSupport {

// One language's texts, keyed by symbol offset.
struct SLanguageTexts
{
    std::wstring language;
    std::vector<std::pair<DWORD, std::wstring>> names;
    std::vector<std::pair<DWORD, std::wstring>> helpTexts;
};

// An .ini file and the symbol file beside it, read and held to the rules Microsoft
// documents for the counter-text loader's input (Adding Counter Names and Descriptions to
// the Registry,
// https://learn.microsoft.com/en-us/windows/win32/perfctrs/adding-counter-names-and-descriptions-to-the-registry).
// A file that breaks one is refused whole, before the registry is touched, so that nothing
// the platform's loader could refuse passes the tests here.
class CCounterTextDefinition
{
public:
    // ERROR_SUCCESS; the error of reading a file; or ERROR_INVALID_DATA for a file the
    // rules refuse.
    DWORD Read(const std::wstring &iniPath);

    const std::wstring &ApplicationName() const
    {
        return m_applicationName;
    }
    DWORD LastOffset() const
    {
        return m_symbols.back().offset;
    }
    // The offsets of the symbols the [objects] section names, ascending; empty without it.
    const std::vector<DWORD> &ObjectOffsets() const
    {
        return m_objectOffsets;
    }
    // In the order of the [languages] section.
    const std::vector<SLanguageTexts> &Languages() const
    {
        return m_languages;
    }

private:
    bool ReadLanguages(const CIniFile &ini);
    bool ReadObjects(const CIniFile &ini);
    bool HasLanguage(const std::wstring &language) const;

    std::wstring m_applicationName;
    std::vector<SSymbol> m_symbols;
    std::vector<DWORD> m_objectOffsets;
    std::vector<SLanguageTexts> m_languages;
};

} // namespace TessalyTestSupport
