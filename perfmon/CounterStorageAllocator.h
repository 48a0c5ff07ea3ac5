#pragma once

#include "perfmon/AllocateCounterStorage.h"

namespace CorvaneTools {
namespace PerfMon {

// Hands out counter value offsets while a block's layout is written; objects' regions are
// adjacent and the capacity is the schema's counter data size exactly.
class CCounterStorageAllocator : public IAllocateCounterStorage
{
public:
    explicit CCounterStorageAllocator(DWORD capacity);

    DWORD BeginObject() override;
    DWORD Allocate(DWORD size) override;
    void AllocateInstances(DWORD count) override;

private:
    DWORD m_start;
    DWORD m_used;
    const DWORD m_capacity;
};

} // namespace PerfMon
} // namespace CorvaneTools
