#pragma once

#include "win32/crash/ICreateMiniDumps.h"
#include "win32/sync/SingleWriterMultipleReaderLock.h"

#include <windows.h>

namespace CorvaneTools {
namespace Win32 {

typedef void (*TooManyDumpsCallback)();

// How many crash dumps a process may write, counting the files earlier runs left, and
// what happens to a process that keeps crashing. The process has one (the free functions
// below); separate instances exist for tests.
class CCrashDumpPolicy
{
public:
    CCrashDumpPolicy();

    CCrashDumpPolicy(const CCrashDumpPolicy &) = delete;
    CCrashDumpPolicy &operator=(const CCrashDumpPolicy &) = delete;

    // Null restores the default dumper. The dumper must outlive every later crash.
    void SetCrashDumper(ICreateMiniDumps *dumper);

    // Maximum 0 means no limit, -1 none at all; an exit threshold of 0 never exits.
    void InitialiseCrashDumps(ICreateMiniDumps *dumper, long maximumDumps, bool skipExistingCheck,
                              DWORD exitThreshold, TooManyDumpsCallback callback);

    // An uncounted request always writes. A refused counted one may end the process.
    bool GenerateCrashDump(EXCEPTION_POINTERS *information, bool count);

    long GetMaximumDumps() const;
    DWORD GetExistingDumps() const;

    static CCrashDumpPolicy &Instance();

private:
    void CountExistingDumps();
    void Refuse(long attempt);
    bool WriteDump(EXCEPTION_POINTERS *information);

    CSingleWriterMultipleReaderLock m_lock;
    ICreateMiniDumps *m_customDumper;
    long m_maximumDumps;
    DWORD m_existingDumps;
    volatile LONG m_attempts;
    DWORD m_exitThreshold;
    TooManyDumpsCallback m_tooManyCallback;
};

void SetCrashDumper(ICreateMiniDumps *dumper);
void InitialiseCrashDumps(ICreateMiniDumps *dumper, long maximumDumps, bool skipExistingCheck, DWORD exitThreshold,
                          TooManyDumpsCallback callback);
bool GenerateCrashDump(EXCEPTION_POINTERS *information, bool count);

} // namespace Win32
} // namespace CorvaneTools
