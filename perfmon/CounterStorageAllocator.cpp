#include "perfmon/CounterStorageAllocator.h"

#include "win32/errors/Exception.h"
#include "win32/text/ToString.h"

namespace CorvaneTools {
namespace PerfMon {

using Win32::CException;
using Win32::ToString;

CCounterStorageAllocator::CCounterStorageAllocator(DWORD capacity) : m_start(0), m_used(0), m_capacity(capacity)
{
}

DWORD CCounterStorageAllocator::BeginObject()
{
    m_start += m_used;
    m_used = 0;
    return m_start;
}

DWORD CCounterStorageAllocator::Allocate(DWORD size)
{
    // Computed in 64 bits: a sum that wraps must not pass for one that fits.
    if (static_cast<unsigned __int64>(m_start) + m_used + size > m_capacity)
    {
        throw CException(L"CCounterStorageAllocator::Allocate()",
                         L"No space left. Need: " + ToString(static_cast<unsigned long>(size)));
    }
    const DWORD offset = m_used;
    m_used += size;
    return offset;
}

void CCounterStorageAllocator::AllocateInstances(DWORD count)
{
    const unsigned __int64 extra = static_cast<unsigned __int64>(m_used) * (count == 0 ? 0 : count - 1);
    if (static_cast<unsigned __int64>(m_start) + m_used + extra > m_capacity)
    {
        throw CException(L"CCounterStorageAllocator::AllocateInstances()",
                         L"No space left. Need: " + ToString(extra));
    }
    if (count == 0)
    {
        // No instance slots: the object keeps no data.
        m_used = 0;
        return;
    }
    m_used += static_cast<DWORD>(extra);
}

} // namespace PerfMon
} // namespace CorvaneTools
