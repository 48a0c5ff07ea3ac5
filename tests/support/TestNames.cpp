#include "tests/support/TestNames.h"

#include "tests/support/ChildProcess.h"

#include <windows.h>

#include <atomic>

namespace TestSupport {

const wchar_t *ThisArchitecture()
{
#if defined(_WIN64)
    return L"x64";
#else
    return L"x86";
#endif
}

const wchar_t *OtherArchitecture()
{
#if defined(_WIN64)
    return L"x86";
#else
    return L"x64";
#endif
}

std::wstring UniqueName(const std::wstring &what)
{
    static std::atomic<unsigned> counter{0};
    return L"TessalyTest_" + std::wstring(ThisArchitecture()) + L"_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
           std::to_wstring(++counter) + L"_" + what;
}

std::wstring OtherArchitectureProgram()
{
    // build/<arch>/bin/<program>.exe
    const std::wstring program = ThisProgram();
    const std::wstring file = program.substr(program.find_last_of(L"\\/") + 1);
    return ThisFolder() + L"\\..\\..\\" + OtherArchitecture() + L"\\bin\\" + file;
}

} // namespace TestSupport
