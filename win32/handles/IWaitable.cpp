#include "win32/handles/IWaitable.h"

#include "win32/errors/Win32Exception.h"

namespace CorvaneTools {
namespace Win32 {

bool IWaitable::IsSignalled() const
{
    return Wait(0);
}

bool IWaitable::Wait(DWORD timeoutMs) const
{
    const HANDLE handle = GetWaitHandle();
    if (handle == INVALID_HANDLE_VALUE)
    {
        throw CException(L"IWaitable::Wait()", L"Handle is invalid");
    }
    switch (::WaitForSingleObject(handle, timeoutMs))
    {
    case WAIT_OBJECT_0:
        return true;
    case WAIT_TIMEOUT:
        return false;
    default:
        throw CWin32Exception(L"IWaitable::Wait() - WaitForSingleObject", ::GetLastError());
    }
}

void IWaitable::Wait() const
{
    if (!Wait(INFINITE))
    {
        throw CException(L"IWaitable::Wait()", L"Unexpected timeout on infinite wait");
    }
}

} // namespace Win32
} // namespace CorvaneTools
