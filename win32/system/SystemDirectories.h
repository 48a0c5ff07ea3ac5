#pragma once

// windows.h maps these names to their ...W forms; including it first keeps them the same
// in every translation unit.
#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Win32 {

std::wstring GetCurrentDirectory();
// Ends with "\".
std::wstring GetTempPath();
// The system directory as this process sees it: for a 32-bit process on a 64-bit system
// file accesses there are redirected to the 32-bit one unless redirection is disabled.
std::wstring GetSystemDirectory();
// The 32-bit system directory of a 64-bit system.
std::wstring GetSystemWow64Directory();

} // namespace Win32
} // namespace CorvaneTools
