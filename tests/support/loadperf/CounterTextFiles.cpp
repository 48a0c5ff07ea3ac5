#include "tests/support/loadperf/CounterTextFiles.h"

#include <algorithm>
#include <cwctype>

namespace TessalyTestSupport {

namespace {

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

std::wstring Trim(const std::wstring &text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin]))
    {
        ++begin;
    }
    while (end > begin && IsBlank(text[end - 1]))
    {
        --end;
    }
    return text.substr(begin, end - begin);
}

std::vector<std::wstring> SplitLines(const std::wstring &text)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start <= text.size())
    {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
        {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

class CFileHandle
{
public:
    explicit CFileHandle(HANDLE handle) : m_handle(handle)
    {
    }
    ~CFileHandle()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
        {
            ::CloseHandle(m_handle);
        }
    }
    CFileHandle(const CFileHandle &) = delete;
    CFileHandle &operator=(const CFileHandle &) = delete;

    HANDLE Get() const
    {
        return m_handle;
    }

private:
    HANDLE m_handle;
};

} // namespace

std::wstring ToUpper(std::wstring text)
{
    for (wchar_t &c : text)
    {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    return text;
}

bool ParseCounterTextCommandLine(const wchar_t *commandLine, std::wstring &argument)
{
    if (!commandLine)
    {
        return false;
    }
    const std::wstring line = Trim(commandLine);
    size_t i = 0;
    if (i < line.size() && line[i] == L'"')
    {
        const size_t close = line.find(L'"', i + 1);
        if (close == std::wstring::npos)
        {
            return false;
        }
        i = close + 1;
    }
    else
    {
        while (i < line.size() && !IsBlank(line[i]))
        {
            ++i;
        }
    }
    if (i == 0 || i >= line.size() || !IsBlank(line[i]))
    {
        return false;
    }
    const std::wstring rest = Trim(line.substr(i));
    if (rest.empty())
    {
        return false;
    }
    if (rest[0] == L'"')
    {
        const size_t close = rest.find(L'"', 1);
        if (close == std::wstring::npos || !Trim(rest.substr(close + 1)).empty())
        {
            return false;
        }
        argument = rest.substr(1, close - 1);
    }
    else
    {
        // Unquoted, the argument runs to the end so that a path with blanks still works.
        argument = rest;
    }
    return !argument.empty();
}

DWORD ReadTextFile(const std::wstring &path, bool byteOrderMarkRequired, std::wstring &text)
{
    CFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE)
    {
        const DWORD error = ::GetLastError();
        return error == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : error;
    }
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.Get(), &size))
    {
        return ::GetLastError();
    }
    if (size.QuadPart > 16 * 1024 * 1024)
    {
        return ERROR_FILE_TOO_LARGE;
    }
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() && !::ReadFile(file.Get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr))
    {
        return ::GetLastError();
    }
    bytes.resize(read);
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE)
    {
        if (bytes.size() % 2 != 0)
        {
            return ERROR_INVALID_DATA;
        }
        text.clear();
        for (size_t i = 2; i < bytes.size(); i += 2)
        {
            text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                                static_cast<unsigned char>(bytes[i + 1]) << 8));
        }
        return ERROR_SUCCESS;
    }
    text.clear();
    if (byteOrderMarkRequired)
    {
        return ERROR_INVALID_DATA;
    }
    if (bytes.empty())
    {
        return ERROR_SUCCESS;
    }
    const int length = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (length <= 0)
    {
        return ::GetLastError();
    }
    text.resize(static_cast<size_t>(length));
    ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], length);
    return ERROR_SUCCESS;
}

CIniFile::CIniFile(const std::wstring &text)
{
    Section *current = nullptr;
    for (const std::wstring &raw : SplitLines(text))
    {
        const std::wstring line = Trim(raw);
        if (line.empty() || line[0] == L';')
        {
            continue;
        }
        if (line[0] == L'[')
        {
            const size_t close = line.find(L']');
            current = &m_sections[ToUpper(Trim(line.substr(1, close == std::wstring::npos ? line.npos : close - 1)))];
            continue;
        }
        const size_t equals = line.find(L'=');
        if (!current || equals == std::wstring::npos)
        {
            continue;
        }
        current->emplace_back(ToUpper(Trim(line.substr(0, equals))), Trim(line.substr(equals + 1)));
    }
}

const CIniFile::Section *CIniFile::GetSection(const std::wstring &name) const
{
    const auto found = m_sections.find(ToUpper(name));
    return found == m_sections.end() ? nullptr : &found->second;
}

bool CIniFile::GetValue(const std::wstring &section, const std::wstring &key, std::wstring &value) const
{
    const Section *entries = GetSection(section);
    if (!entries)
    {
        return false;
    }
    const std::wstring wanted = ToUpper(key);
    for (const auto &entry : *entries)
    {
        if (entry.first == wanted)
        {
            value = entry.second;
            return true;
        }
    }
    return false;
}

bool ParseSymbolFile(const std::wstring &text, std::vector<SSymbol> &symbols)
{
    symbols.clear();
    static const std::wstring define = L"#define";
    for (const std::wstring &raw : SplitLines(text))
    {
        const std::wstring line = Trim(raw);
        if (line.compare(0, define.size(), define) != 0 || line.size() == define.size() ||
            !IsBlank(line[define.size()]))
        {
            continue;
        }
        const std::wstring rest = Trim(line.substr(define.size(), line.find(L"//") - define.size()));
        size_t end = 0;
        while (end < rest.size() && !IsBlank(rest[end]))
        {
            ++end;
        }
        const std::wstring name = rest.substr(0, end);
        const std::wstring number = Trim(rest.substr(end));
        if (name.empty() || number.empty())
        {
            continue;
        }
        wchar_t *stop = nullptr;
        const unsigned long offset = std::wcstoul(number.c_str(), &stop, 0);
        if (*stop != L'\0')
        {
            continue;
        }
        if (offset > 0x7FFFFFFF)
        {
            return false;
        }
        symbols.push_back({name, static_cast<DWORD>(offset)});
    }
    std::sort(symbols.begin(), symbols.end(), [](const SSymbol &a, const SSymbol &b) { return a.offset < b.offset; });
    for (size_t i = 0; i < symbols.size(); ++i)
    {
        if (symbols[i].offset != 2 * i)
        {
            return false;
        }
    }
    return !symbols.empty();
}

bool IsLanguageId(const std::wstring &text)
{
    return text.size() == 3 && std::all_of(text.begin(), text.end(), [](wchar_t c) { return std::iswxdigit(c) != 0; });
}

} // namespace TessalyTestSupport
