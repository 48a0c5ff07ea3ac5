#pragma once

#include "win32/sync/ActivityCounter.h"
#include "win32/threads/IRunnable.h"
#include "win32/threads/Thread.h"

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Service {

// Runs one service entry on a thread of its own while the services run as a process, and
// holds one count of the activity counter until the entry has returned.
class CDebugServiceDispatchThread : private Win32::IRunnable
{
public:
    // The counter is not owned and must outlive this object.
    CDebugServiceDispatchThread(const std::wstring &serviceName, LPSERVICE_MAIN_FUNCTIONW serviceEntry,
                                Win32::CActivityCounter &activityCounter);
    // Waits for the entry to return.
    ~CDebugServiceDispatchThread();

    CDebugServiceDispatchThread(const CDebugServiceDispatchThread &) = delete;
    CDebugServiceDispatchThread &operator=(const CDebugServiceDispatchThread &) = delete;

private:
    unsigned int Run() override;

    Win32::CThread m_thread;
    std::wstring m_serviceName;
    const LPSERVICE_MAIN_FUNCTIONW m_serviceEntry;
    Win32::CActivityCounter &m_activityCounter;
};

} // namespace Service
} // namespace CorvaneTools
