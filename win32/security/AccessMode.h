#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace Win32 {

// How shared memory and mapped files are viewed; any other value is refused.
enum AccessMode : DWORD
{
    ReadOnly = 0,
    ReadWrite = 1,
};

} // namespace Win32
} // namespace CorvaneTools
