#include "framework/ShutdownHandler.h"

#include "win32/handles/KernelObjectName.h"
#include "win32/security/ObjectSecurity.h"

namespace CorvaneTools {
namespace Service {

CShutdownHandler::CShutdownHandler(const std::wstring &shutdownEventBaseName, const std::wstring &pauseEventBaseName,
                                   const std::wstring &shutdownEventName, const std::wstring &pauseEventName,
                                   IDispatchServiceControls &dispatcher, bool debugMode)
    : m_thread(*this), m_stopEvent(Win32::CEvent::NonSignalled), m_dispatcher(dispatcher),
      m_shutdownEventBaseName(shutdownEventBaseName), m_pauseEventBaseName(pauseEventBaseName),
      m_shutdownEventName(shutdownEventName), m_pauseEventName(pauseEventName), m_started(debugMode)
{
    if (m_started)
    {
        m_thread.Start();
        try
        {
            m_thread.SetThreadName(L"ServiceShutdownHandler");
        }
        catch (...)
        {
            // The thread may already have ended (its events could not be created); the
            // name is for debuggers only.
        }
    }
}

CShutdownHandler::~CShutdownHandler()
{
    if (!m_started)
    {
        return;
    }
    try
    {
        m_stopEvent.Set();
        m_thread.Wait();
    }
    catch (...)
    {
    }
}

unsigned int CShutdownHandler::Run()
{
    // Any account's process may signal the events, as any may run the services as a process;
    // none but SYSTEM and Administrators may change or delete them.
    Win32::CObjectSecurity attributes(Win32::ObjectProtection::SignalEvent);
    const Win32::CGlobalName shutdownBaseName(m_shutdownEventBaseName);
    const Win32::CGlobalName pauseBaseName(m_pauseEventBaseName);
    const Win32::CGlobalName shutdownName(m_shutdownEventName);
    const Win32::CGlobalName pauseName(m_pauseEventName);
    const Win32::CManualResetEvent shutdownBaseEvent(attributes, Win32::CEvent::NonSignalled, &shutdownBaseName);
    const Win32::CManualResetEvent pauseBaseEvent(attributes, Win32::CEvent::NonSignalled, &pauseBaseName);
    // Created for the instance too, though only the base events are waited on.
    const Win32::CManualResetEvent shutdownEvent(attributes, Win32::CEvent::NonSignalled, &shutdownName);
    const Win32::CManualResetEvent pauseEvent(attributes, Win32::CEvent::NonSignalled, &pauseName);

    const HANDLE handles[] = {m_stopEvent.GetWaitHandle(), pauseBaseEvent.GetWaitHandle(),
                              shutdownBaseEvent.GetWaitHandle()};
    bool paused = false;
    for (;;)
    {
        switch (::WaitForMultipleObjects(3, handles, FALSE, INFINITE))
        {
        case WAIT_OBJECT_0 + 1:
            m_dispatcher.DispatchControl(paused ? SERVICE_CONTROL_CONTINUE : SERVICE_CONTROL_PAUSE);
            paused = !paused;
            break;
        case WAIT_OBJECT_0 + 2:
            m_dispatcher.DispatchControl(SERVICE_CONTROL_SHUTDOWN);
            break;
        default:
            // The stop event, or a wait that failed.
            return 0;
        }
    }
}

} // namespace Service
} // namespace CorvaneTools
