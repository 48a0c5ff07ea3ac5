#pragma once

#include <windows.h>
#include <psapi.h>

namespace TestSupport {

// A process's handle count, working set and private bytes, measured from outside. Wine
// answers the usual calls for handles and private bytes with 0, so the handles are counted
// by duplicating each possible value and the private bytes summed from the committed
// private regions; both agree with the usual calls on the platform itself.
struct SProcessFigures
{
    DWORD handles;
    SIZE_T workingSet;
    SIZE_T privateBytes;
};

// Handle values are multiples of 4; a process of this project holds far fewer than the
// values probed.
inline DWORD CountHandles(HANDLE process, DWORD highestValue = 0x10000)
{
    DWORD count = 0;
    for (ULONG_PTR value = 4; value <= highestValue; value += 4)
    {
        HANDLE copy = nullptr;
        if (::DuplicateHandle(process, reinterpret_cast<HANDLE>(value), ::GetCurrentProcess(), &copy, 0, FALSE,
                              DUPLICATE_SAME_ACCESS))
        {
            ::CloseHandle(copy);
            ++count;
        }
    }
    return count;
}

inline SIZE_T SumPrivateCommitted(HANDLE process)
{
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char *at = nullptr; ::VirtualQueryEx(process, at, &region, sizeof(region)) == sizeof(region);
         at = static_cast<const char *>(region.BaseAddress) + region.RegionSize)
    {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
        {
            total += region.RegionSize;
        }
    }
    return total;
}

// The process needs PROCESS_DUP_HANDLE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ.
inline SProcessFigures MeasureProcess(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof(memory);
    ::GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&memory), sizeof(memory));
    return {CountHandles(process), memory.WorkingSetSize, SumPrivateCommitted(process)};
}

} // namespace TestSupport
