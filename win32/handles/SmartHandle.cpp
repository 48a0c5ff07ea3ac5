#include "win32/handles/SmartHandle.h"

namespace CorvaneTools {
namespace Win32 {

CSmartHandle::CSmartHandle() noexcept = default;

CSmartHandle::CSmartHandle(HANDLE handle) noexcept : m_handle(handle)
{
}

CSmartHandle::CSmartHandle(CSmartHandle &&other) noexcept = default;

CSmartHandle &CSmartHandle::operator=(CSmartHandle &&other) noexcept = default;

CSmartHandle::~CSmartHandle() = default;

CSmartHandle &CSmartHandle::operator=(HANDLE handle) noexcept
{
    m_handle.Reset(handle);
    return *this;
}

HANDLE CSmartHandle::GetHandle() const noexcept
{
    return m_handle.Get();
}

CSmartHandle::operator HANDLE() const noexcept
{
    return m_handle.Get();
}

bool CSmartHandle::IsValid() const noexcept
{
    return m_handle.IsValid();
}

bool CSmartHandle::IsValid(HANDLE handle) noexcept
{
    return CUniqueFile::IsValid(handle);
}

void CSmartHandle::Close() noexcept
{
    m_handle.Reset();
}

void CSmartHandle::Attach(HANDLE handle) noexcept
{
    m_handle.Reset(handle);
}

HANDLE CSmartHandle::Detach() noexcept
{
    return m_handle.Detach();
}

HANDLE CSmartHandle::GetWaitHandle() const
{
    return m_handle.Get();
}

} // namespace Win32
} // namespace CorvaneTools
