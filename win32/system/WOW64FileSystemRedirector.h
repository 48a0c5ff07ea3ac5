#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace Win32 {

// Switches WOW64 file system redirection off for the calling thread and back on when the
// object goes, so it must be destroyed on the thread that called Disable.
class CWOW64FileSystemRedirector
{
public:
    CWOW64FileSystemRedirector();
    ~CWOW64FileSystemRedirector();

    CWOW64FileSystemRedirector(const CWOW64FileSystemRedirector &) = delete;
    CWOW64FileSystemRedirector &operator=(const CWOW64FileSystemRedirector &) = delete;

    // Whether the platform can switch redirection off at all.
    static bool IsAvailable();

    // Calling it again while this object holds redirection off does nothing.
    void Disable();

private:
    PVOID m_oldValue;
    bool m_disabled;
};

} // namespace Win32
} // namespace CorvaneTools
