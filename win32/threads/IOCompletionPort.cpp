#include "win32/threads/IOCompletionPort.h"

#include "win32/errors/Win32Exception.h"

namespace CorvaneTools {
namespace Win32 {

CIOCompletionPort::CIOCompletionPort(DWORD maxConcurrentThreads)
    : m_port(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, maxConcurrentThreads))
{
    if (!m_port.IsValid())
    {
        throw CWin32Exception(L"CIOCompletionPort::CIOCompletionPort() - CreateIoCompletionPort", ::GetLastError());
    }
}

void CIOCompletionPort::PostStatus(ULONG_PTR completionKey, DWORD bytesTransferred, OVERLAPPED *overlapped)
{
    if (!::PostQueuedCompletionStatus(m_port, bytesTransferred, completionKey, overlapped))
    {
        throw CWin32Exception(L"CIOCompletionPort::PostStatus() - PostQueuedCompletionStatus", ::GetLastError());
    }
}

void CIOCompletionPort::GetStatus(DWORD &bytesTransferred, ULONG_PTR &completionKey, OVERLAPPED *&overlapped)
{
    if (!::GetQueuedCompletionStatus(m_port, &bytesTransferred, &completionKey, &overlapped, INFINITE))
    {
        throw CWin32Exception(L"CIOCompletionPort::GetStatus() - GetQueuedCompletionStatus", ::GetLastError());
    }
}

} // namespace Win32
} // namespace CorvaneTools
