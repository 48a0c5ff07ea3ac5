#include "win32/text/StringConverter.h"

#include "win32/errors/Win32Exception.h"
#include "win32/text/ToString.h"

#include <cstring>
#include <cwchar>

namespace CorvaneTools {
namespace Win32 {

namespace {

CPINFOEXW ReadCodePageInfo()
{
    CPINFOEXW info = {};
    if (!::GetCPInfoExW(CP_ACP, 0, &info))
    {
        // Without it every conversion takes the two-pass path, which is always correct.
        info.MaxCharSize = 0;
        info.CodePage = CP_ACP;
    }
    return info;
}

const CPINFOEXW s_codePageInfo = ReadCodePageInfo();

} // namespace

int GetStringLength(size_t length, bool includeTerminator)
{
    const unsigned __int64 total = static_cast<unsigned __int64>(length) + (includeTerminator ? 1 : 0);
    if (total >= 0x80000000ULL)
    {
        throw CException(L"GetStringLength()", L"String is too long to fit: " + ToString(total));
    }
    return static_cast<int>(total);
}

int GetStringLength(const char *text, bool includeTerminator)
{
    return GetStringLength(text ? std::strlen(text) : 0, includeTerminator);
}

int GetStringLength(const wchar_t *text, bool includeTerminator)
{
    return GetStringLength(text ? std::wcslen(text) : 0, includeTerminator);
}

int GetStringLength(const std::string &text, bool includeTerminator)
{
    return GetStringLength(text.size(), includeTerminator);
}

int GetStringLength(const std::wstring &text, bool includeTerminator)
{
    return GetStringLength(text.size(), includeTerminator);
}

const CPINFOEXW &CStringConverter::GetCodePageInfo()
{
    return s_codePageInfo;
}

std::wstring CStringConverter::AtoW(const char *text, int length, const CPINFOEXW &codePage)
{
    if (length <= 0)
    {
        return std::wstring();
    }
    int size = length;
    if (codePage.MaxCharSize != 1)
    {
        size = ::MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0);
        if (size == 0)
        {
            throw CWin32Exception(L"CStringConverter::AtoW()", ::GetLastError());
        }
    }
    std::wstring result(static_cast<size_t>(size), L'\0');
    const int written = ::MultiByteToWideChar(CP_ACP, 0, text, length, &result[0], size);
    if (written == 0)
    {
        throw CWin32Exception(L"CStringConverter::AtoW()", ::GetLastError());
    }
    result.resize(static_cast<size_t>(written));
    return result;
}

std::string CStringConverter::WtoA(const wchar_t *text, int length, const CPINFOEXW &codePage)
{
    if (length <= 0)
    {
        return std::string();
    }
    int size = length;
    if (codePage.MaxCharSize != 1)
    {
        size = ::WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
        if (size == 0)
        {
            throw CWin32Exception(L"CStringConverter::WtoA()", ::GetLastError());
        }
    }
    std::string result(static_cast<size_t>(size), '\0');
    const int written = ::WideCharToMultiByte(CP_ACP, 0, text, length, &result[0], size, nullptr, nullptr);
    if (written == 0)
    {
        throw CWin32Exception(L"CStringConverter::WtoA()", ::GetLastError());
    }
    result.resize(static_cast<size_t>(written));
    return result;
}

std::wstring CStringConverter::AtoW(const char *text)
{
    return text ? AtoW(text, GetStringLength(text, false), s_codePageInfo) : std::wstring();
}

std::wstring CStringConverter::AtoW(const std::string &text)
{
    return AtoW(text.data(), GetStringLength(text, false), s_codePageInfo);
}

std::string CStringConverter::WtoA(const wchar_t *text)
{
    return text ? WtoA(text, GetStringLength(text, false), s_codePageInfo) : std::string();
}

std::string CStringConverter::WtoA(const std::wstring &text)
{
    return WtoA(text.data(), GetStringLength(text, false), s_codePageInfo);
}

} // namespace Win32
} // namespace CorvaneTools
