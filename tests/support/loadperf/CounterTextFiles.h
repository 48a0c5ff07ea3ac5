#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace TessalyTestSupport {

// "<ignored word> <argument>", the argument optionally in double quotes. False when
// either word is missing or a quote is not closed.
bool ParseCounterTextCommandLine(const wchar_t *commandLine, std::wstring &argument);

// The whole file as text: ANSI, or UTF-16 with its byte order mark. Returns the
// CreateFile/ReadFile error; a missing folder counts as a missing file.
DWORD ReadTextFile(const std::wstring &path, std::wstring &text);

// The sections of an .ini file, names and keys folded to upper case.
class CIniFile
{
public:
    typedef std::vector<std::pair<std::wstring, std::wstring>> Section;

    explicit CIniFile(const std::wstring &text);

    // Null when absent.
    const Section *GetSection(const std::wstring &name) const;
    // False when the section or key is absent.
    bool GetValue(const std::wstring &section, const std::wstring &key, std::wstring &value) const;

private:
    std::map<std::wstring, Section> m_sections;
};

struct SSymbol
{
    std::wstring name;
    DWORD offset;
};

// "#define SYMBOL OFFSET" lines, sorted by offset; other lines are ignored. False when
// there is no symbol, an offset is odd, or two symbols share one.
bool ParseSymbolFile(const std::wstring &text, std::vector<SSymbol> &symbols);

std::wstring ToUpper(std::wstring text);

} // namespace TessalyTestSupport
