#include "win32/system/SystemInfo.h"

#include "win32/errors/Win32Exception.h"
#include "win32/system/LibraryLoader.h"

namespace CorvaneTools {
namespace Win32 {

namespace {

bool RunsUnderWow64(const wchar_t *where)
{
    typedef BOOL(WINAPI * Function)(HANDLE, PBOOL);
    static const Function function = LookUpFunction<Function>(L"kernel32", "IsWow64Process");
    if (!function)
    {
        return false;
    }
    BOOL wow64 = FALSE;
    if (!function(::GetCurrentProcess(), &wow64))
    {
        throw CWin32Exception(where, ::GetLastError());
    }
    return wow64 != FALSE;
}

} // namespace

bool Is64bitSystem()
{
#if defined(_WIN64)
    // WOW64 only ever hosts 32-bit processes; a 64-bit one needs no asking.
    return true;
#else
    return RunsUnderWow64(L"Is64bitSystem()");
#endif
}

bool IsWow64Process()
{
    return RunsUnderWow64(L"IsWow64Process()");
}

} // namespace Win32
} // namespace CorvaneTools
