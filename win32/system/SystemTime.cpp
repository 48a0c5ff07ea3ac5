#include "win32/system/SystemTime.h"

#include "win32/errors/Exception.h"

#include <cstdio>

namespace CorvaneTools {
namespace Win32 {

namespace {

// Every field is below 65536, so five digits each always fit.
template <typename... Fields>
std::wstring Format(const wchar_t *format, Fields... fields)
{
    wchar_t buffer[64];
    ::_snwprintf_s(buffer, _countof(buffer), _TRUNCATE, format, static_cast<unsigned>(fields)...);
    return buffer;
}

} // namespace

CSystemTime::CSystemTime() : SYSTEMTIME()
{
}

std::wstring CSystemTime::GetAsYYYYMMDD() const
{
    if (wYear > 9999 || wMonth > 99 || wDay > 99)
    {
        throw CException(L"CSystemTime::GetAsYYYYMMDD()", L"Invalid date; year > 9999?");
    }
    return Format(L"%04u%02u%02u", wYear, wMonth, wDay);
}

std::wstring CSystemTime::GetAsHHMMSS() const
{
    return Format(L"%02u%02u%02u", wHour, wMinute, wSecond);
}

std::wstring CSystemTime::GetAsDateTime() const
{
    return Format(L"%04u-%02u-%02u %02u:%02u:%02u.%03u", wYear, wMonth, wDay, wHour, wMinute, wSecond,
                  wMilliseconds);
}

} // namespace Win32
} // namespace CorvaneTools
