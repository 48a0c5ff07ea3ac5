#pragma once

#include "tests/support/ChildProcess.h"
#include "tests/support/TestNames.h"

#include <string>

namespace TestSupport {

// The test counter DLLs of either architecture's build: build/<arch>/bin/test-dlls.
inline std::wstring TestDll(const std::wstring &name, const std::wstring &architecture = ThisArchitecture())
{
    return ThisFolder() + L"\\..\\..\\" + architecture + L"\\bin\\test-dlls\\" + name + L".dll";
}

} // namespace TestSupport
