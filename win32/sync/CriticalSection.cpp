#include "win32/sync/CriticalSection.h"

namespace CorvaneTools {
namespace Win32 {

CCriticalSection::CCriticalSection()
{
    ::InitializeCriticalSection(&m_criticalSection);
}

CCriticalSection::~CCriticalSection()
{
    ::DeleteCriticalSection(&m_criticalSection);
}

bool CCriticalSection::TryEnter()
{
    return ::TryEnterCriticalSection(&m_criticalSection) != FALSE;
}

void CCriticalSection::Enter()
{
    ::EnterCriticalSection(&m_criticalSection);
}

void CCriticalSection::Leave()
{
    ::LeaveCriticalSection(&m_criticalSection);
}

bool CCriticalSection::IsLockedByThisThread() const
{
    // The field is declared as a handle but the platform stores the owner's thread id in it.
    const DWORD owner = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(m_criticalSection.OwningThread));
    return owner == ::GetCurrentThreadId();
}

} // namespace Win32
} // namespace CorvaneTools
