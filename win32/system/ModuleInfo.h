#pragma once

// windows.h maps GetModuleFileName to GetModuleFileNameW; including it first keeps the
// name the same in every translation unit.
#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Win32 {

// Full path of the module (the program when null); "UNAVAILABLE" when the platform cannot
// give it whole in MAX_PATH characters.
std::wstring GetModuleFileName(HMODULE module = nullptr);
// The module's full path up to, not including, the last "\", "/" or ":".
std::wstring GetModulePath(HMODULE module = nullptr);
// ProductVersion of the module's version resource: the English (United Kingdom) Unicode
// block, else the first block the resource lists that has one; empty when there is none.
std::wstring GetProductVersion(HMODULE module = nullptr);

} // namespace Win32
} // namespace CorvaneTools
