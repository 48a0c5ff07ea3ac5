#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace PerfMon {

// Hands out counter storage while object definition records are written. Lives on the
// stack of the block initialisation and is never deleted through this interface.
class IAllocateCounterStorage
{
public:
    // Ends the previous object's storage; returns where the next object's storage begins,
    // from the start of the counter data area.
    virtual DWORD BeginObject() = 0;

    // Reserves size bytes of the current object's per-instance storage; returns their offset
    // within it.
    virtual DWORD Allocate(DWORD size) = 0;

    // Makes the current object's storage hold count copies of its per-instance storage.
    virtual void AllocateInstances(DWORD count) = 0;

protected:
    ~IAllocateCounterStorage() = default;
};

} // namespace PerfMon
} // namespace CorvaneTools
