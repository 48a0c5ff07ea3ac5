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

// The whole file as text: UTF-16LE after its byte order mark, or else ANSI unless the
// mark is required. Returns the CreateFile/ReadFile error (a missing folder counts as a
// missing file), or ERROR_INVALID_DATA for a file not so encoded.
DWORD ReadTextFile(const std::wstring &path, bool byteOrderMarkRequired, std::wstring &text);

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

// "#define SYMBOL OFFSET" lines, a "//" comment after them allowed, sorted by offset; other
// lines, and defines of anything but a number, are ignored. False unless the offsets are
// exactly 0, 2, 4, ...: "The constant values must be consecutive, even numbers beginning
// with zero" (Adding Counter Names and Descriptions to the Registry,
// https://learn.microsoft.com/en-us/windows/win32/perfctrs/adding-counter-names-and-descriptions-to-the-registry).
bool ParseSymbolFile(const std::wstring &text, std::vector<SSymbol> &symbols);

// "a sequence of 3 hexadecimal digits" (the same page, [languages] section).
bool IsLanguageId(const std::wstring &text);

std::wstring ToUpper(std::wstring text);

} // namespace TessalyTestSupport
