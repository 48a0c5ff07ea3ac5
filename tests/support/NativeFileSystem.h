#pragma once

#include "win32/system/WOW64FileSystemRedirector.h"

namespace TestSupport {

// For its lifetime the calling thread sees the system's own directories: a 32-bit test
// program on a 64-bit system reaches the 64-bit system directory under its name.
class CNativeFileSystem
{
public:
    CNativeFileSystem()
    {
#if !defined(_WIN64)
        m_redirector.Disable();
#endif
    }

private:
    CorvaneTools::Win32::CWOW64FileSystemRedirector m_redirector;
};

} // namespace TestSupport
