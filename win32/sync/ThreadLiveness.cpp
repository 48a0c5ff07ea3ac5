#include "win32/sync/ThreadLiveness.h"

#include "win32/handles/SmartHandle.h"

namespace CorvaneTools {
namespace Win32 {

namespace {

// Limited query rights are granted on other users' processes too, where more is not.
const DWORD s_processAccess = PROCESS_QUERY_LIMITED_INFORMATION;
const DWORD s_threadAccess = THREAD_QUERY_LIMITED_INFORMATION;

// An id that names nothing is refused with this error; any other refusal (access denied)
// says the object exists.
bool NamesNothing(DWORD error)
{
    return error == ERROR_INVALID_PARAMETER;
}

// The thread's handle, or null with ended set when it is known to be gone.
CSmartHandle OpenRunningThread(DWORD threadId, bool &ended)
{
    ended = false;
    CSmartHandle thread(::OpenThread(s_threadAccess, FALSE, threadId));
    if (!thread.IsValid())
    {
        ended = NamesNothing(::GetLastError());
        return CSmartHandle();
    }
    DWORD exitCode = 0;
    if (::GetExitCodeThread(thread, &exitCode) && exitCode != STILL_ACTIVE)
    {
        ended = true;
        return CSmartHandle();
    }
    return thread;
}

} // namespace

ULONGLONG GetProcessCreationTime(HANDLE process)
{
    FILETIME creation = {};
    FILETIME exit = {};
    FILETIME kernel = {};
    FILETIME user = {};
    if (!::GetProcessTimes(process, &creation, &exit, &kernel, &user))
    {
        return 0;
    }
    return static_cast<ULONGLONG>(creation.dwHighDateTime) << 32 | creation.dwLowDateTime;
}

ULONGLONG GetCurrentProcessCreationTime()
{
    return GetProcessCreationTime(::GetCurrentProcess());
}

bool HasThreadEnded(DWORD threadId, DWORD processId, ULONGLONG processCreationTime)
{
    if (threadId == 0)
    {
        return false;
    }
    CSmartHandle process(::OpenProcess(s_processAccess, FALSE, processId));
    if (!process.IsValid())
    {
        return NamesNothing(::GetLastError());
    }
    DWORD exitCode = 0;
    if (::GetExitCodeProcess(process, &exitCode) && exitCode != STILL_ACTIVE)
    {
        return true;
    }
    const ULONGLONG creation = GetProcessCreationTime(process);
    if (creation != 0 && processCreationTime != 0 && creation != processCreationTime)
    {
        return true; // the process id has been given to another process
    }
    bool ended = false;
    const CSmartHandle thread = OpenRunningThread(threadId, ended);
    if (ended)
    {
        return true;
    }
    // A thread of that id in another process is not the one that was recorded.
    const DWORD owner = thread.IsValid() ? ::GetProcessIdOfThread(thread) : 0;
    return owner != 0 && owner != processId;
}

bool HasThreadEnded(DWORD threadId)
{
    if (threadId == 0)
    {
        return false;
    }
    bool ended = false;
    const CSmartHandle thread = OpenRunningThread(threadId, ended);
    return ended;
}

} // namespace Win32
} // namespace CorvaneTools
