#pragma once

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace PerfMon {

// RFC 1321 digest through the platform crypto provider; output must be 16 bytes.
void GetMD5Digest(const void *data, DWORD length, BYTE *output, DWORD outputLength);

// The same digest as 32 upper-case hexadecimal digits, high nibble first.
std::wstring GetMD5Digest(const void *data, DWORD length);

} // namespace PerfMon
} // namespace CorvaneTools
