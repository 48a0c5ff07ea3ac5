#include "tests/support/loadperf/CounterTextDefinition.h"

#include <algorithm>

namespace TessalyTestSupport {

namespace {

std::wstring FolderOf(const std::wstring &path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

// "the header file must be in the same directory as the .INI file": a bare name is looked
// for there, and a path to any other folder is refused (empty).
std::wstring SymbolFilePath(const std::wstring &iniPath, const std::wstring &symbolFile)
{
    if (symbolFile.find_first_of(L"\\/:") == std::wstring::npos)
    {
        return FolderOf(iniPath) + symbolFile;
    }
    return ToUpper(FolderOf(symbolFile)) == ToUpper(FolderOf(iniPath)) ? symbolFile : std::wstring();
}

} // namespace

DWORD CCounterTextDefinition::Read(const std::wstring &iniPath)
{
    // "The .INI file should be encoded as UTF-16LE (with byte order mark)". What the loader
    // does with any other encoding is not documented, so no other is taken here.
    std::wstring text;
    DWORD error = ReadTextFile(iniPath, true, text);
    if (error != ERROR_SUCCESS)
    {
        return error;
    }
    const CIniFile ini(text);
    // "The DriverName and SymbolFile keys are required."
    std::wstring symbolFile;
    if (!ini.GetValue(L"info", L"drivername", m_applicationName) || m_applicationName.empty() ||
        !ini.GetValue(L"info", L"symbolfile", symbolFile) || symbolFile.empty())
    {
        return ERROR_INVALID_DATA;
    }
    const std::wstring symbolPath = SymbolFilePath(iniPath, symbolFile);
    if (symbolPath.empty())
    {
        return ERROR_INVALID_DATA;
    }
    error = ReadTextFile(symbolPath, false, text);
    if (error != ERROR_SUCCESS)
    {
        return error;
    }
    if (!ParseSymbolFile(text, m_symbols) || !ReadLanguages(ini) || !ReadObjects(ini))
    {
        return ERROR_INVALID_DATA;
    }
    return ERROR_SUCCESS;
}

bool CCounterTextDefinition::ReadLanguages(const CIniFile &ini)
{
    m_languages.clear();
    const CIniFile::Section *section = ini.GetSection(L"languages");
    if (!section || section->empty())
    {
        return false;
    }
    for (const auto &entry : *section)
    {
        if (!IsLanguageId(entry.first))
        {
            return false;
        }
        if (HasLanguage(entry.first))
        {
            continue;
        }
        SLanguageTexts texts{entry.first, {}, {}};
        for (const auto &symbol : m_symbols)
        {
            // "For each object or counter, and for each supported language, you must provide
            // a NAME key ... and you may optionally provide a HELP key" ([text] section).
            std::wstring value;
            const std::wstring key = symbol.name + L"_" + entry.first;
            if (!ini.GetValue(L"text", key + L"_NAME", value) || value.empty())
            {
                return false;
            }
            texts.names.emplace_back(symbol.offset, value);
            if (ini.GetValue(L"text", key + L"_HELP", value))
            {
                texts.helpTexts.emplace_back(symbol.offset, value);
            }
        }
        m_languages.push_back(std::move(texts));
    }
    return true;
}

// "add one key named <symbol>_<langid>_NAME= to the [objects] section, where <symbol> is
// the name of the object and <langid> is the language id of one of the supported
// languages": a key of another form, or one naming no symbol, is refused.
bool CCounterTextDefinition::ReadObjects(const CIniFile &ini)
{
    m_objectOffsets.clear();
    const CIniFile::Section *section = ini.GetSection(L"objects");
    if (!section)
    {
        return true;
    }
    static const std::wstring suffix = L"_NAME";
    for (const auto &entry : *section)
    {
        const std::wstring &key = entry.first;
        if (key.size() < suffix.size() + 5 || key.compare(key.size() - suffix.size(), suffix.size(), suffix) != 0)
        {
            return false;
        }
        const size_t language = key.size() - suffix.size() - 3;
        if (key[language - 1] != L'_' || !HasLanguage(key.substr(language, 3)))
        {
            return false;
        }
        const std::wstring name = key.substr(0, language - 1);
        const auto symbol = std::find_if(m_symbols.begin(), m_symbols.end(),
                                         [&](const SSymbol &each) { return ToUpper(each.name) == name; });
        if (symbol == m_symbols.end())
        {
            return false;
        }
        if (std::find(m_objectOffsets.begin(), m_objectOffsets.end(), symbol->offset) == m_objectOffsets.end())
        {
            m_objectOffsets.push_back(symbol->offset);
        }
    }
    std::sort(m_objectOffsets.begin(), m_objectOffsets.end());
    return true;
}

bool CCounterTextDefinition::HasLanguage(const std::wstring &language) const
{
    return std::any_of(m_languages.begin(), m_languages.end(),
                       [&](const SLanguageTexts &each) { return each.language == language; });
}

} // namespace TessalyTestSupport
