#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace Win32 {

// Whether a thread that some shared state names as its owner is gone. Thread and process
// ids are reused, so a thread is known by its id together with its process's id and that
// process's creation time. Every answer errs towards "still running": a thread that cannot
// be looked at (access denied, say) is taken to be alive.

// The creation time of a process, as the platform's 64-bit file time; 0 when unknown.
ULONGLONG GetProcessCreationTime(HANDLE process);
ULONGLONG GetCurrentProcessCreationTime();

// True when no thread with this id runs in the process of that id and creation time.
bool HasThreadEnded(DWORD threadId, DWORD processId, ULONGLONG processCreationTime);

// True when no thread with this id runs anywhere.
bool HasThreadEnded(DWORD threadId);

} // namespace Win32
} // namespace CorvaneTools
