#pragma once

#include <windows.h>

namespace TessalyTestSupport {

// UnloadPerfCounterTextStringsW's work: the application's texts taken out of every
// language's lists, its range and object list out of its Performance key, and Perflib's
// last indexes lowered to what is still in use.
DWORD UnloadCounterTexts(const wchar_t *commandLine);

} // namespace TessalyTestSupport
