#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace Win32 {

// Whether the machine is 64-bit: always in a 64-bit program, in a 32-bit one when it runs
// under WOW64.
bool Is64bitSystem();
// Whether this process runs under WOW64 (never true for a 64-bit program).
bool IsWow64Process();

} // namespace Win32
} // namespace CorvaneTools
