#include "win32/threads/ThreadLocalStorage.h"

#include "win32/errors/Win32Exception.h"

namespace CorvaneTools {
namespace Win32 {

CThreadLocalStorage::CThreadLocalStorage() : m_index(::TlsAlloc()), m_allocated(m_index != TLS_OUT_OF_INDEXES)
{
    if (!m_allocated)
    {
        throw CWin32Exception(L"CThreadLocalStorage::CThreadLocalStorage()", ::GetLastError());
    }
}

CThreadLocalStorage::~CThreadLocalStorage()
{
    if (m_allocated)
    {
        // Nothing to be done about a slot that will not free.
        ::TlsFree(m_index);
    }
}

void *CThreadLocalStorage::GetValue() const
{
    void *const value = ::TlsGetValue(m_index);
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
    if (!::TlsSetValue(m_index, value))
    {
        throw CWin32Exception(L"CThreadLocalStorage::SetValue()", ::GetLastError());
    }
}

} // namespace Win32
} // namespace CorvaneTools
