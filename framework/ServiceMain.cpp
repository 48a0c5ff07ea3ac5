// The service's main routine: set-up, start, the control loop and the two exception phases.
#include "framework/Service.h"

#include "framework/ServiceCallbacks.h"
#include "framework/ServiceControlDispatcher.h"
#include "framework/ShutdownHandler.h"
#include "win32/crash/SEHException.h"
#include "win32/crash/SEHTranslator.h"
#include "win32/errors/Win32Exception.h"

#include <exception>

namespace CorvaneTools {
namespace Service {

namespace {

const DWORD s_startProgressWaitHintMs = 1000;
const DWORD s_stopProgressWaitHintMs = 2000;

} // namespace

const CService::ExceptionExitCodes CService::s_setUpExitCodes = {10, 11, 12, 13};
const CService::ExceptionExitCodes CService::s_runExitCodes = {6, 7, 8, 9};

void CService::ServiceMain(IReportServiceStatus &status, IManageServiceNotifications &notifications, DWORD argc,
                           wchar_t **argv)
{
    const Win32::CSEHTranslator translator(&Win32::CSEHException::Translate);
    try
    {
        {
            CServiceControlDispatcher dispatcher(status, *this);
            CShutdownHandler shutdownHandler(m_shutdownEventBaseName, m_pauseEventBaseName, GetShutdownEventName(),
                                             GetPauseEventName(), dispatcher, status.IsDebugMode());
            status.CheckPoint(s_startProgressWaitHintMs, 0);
            StartAndRun(status, notifications, argc, argv, dispatcher);
        }
        status.UltimateStateReached();
        return;
    }
    catch (...)
    {
        try
        {
            StopAfterException(status, s_setUpExitCodes, true);
        }
        catch (...)
        {
            // A hook that throws is not asked again.
            try
            {
                StopAfterException(status, s_setUpExitCodes, false);
            }
            catch (...)
            {
            }
        }
    }
    try
    {
        status.UltimateStateReached();
    }
    catch (...)
    {
        // Nothing leaves the main routine; the stop has been recorded already.
    }
}

void CService::StartAndRun(IReportServiceStatus &status, IManageServiceNotifications &notifications, DWORD argc,
                           wchar_t **argv, CServiceControlDispatcher &dispatcher)
{
    DWORD result = 0;
    bool failed = false;
    try
    {
        result = m_callbacks.OnServiceStart(dispatcher, status, notifications, argc, argv);
        if (result != 0)
        {
            status.ServiceStoppedWithServiceSpecificError(result);
        }
        else
        {
            RunControlLoop(status);
        }
    }
    catch (...)
    {
        // A hook's own exception goes on to the set-up handling.
        StopAfterException(status, s_runExitCodes, true);
        failed = true;
    }
    if (!failed)
    {
        notifications.UnregisterAllNotifications();
    }
    const DWORD shutdownResult = m_callbacks.OnServiceShutdown(status);
    if (shutdownResult != 0 && result == 0)
    {
        result = shutdownResult;
    }
    if (result != 0)
    {
        status.ServiceStoppedWithServiceSpecificError(result);
    }
}

void CService::RunControlLoop(IReportServiceStatus &status)
{
    // Start-up completes as if a continue had been queued.
    DWORD control = SERVICE_CONTROL_CONTINUE;
    ULONG_PTR eventType = 0;
    OVERLAPPED *eventData = nullptr;
    while (HandleQueuedControl(status, control, static_cast<DWORD>(eventType), eventData))
    {
        m_controlQueue.GetStatus(control, eventType, eventData);
    }
}

bool CService::HandleQueuedControl(IReportServiceStatus &status, DWORD control, DWORD eventType, void *eventData)
{
    switch (control)
    {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
        m_callbacks.OnServiceStop(status, MapStopReason(control));
        status.CheckPoint(s_stopProgressWaitHintMs, 0);
        return false;
    case SERVICE_CONTROL_PAUSE:
        m_callbacks.OnServicePause(status);
        status.UltimateStateReached();
        break;
    case SERVICE_CONTROL_CONTINUE:
        m_callbacks.OnServiceContinue(status);
        status.UltimateStateReached();
        break;
    case SERVICE_CONTROL_PARAMCHANGE:
        m_callbacks.OnParamChange();
        m_callbacks.OnNetBindChange(SERVICE_CONTROL_PARAMCHANGE);
        break;
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE:
        m_callbacks.OnNetBindChange(control);
        break;
    case SERVICE_CONTROL_HARDWAREPROFILECHANGE:
        m_callbacks.OnHardwareProfileChanged(eventType);
        break;
    case SERVICE_CONTROL_SESSIONCHANGE:
        m_callbacks.OnSessionChange(eventType, static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(eventData)));
        break;
    default:
        if (control >= 128 && control <= 255)
        {
            m_callbacks.OnUserControl(control, eventType);
        }
        break;
    }
    return true;
}

void CService::StopAfterException(IReportServiceStatus &status, const ExceptionExitCodes &defaults, bool askHook)
{
    const DWORD useDefault = CServiceCallbacks::UseDefaultExitCode;
    DWORD code = useDefault;
    DWORD defaultCode = defaults.unknown;
    try
    {
        throw;
    }
    catch (const Win32::CWin32Exception &e)
    {
        code = askHook ? m_callbacks.OnException(e) : useDefault;
        if (code == useDefault)
        {
            status.ServiceStoppedWithError(e.GetError());
            return;
        }
    }
    catch (const Win32::CException &e)
    {
        code = askHook ? m_callbacks.OnException(e) : useDefault;
        defaultCode = defaults.exception;
    }
    catch (const Win32::CSEHException &e)
    {
        code = askHook ? m_callbacks.OnException(e) : useDefault;
        defaultCode = defaults.seh;
    }
    catch (const std::exception &e)
    {
        code = askHook ? m_callbacks.OnException(e) : useDefault;
        defaultCode = defaults.standard;
    }
    catch (...)
    {
        code = askHook ? m_callbacks.OnException() : useDefault;
    }
    status.ServiceStoppedWithServiceSpecificError(code == useDefault ? defaultCode : code);
}

} // namespace Service
} // namespace CorvaneTools
