#pragma once

#include <windows.h>

#include <cstddef>
#include <cstring>

namespace CorvaneTools {
namespace PerfMon {

// Fields of the performance data records are little-endian 32-bit words at fixed offsets,
// in 32-bit and 64-bit builds alike; memcpy keeps the accesses legal at any alignment.
inline DWORD Get32(const BYTE *record, size_t offset)
{
    DWORD value;
    std::memcpy(&value, record + offset, sizeof(value));
    return value;
}

inline void Put32(BYTE *record, size_t offset, DWORD value)
{
    std::memcpy(record + offset, &value, sizeof(value));
}

} // namespace PerfMon
} // namespace CorvaneTools
