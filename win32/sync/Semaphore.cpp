#include "win32/sync/Semaphore.h"

#include "win32/errors/Win32Exception.h"

#include <string>

namespace CorvaneTools {
namespace Win32 {

CSemaphore::CSemaphore()
{
    Create(nullptr, 0, DefaultMaximumCount, nullptr, CreateOrOpen);
}

CSemaphore::CSemaphore(SECURITY_ATTRIBUTES *securityAttributes, LONG initialCount, LONG maximumCount,
                       const IKernelObjectName *name, KernelObjectCreationMode mode)
{
    Create(securityAttributes, initialCount, maximumCount, name, mode);
}

void CSemaphore::Create(SECURITY_ATTRIBUTES *securityAttributes, LONG initialCount, LONG maximumCount,
                        const IKernelObjectName *name, KernelObjectCreationMode mode)
{
    static const wchar_t *const where = L"CSemaphore::Create()";

    const std::wstring nameText = name ? name->GetName() : std::wstring();

    ::SetLastError(ERROR_SUCCESS);
    const HANDLE semaphore =
        ::CreateSemaphoreW(securityAttributes, initialCount, maximumCount, name ? nameText.c_str() : nullptr);
    const DWORD error = ::GetLastError();
    if (!semaphore)
    {
        throw CWin32Exception(where, error);
    }
    m_semaphore = semaphore;

    if (mode == CreateOnly && error == ERROR_ALREADY_EXISTS)
    {
        throw CWin32Exception(where, ERROR_ALREADY_EXISTS);
    }
    if (mode == OpenOnly && error != ERROR_ALREADY_EXISTS)
    {
        throw CWin32Exception(where, ERROR_NOT_FOUND);
    }
}

LONG CSemaphore::Increment(LONG count)
{
    LONG previous = 0;
    if (!::ReleaseSemaphore(m_semaphore, count, &previous))
    {
        throw CWin32Exception(L"CSemaphore::Increment()", ::GetLastError());
    }
    return previous;
}

HANDLE CSemaphore::GetWaitHandle() const
{
    return m_semaphore.GetWaitHandle();
}

bool CSemaphore::IsSignalled() const
{
    return m_semaphore.IsSignalled();
}

bool CSemaphore::Wait(DWORD timeoutMs) const
{
    return m_semaphore.Wait(timeoutMs);
}

void CSemaphore::Wait() const
{
    m_semaphore.Wait();
}

} // namespace Win32
} // namespace CorvaneTools
