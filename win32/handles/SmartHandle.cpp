#include "win32/handles/SmartHandle.h"

#include "win32/errors/Win32Exception.h"

namespace CorvaneTools {
namespace Win32 {

CSmartHandle::CSmartHandle() : m_handle(INVALID_HANDLE_VALUE)
{
}

CSmartHandle::CSmartHandle(HANDLE handle) : m_handle(handle)
{
}

CSmartHandle::CSmartHandle(CSmartHandle &&other) noexcept : m_handle(other.m_handle)
{
    other.m_handle = INVALID_HANDLE_VALUE;
}

CSmartHandle &CSmartHandle::operator=(CSmartHandle &&other) noexcept
{
    if (this != &other)
    {
        try
        {
            Close();
        }
        catch (const CWin32Exception &)
        {
        }
        m_handle = other.m_handle;
        other.m_handle = INVALID_HANDLE_VALUE;
    }
    return *this;
}

CSmartHandle::~CSmartHandle()
{
    // A handle closed between a failing call and the reading of its error must not change it.
    const DWORD error = ::GetLastError();
    try
    {
        Close();
    }
    catch (const CWin32Exception &)
    {
    }
    ::SetLastError(error);
}

CSmartHandle &CSmartHandle::operator=(HANDLE handle)
{
    if (handle != m_handle)
    {
        Close();
        m_handle = handle;
    }
    return *this;
}

HANDLE CSmartHandle::GetHandle() const
{
    return m_handle;
}

CSmartHandle::operator HANDLE() const
{
    return m_handle;
}

bool CSmartHandle::IsValid() const
{
    return IsValid(m_handle);
}

bool CSmartHandle::IsValid(HANDLE handle)
{
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

void CSmartHandle::Close()
{
    if (IsValid())
    {
        const HANDLE handle = m_handle;
        m_handle = INVALID_HANDLE_VALUE;
        if (!::CloseHandle(handle))
        {
            throw CWin32Exception(L"CSmartHandle::Close()", ::GetLastError());
        }
    }
    m_handle = INVALID_HANDLE_VALUE;
}

void CSmartHandle::Attach(HANDLE handle)
{
    Close();
    m_handle = handle;
}

HANDLE CSmartHandle::Detach()
{
    const HANDLE handle = m_handle;
    m_handle = INVALID_HANDLE_VALUE;
    return handle;
}

HANDLE CSmartHandle::GetWaitHandle() const
{
    return m_handle;
}

} // namespace Win32
} // namespace CorvaneTools
