#pragma once

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Win32 {

// A SYSTEMTIME, zeroed at construction, that users fill (GetLocalTime(&time)) and format.
class CSystemTime : public SYSTEMTIME
{
public:
    CSystemTime();

    // "20261206"; throws for a year above 9999 or a month or day above 99.
    std::wstring GetAsYYYYMMDD() const;
    // "235959"
    std::wstring GetAsHHMMSS() const;
    // "2026-12-06 23:59:59.999"
    std::wstring GetAsDateTime() const;
};

} // namespace Win32
} // namespace CorvaneTools
