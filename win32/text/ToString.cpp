#include "win32/text/ToString.h"

#include "win32/errors/Exception.h"

#include <cstdio>
#include <cwchar>

namespace CorvaneTools {
namespace Win32 {

namespace {

template <typename T>
std::wstring Format(const wchar_t *format, T value)
{
    wchar_t buffer[32];
    if (::_snwprintf_s(buffer, _countof(buffer), _TRUNCATE, format, value) < 0)
    {
        throw CException(L"ToString", L"sprintf_s failed");
    }
    return buffer;
}

// Indexed by (prefix ? 4 : 0) + (pad ? 2 : 0) + (upper ? 1 : 0).
const wchar_t *const s_hexFormats[] = {L"%x", L"%X", L"%8.8x", L"%8.8X", L"0x%x", L"0x%X", L"0x%8.8x", L"0x%8.8X"};
const wchar_t *const s_hexLongFormats[] = {L"%lx",   L"%lX",   L"%8.8lx",   L"%8.8lX",
                                           L"0x%lx", L"0x%lX", L"0x%8.8lx", L"0x%8.8lX"};

size_t HexFormatIndex(DWORD flags)
{
    return ((flags & HexPrefix) ? 4 : 0) + ((flags & HexPadTo8) ? 2 : 0) + ((flags & HexUpperCase) ? 1 : 0);
}

} // namespace

std::wstring ToString(int value)
{
    return Format(L"%i", value);
}

std::wstring ToString(unsigned long value)
{
    return Format(L"%lu", value);
}

std::wstring ToString(long value)
{
    return Format(L"%li", value);
}

std::wstring ToString(unsigned __int64 value)
{
    return Format(L"%I64u", value);
}

std::wstring ToString(__int64 value)
{
    return Format(L"%I64i", value);
}

std::string ToStringA(unsigned long value)
{
    char buffer[32];
    if (::_snprintf_s(buffer, _countof(buffer), _TRUNCATE, "%lu", value) < 0)
    {
        throw CException(L"ToString", L"sprintf_s failed");
    }
    return buffer;
}

std::wstring ToHexString(unsigned int value, DWORD flags)
{
    return Format(s_hexFormats[HexFormatIndex(flags)], value);
}

std::wstring ToHexString(unsigned long value, DWORD flags)
{
    return Format(s_hexLongFormats[HexFormatIndex(flags)], value);
}

} // namespace Win32
} // namespace CorvaneTools
