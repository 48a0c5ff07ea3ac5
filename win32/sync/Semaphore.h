#pragma once

#include "win32/handles/KernelObjectCreationMode.h"
#include "win32/handles/KernelObjectName.h"
#include "win32/handles/SmartHandle.h"

namespace CorvaneTools {
namespace Win32 {

class CSemaphore : public IWaitable
{
public:
    static const LONG DefaultMaximumCount = 0x7FFFFFFF;

    // Unnamed, count 0.
    CSemaphore();
    CSemaphore(SECURITY_ATTRIBUTES *securityAttributes, LONG initialCount, LONG maximumCount,
               const IKernelObjectName *name = nullptr, KernelObjectCreationMode mode = CreateOrOpen);

    CSemaphore(const CSemaphore &) = delete;
    CSemaphore &operator=(const CSemaphore &) = delete;

    // Returns the count before the increment.
    LONG Increment(LONG count = 1);

    HANDLE GetWaitHandle() const override;
    bool IsSignalled() const override;
    bool Wait(DWORD timeoutMs) const override;
    void Wait() const override;

private:
    void Create(SECURITY_ATTRIBUTES *securityAttributes, LONG initialCount, LONG maximumCount,
                const IKernelObjectName *name, KernelObjectCreationMode mode);

    CSmartHandle m_semaphore;
};

} // namespace Win32
} // namespace CorvaneTools
