#pragma once

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Win32 {

// The calling thread's stack as text, one line per frame, innermost first:
// "module!symbol+0xoffset" where the debug-help library knows the symbol, else
// "module+0xoffset", else the bare address. Usable on a crashing thread: it allocates
// only for the text and takes the debug-help lock.
class CStackWalker
{
public:
    // Frames to leave out above the caller's own frame.
    static std::wstring GetCallStack(DWORD framesToSkip = 0);
};

} // namespace Win32
} // namespace CorvaneTools
