#include "framework/Service.h"

#include "framework/ServiceControlDispatcher.h"
#include "win32/errors/Exception.h"
#include "win32/system/ModuleInfo.h"
#include "win32/text/ToString.h"

#include <dbt.h>
#include <wtsapi32.h>

namespace CorvaneTools {
namespace Service {

namespace {

const wchar_t *const s_shutdownEventBaseName = L"CorvaneToolsServerShutdown";
const wchar_t *const s_pauseEventBaseName = L"CorvaneToolsServerPauseResume";

// Stop, pause and continue, shutdown.
const DWORD s_acceptedControls = 7;

// Power events that ask for consent (query suspend, query standby).
const DWORD s_queryStandby = 1;

// One consumer at a time: the main routine drains the queue alone.
const DWORD s_controlQueueConcurrency = 1;

ServiceConfiguration DefaultConfiguration(const std::wstring &serviceName, const std::wstring &description)
{
    ServiceConfiguration configuration;
    configuration.displayName = serviceName;
    configuration.description = description;
    configuration.startType = ServiceConfiguration::Manual;
    configuration.acceptedControls = s_acceptedControls;
    return configuration;
}

} // namespace

CService::CService(IServiceCallbacks &callbacks, const std::wstring &serviceName, const std::wstring &description)
    : m_configuration(DefaultConfiguration(serviceName, description)), m_callbacks(callbacks),
      m_baseName(serviceName), m_shutdownEventBaseName(s_shutdownEventBaseName),
      m_pauseEventBaseName(s_pauseEventBaseName), m_serviceName(serviceName), m_instanceName(),
      m_controlQueue(s_controlQueueConcurrency), m_displayMessages(false)
{
}

CService::~CService() = default;

std::wstring CService::GetLogFilePath() const
{
    const std::wstring path = Win32::GetModuleFileName();
    const size_t separator = path.find_last_of(L"\\/:");
    return separator == std::wstring::npos ? path : path.substr(0, separator);
}

void CService::SetInstanceName(const std::wstring &instanceName)
{
    m_instanceName = instanceName;
    m_serviceName = instanceName.empty() ? m_baseName : m_baseName + L": " + instanceName;
    m_configuration.displayName = m_serviceName;
}

void CService::SetDisplayMessages(bool display)
{
    m_displayMessages = display;
}

bool CService::GetDisplayMessages() const
{
    return m_displayMessages;
}

std::wstring CService::GetServiceName() const
{
    return m_serviceName;
}

ServiceConfiguration &CService::GetConfiguration()
{
    return m_configuration;
}

void CService::OnServiceInstalled()
{
    m_callbacks.OnServiceInstalled();
}

void CService::OnServiceRemoved()
{
    m_callbacks.OnServiceRemoved();
}

int CService::ParseCommandLineArgument(wchar_t **, int, int, std::wstring &, DWORD &)
{
    return 0;
}

std::wstring CService::GetServiceSpecificUsage(const std::wstring &usage) const
{
    return usage;
}

bool CService::ApproveRunAction(RunAction, const std::wstring &, IDisplayMessageBox &, DWORD &)
{
    return true;
}

void CService::OnCommandLineError(const std::wstring &)
{
}

bool CService::InstallPerformanceCounters(std::wstring &reason)
{
    return m_callbacks.InstallPerformanceCounters(reason);
}

bool CService::RemovePerformanceCounters(std::wstring &reason)
{
    return m_callbacks.RemovePerformanceCounters(reason);
}

std::wstring CService::GetShutdownEventBaseName() const
{
    return m_shutdownEventBaseName;
}

std::wstring CService::GetPauseEventBaseName() const
{
    return m_pauseEventBaseName;
}

std::wstring CService::GetShutdownEventName() const
{
    return m_shutdownEventBaseName + L"-" + m_instanceName;
}

std::wstring CService::GetPauseEventName() const
{
    return m_pauseEventBaseName + L"-" + m_instanceName;
}

DWORD CService::MapStopReason(DWORD control)
{
    switch (control)
    {
    case SERVICE_CONTROL_STOP:
        return 0;
    case SERVICE_CONTROL_SHUTDOWN:
        return 1;
    case SERVICE_CONTROL_PRESHUTDOWN:
        return 2;
    default:
        throw Win32::CException(L"CService::MapStopReason()",
                                L"Unexpected stop reason: " + Win32::ToHexString(control, Win32::HexPrefix));
    }
}

void CService::QueueControl(DWORD control, DWORD eventType, void *eventData)
{
    m_controlQueue.PostStatus(eventType, control, static_cast<OVERLAPPED *>(eventData));
}

DWORD CService::HandlerEx(IReportServiceStatus &status, DWORD control, DWORD eventType, void *eventData)
{
    CServiceControlDispatcher dispatcher(status, *this);
    DWORD result = 0;
    switch (control)
    {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
    case SERVICE_CONTROL_PARAMCHANGE:
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE:
        dispatcher.DispatchControl(control, eventType, eventData);
        break;
    case SERVICE_CONTROL_INTERROGATE:
        // Only the report below.
        break;
    case SERVICE_CONTROL_DEVICEEVENT:
        HandleDeviceEvent(eventType, eventData, dispatcher, result);
        break;
    case SERVICE_CONTROL_HARDWAREPROFILECHANGE:
        if (eventType == DBT_QUERYCHANGECONFIG)
        {
            result = m_callbacks.OnHardwareProfileQueryChange(dispatcher) ? 0 : DenyQuery;
        }
        else
        {
            dispatcher.DispatchControl(control, eventType);
        }
        break;
    case SERVICE_CONTROL_POWEREVENT:
        HandlePowerEvent(eventType, dispatcher, result);
        break;
    case SERVICE_CONTROL_SESSIONCHANGE:
    {
        const WTSSESSION_NOTIFICATION *session = static_cast<const WTSSESSION_NOTIFICATION *>(eventData);
        const ULONG_PTR sessionId = session ? session->dwSessionId : 0;
        dispatcher.DispatchControl(control, eventType, reinterpret_cast<void *>(sessionId));
        break;
    }
    default:
        if (control >= 128 && control <= 255)
        {
            dispatcher.DispatchControl(control, eventType, eventData);
        }
        else
        {
            // "LPHANDLER_FUNCTION_EX callback function", return value: a control the service
            // does not handle is answered ERROR_CALL_NOT_IMPLEMENTED, but interrogate NO_ERROR.
            result = ERROR_CALL_NOT_IMPLEMENTED;
        }
        break;
    }
    status.ReportStatus();
    return result;
}

void CService::HandleDeviceEvent(DWORD eventType, void *eventData, CServiceControlDispatcher &dispatcher,
                                 DWORD &result)
{
    if (eventType == DBT_DEVICEQUERYREMOVE)
    {
        result = m_callbacks.OnDeviceQueryRemove(eventData, dispatcher) ? 0 : DenyQuery;
    }
    else
    {
        m_callbacks.OnDeviceEvent(eventType, eventData, dispatcher);
    }
}

void CService::HandlePowerEvent(DWORD eventType, CServiceControlDispatcher &dispatcher, DWORD &result)
{
    if (eventType <= s_queryStandby)
    {
        result = m_callbacks.OnPowerQuerySuspend(eventType, dispatcher) ? 0 : DenyQuery;
    }
    else
    {
        m_callbacks.OnPowerEvent(eventType);
    }
}

} // namespace Service
} // namespace CorvaneTools
