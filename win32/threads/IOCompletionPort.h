#pragma once

#include "win32/handles/SmartHandle.h"

namespace CorvaneTools {
namespace Win32 {

// A completion port used as a thread-safe queue of (key, byte count, overlapped) packets,
// not bound to any file.
class CIOCompletionPort
{
public:
    explicit CIOCompletionPort(DWORD maxConcurrentThreads);

    CIOCompletionPort(const CIOCompletionPort &) = delete;
    CIOCompletionPort &operator=(const CIOCompletionPort &) = delete;

    void PostStatus(ULONG_PTR completionKey, DWORD bytesTransferred = 0, OVERLAPPED *overlapped = nullptr);

    // Waits without a time limit for the next packet.
    void GetStatus(DWORD &bytesTransferred, ULONG_PTR &completionKey, OVERLAPPED *&overlapped);

private:
    CSmartHandle m_port;
};

} // namespace Win32
} // namespace CorvaneTools
