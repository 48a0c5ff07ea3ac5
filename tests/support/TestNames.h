#pragma once

#include <string>

namespace TestSupport {

// "x64" or "x86": the architecture this test program was built for.
const wchar_t *ThisArchitecture();
const wchar_t *OtherArchitecture();

// A kernel object name no other test process uses: the x64 and x86 test programs run at
// the same time in one Wine prefix and share its namespace.
std::wstring UniqueName(const std::wstring &what);

// The same test program built for the other architecture.
std::wstring OtherArchitectureProgram();

} // namespace TestSupport
