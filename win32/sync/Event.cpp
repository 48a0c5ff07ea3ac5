#include "win32/sync/Event.h"

#include "win32/errors/Win32Exception.h"

#include <string>

namespace CorvaneTools {
namespace Win32 {

CEvent::CEvent(SECURITY_ATTRIBUTES *securityAttributes, ResetType resetType, InitialState initialState,
               const IKernelObjectName *name, KernelObjectCreationMode mode)
{
    static const wchar_t *const where = L"CEvent::Create()";

    const std::wstring nameText = name ? name->GetName() : std::wstring();
    const wchar_t *const namePointer = name ? nameText.c_str() : nullptr;

    ::SetLastError(ERROR_SUCCESS);

    // Opening first needs only the rights we use, so an event that someone else created
    // with a tighter descriptor can still be shared.
    if (mode == OpenOnly || (mode == CreateOrOpen && namePointer))
    {
        m_event = ::OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, namePointer);
        if (mode == OpenOnly)
        {
            if (!m_event.IsValid())
            {
                throw CWin32Exception(where, ::GetLastError());
            }
            return;
        }
    }

    const HANDLE created =
        ::CreateEventW(securityAttributes, resetType == ManualReset, initialState == Signalled, namePointer);
    const DWORD error = ::GetLastError();
    if (!created)
    {
        throw CWin32Exception(where, error);
    }
    m_event = created;

    if (mode == CreateOnly && error == ERROR_ALREADY_EXISTS)
    {
        throw CWin32Exception(where, ERROR_ALREADY_EXISTS);
    }
}

void CEvent::Set()
{
    if (!::SetEvent(m_event))
    {
        throw CWin32Exception(L"CEvent::Set()", ::GetLastError());
    }
}

void CEvent::Reset()
{
    if (!::ResetEvent(m_event))
    {
        throw CWin32Exception(L"CEvent::Reset()", ::GetLastError());
    }
}

HANDLE CEvent::GetWaitHandle() const
{
    return m_event.GetWaitHandle();
}

bool CEvent::IsSignalled() const
{
    return m_event.IsSignalled();
}

bool CEvent::Wait(DWORD timeoutMs) const
{
    return m_event.Wait(timeoutMs);
}

void CEvent::Wait() const
{
    m_event.Wait();
}

CManualResetEvent::CManualResetEvent(CEvent::InitialState initialState)
    : m_event(nullptr, CEvent::ManualReset, initialState)
{
}

CManualResetEvent::CManualResetEvent(SECURITY_ATTRIBUTES *securityAttributes, CEvent::InitialState initialState,
                                     const IKernelObjectName *name, KernelObjectCreationMode mode)
    : m_event(securityAttributes, CEvent::ManualReset, initialState, name, mode)
{
}

void CManualResetEvent::Set()
{
    m_event.Set();
}

void CManualResetEvent::Reset()
{
    m_event.Reset();
}

HANDLE CManualResetEvent::GetWaitHandle() const
{
    return m_event.GetWaitHandle();
}

bool CManualResetEvent::IsSignalled() const
{
    return m_event.IsSignalled();
}

bool CManualResetEvent::Wait(DWORD timeoutMs) const
{
    return m_event.Wait(timeoutMs);
}

void CManualResetEvent::Wait() const
{
    m_event.Wait();
}

CAutoResetEvent::CAutoResetEvent(CEvent::InitialState initialState)
    : m_event(nullptr, CEvent::AutoReset, initialState)
{
}

CAutoResetEvent::CAutoResetEvent(SECURITY_ATTRIBUTES *securityAttributes, CEvent::InitialState initialState,
                                 const IKernelObjectName *name, KernelObjectCreationMode mode)
    : m_event(securityAttributes, CEvent::AutoReset, initialState, name, mode)
{
}

void CAutoResetEvent::Set()
{
    m_event.Set();
}

void CAutoResetEvent::Reset()
{
    m_event.Reset();
}

HANDLE CAutoResetEvent::GetWaitHandle() const
{
    return m_event.GetWaitHandle();
}

bool CAutoResetEvent::IsSignalled() const
{
    return m_event.IsSignalled();
}

bool CAutoResetEvent::Wait(DWORD timeoutMs) const
{
    return m_event.Wait(timeoutMs);
}

void CAutoResetEvent::Wait() const
{
    m_event.Wait();
}

} // namespace Win32
} // namespace CorvaneTools
