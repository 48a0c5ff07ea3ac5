#include "win32/threads/ThreadLocalStorage.h"

#include "win32/errors/Win32Exception.h"

namespace CorvaneTools {
namespace Win32 {

CThreadLocalStorage::CThreadLocalStorage() : m_index(::TlsAlloc())
{
    if (!m_index.IsValid())
    {
        throw CWin32Exception(L"CThreadLocalStorage::CThreadLocalStorage()", ::GetLastError());
    }
}

void *CThreadLocalStorage::GetValue() const
{
    void *const value = ::TlsGetValue(m_index.Get());
    if (!value)
    {
        // A null value is also what a thread that never set one reads; only the last error
        // tells a failure apart.
        const DWORD error = ::GetLastError();
        if (error != ERROR_SUCCESS)
        {
            throw CWin32Exception(L"CThreadLocalStorage::GetValue()", error);
        }
    }
    return value;
}

void CThreadLocalStorage::SetValue(void *value)
{
    if (!::TlsSetValue(m_index.Get(), value))
    {
        throw CWin32Exception(L"CThreadLocalStorage::SetValue()", ::GetLastError());
    }
}

} // namespace Win32
} // namespace CorvaneTools
