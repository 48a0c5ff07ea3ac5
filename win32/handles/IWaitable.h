#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace Win32 {

// Something a thread can wait for. Never deleted through this interface.
class IWaitable
{
public:
    virtual HANDLE GetWaitHandle() const = 0;

    virtual bool IsSignalled() const;

    // True when signalled, false on time-out.
    virtual bool Wait(DWORD timeoutMs) const;

    // Waits without a time limit.
    virtual void Wait() const;

protected:
    ~IWaitable() = default;
};

} // namespace Win32
} // namespace CorvaneTools
