#pragma once

#include <windows.h>

#include <functional>

namespace TestSupport {

// Polls the condition every millisecond; false when it did not come true in time.
inline bool WaitUntil(const std::function<bool()> &condition, DWORD timeoutMs = 10000)
{
    const DWORD start = ::GetTickCount();
    while (!condition())
    {
        if (::GetTickCount() - start > timeoutMs)
        {
            return false;
        }
        ::Sleep(1);
    }
    return true;
}

} // namespace TestSupport
