#include "tests/support/TestNames.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace TestSupport {

std::wstring ThisProgram()
{
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

std::wstring ThisFolder()
{
    const std::wstring program = ThisProgram();
    return program.substr(0, program.find_last_of(L"\\/"));
}

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
    return StartablePath(ThisFolder() + L"\\..\\..\\" + OtherArchitecture() + L"\\bin\\" + file);
}

bool CanStart32BitPrograms()
{
    const char *value = std::getenv("TESSALY_X86");
    return value == nullptr || std::strcmp(value, "0") != 0;
}

std::vector<const wchar_t *> ReaderArchitectures()
{
    if (CanStart32BitPrograms())
    {
        return {L"x64", L"x86"};
    }
    return {L"x64"};
}

std::wstring StartablePath(const std::wstring &program)
{
    const std::wstring x86 = L"\\x86\\";
    const size_t at = program.rfind(x86);
    if (CanStart32BitPrograms() || at == std::wstring::npos)
    {
        return program;
    }
    // The cross-process half of such a test still runs, in this architecture.
    static const bool noted = (std::fprintf(stderr, "32-bit programs cannot start here: children and readers of "
                                                    "the x86 build run as their x64 builds\n"),
                               true);
    (void)noted;
    return program.substr(0, at) + L"\\x64\\" + program.substr(at + x86.size());
}

} // namespace TestSupport
