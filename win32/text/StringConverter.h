#pragma once

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Win32 {

// Length of a string as the platform's 32-bit length arguments take it.
int GetStringLength(size_t length, bool includeTerminator);
int GetStringLength(const char *text, bool includeTerminator);
int GetStringLength(const wchar_t *text, bool includeTerminator);
int GetStringLength(const std::string &text, bool includeTerminator);
int GetStringLength(const std::wstring &text, bool includeTerminator);

// Wide <-> narrow in the system ANSI code page.
class CStringConverter
{
public:
    static std::wstring AtoW(const char *text, int length, const CPINFOEXW &codePage);
    static std::string WtoA(const wchar_t *text, int length, const CPINFOEXW &codePage);

    static std::wstring AtoW(const char *text);
    static std::wstring AtoW(const std::string &text);
    static std::string WtoA(const wchar_t *text);
    static std::string WtoA(const std::wstring &text);

    // The ANSI code page's information, read once at start-up.
    static const CPINFOEXW &GetCodePageInfo();
};

} // namespace Win32
} // namespace CorvaneTools
