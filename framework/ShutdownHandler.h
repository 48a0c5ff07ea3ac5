#pragma once

#include "framework/IDispatchServiceControls.h"
#include "win32/sync/Event.h"
#include "win32/threads/IRunnable.h"
#include "win32/threads/Thread.h"

#include <string>

namespace CorvaneTools {
namespace Service {

// Stands in for the service control manager when the services run as a process: turns
// machine-wide named events into shutdown, pause and continue controls. Outside debug mode
// it starts no thread and does nothing.
class CShutdownHandler : private Win32::IRunnable
{
public:
    // The dispatcher is not owned and must outlive the handler.
    CShutdownHandler(const std::wstring &shutdownEventBaseName, const std::wstring &pauseEventBaseName,
                     const std::wstring &shutdownEventName, const std::wstring &pauseEventName,
                     IDispatchServiceControls &dispatcher, bool debugMode);
    ~CShutdownHandler();

    CShutdownHandler(const CShutdownHandler &) = delete;
    CShutdownHandler &operator=(const CShutdownHandler &) = delete;

private:
    unsigned int Run() override;

    Win32::CThread m_thread;
    Win32::CManualResetEvent m_stopEvent;
    IDispatchServiceControls &m_dispatcher;
    const std::wstring m_shutdownEventBaseName;
    const std::wstring m_pauseEventBaseName;
    const std::wstring m_shutdownEventName;
    const std::wstring m_pauseEventName;
    const bool m_started;
};

} // namespace Service
} // namespace CorvaneTools
