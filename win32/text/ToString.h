#pragma once

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Win32 {

// Flags of ToHexString.
enum HexFormat : DWORD
{
    HexDefault = 0x0,
    HexUpperCase = 0x1,
    HexPrefix = 0x10,
    HexPadTo8 = 0x100,
};

std::wstring ToString(int value);
std::wstring ToString(unsigned long value);
std::wstring ToString(long value);
std::wstring ToString(unsigned __int64 value);
std::wstring ToString(__int64 value);

// Narrow twin for the log's thread identifiers.
std::string ToStringA(unsigned long value);

std::wstring ToHexString(unsigned int value, DWORD flags);
std::wstring ToHexString(unsigned long value, DWORD flags);

} // namespace Win32
} // namespace CorvaneTools
