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

// The records' sizes and the offsets of their fields, as the block holds them and the
// platform's performance data carries them.
const DWORD ObjectHeaderLength = 64;
const DWORD CounterDefinitionLength = 40;
const DWORD InstanceDefinitionLength = 24;
const DWORD NoInstances = 0xFFFFFFFF;

// The block's own header.
namespace BlockField {
enum : size_t
{
    Initialised = 0,
    ObjectsOffset = 4,
    LastObjectOffset = 8,
    CounterDataOffset = 12,
};
}

// An object definition record; 44 to 63 hold the block's bookkeeping where the platform's
// object header has its code page and time fields.
namespace ObjectField {
enum : size_t
{
    TotalByteLength = 0,
    DefinitionLength = 4,
    HeaderLength = 8,
    NameTitleIndex = 12,
    // The platform's name and help pointers; 0 in the block and in the data served.
    NameTitle = 16,
    HelpTitleIndex = 20,
    HelpTitle = 24,
    DetailLevel = 28,
    NumCounters = 32,
    DefaultCounter = 36,
    NumInstances = 40,
    CounterDataOffset = 44,
    Reserved = 48,
    InstanceNameBytes = 52,
    CounterDataSize = 56,
    ActiveInstances = 60,
};
}

namespace CounterField {
enum : size_t
{
    ByteLength = 0,
    NameTitleIndex = 4,
    NameTitle = 8,
    HelpTitleIndex = 12,
    HelpTitle = 16,
    DefaultScale = 20,
    DetailLevel = 24,
    CounterType = 28,
    CounterSize = 32,
    CounterOffset = 36,
};
}

namespace InstanceField {
enum : size_t
{
    ByteLength = 0,
    ParentObjectTitleIndex = 4,
    ParentObjectInstance = 8,
    UniqueId = 12,
    NameOffset = 16,
    NameLength = 20,
};
}

} // namespace PerfMon
} // namespace CorvaneTools
