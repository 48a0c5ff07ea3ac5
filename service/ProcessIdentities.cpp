#include "service/ProcessIdentities.h"

namespace CorvaneTools {
namespace TessalyService {

HANDLE CPlatformProcessIdentities::Open(DWORD pid)
{
    return ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
}

void CPlatformProcessIdentities::Close(HANDLE process)
{
    ::CloseHandle(process);
}

bool CPlatformProcessIdentities::GetCreationTime(HANDLE process, ULONGLONG &time)
{
    FILETIME creation, exit, kernel, user;
    if (!::GetProcessTimes(process, &creation, &exit, &kernel, &user))
    {
        return false;
    }
    time = static_cast<ULONGLONG>(creation.dwHighDateTime) << 32 | creation.dwLowDateTime;
    return true;
}

bool CPlatformProcessIdentities::GetImagePath(HANDLE process, wchar_t *path, DWORD &length)
{
    // The size is in characters both ways; on success without the terminator.
    DWORD size = length;
    if (!::QueryFullProcessImageNameW(process, 0, path, &size))
    {
        return false;
    }
    length = size;
    return true;
}

} // namespace TessalyService
} // namespace CorvaneTools
