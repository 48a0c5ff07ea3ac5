#pragma once

#include <string>
#include <vector>

namespace TestSupport {

// Full path of this test program and of the folder it is in.
std::wstring ThisProgram();
std::wstring ThisFolder();

// "x64" or "x86": the architecture this test program was built for.
const wchar_t *ThisArchitecture();
const wchar_t *OtherArchitecture();

// A kernel object name no other test process uses: the x64 and x86 test programs run at
// the same time in one Wine prefix and share its namespace.
std::wstring UniqueName(const std::wstring &what);

// The same test program built for the other architecture; this program itself where
// 32-bit programs cannot start.
std::wstring OtherArchitectureProgram();

// False where the scripts found that this machine cannot start 32-bit programs
// (TESSALY_X86=0); the tests that start 32-bit readers then start only 64-bit ones.
bool CanStart32BitPrograms();

// The architectures of the readers a test can start here: x64, and x86 where it can run.
std::vector<const wchar_t *> ReaderArchitectures();

// The program a child process starts as: the path itself, or where 32-bit programs cannot
// start, the x64 build of an x86 one.
std::wstring StartablePath(const std::wstring &program);

} // namespace TestSupport
