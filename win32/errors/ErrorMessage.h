#pragma once

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Win32 {

// The system's text for a platform error code.
std::wstring GetLastErrorMessage(DWORD error, bool stripLineEnd);

} // namespace Win32
} // namespace CorvaneTools
