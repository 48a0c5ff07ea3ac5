// A counter DLL that serves nothing: the installer tests need real DLLs of both
// architectures with (or, built with TESSALY_WITHOUT_COLLECT, without) the entry points.
#include <windows.h>

extern "C" {

__declspec(dllexport) DWORD WINAPI PerfData_Open(LPWSTR)
{
    return ERROR_SUCCESS;
}

#if !defined(TESSALY_WITHOUT_COLLECT)
__declspec(dllexport) DWORD WINAPI PerfData_Collect(LPWSTR, LPVOID *, LPDWORD bytes, LPDWORD objects)
{
    *bytes = 0;
    *objects = 0;
    return ERROR_SUCCESS;
}
#endif

__declspec(dllexport) DWORD WINAPI PerfData_Close()
{
    return ERROR_SUCCESS;
}
}
