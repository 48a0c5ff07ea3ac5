#pragma once

#include "win32/text/ToString.h"

#include <string>

namespace CorvaneTools {
namespace Win32 {

// Two digits per byte, high nibble first. Flags: HexUpperCase, HexPrefix (one "0x" in
// front of it all).
std::wstring HexDump(const void *data, size_t length, DWORD flags);

} // namespace Win32
} // namespace CorvaneTools
