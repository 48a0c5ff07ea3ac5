#include "framework/ServiceStatus.h"

#include "win32/errors/Exception.h"
#include "win32/errors/Win32Exception.h"
#include "win32/log/DebugTrace.h"
#include "win32/text/ToString.h"

#include <dbt.h>

namespace CorvaneTools {
namespace Service {

using Win32::CException;
using Win32::CWin32Exception;
using Win32::ICriticalSection;

namespace {

// The platform rejects a filter record whose size field is not its own.
static_assert(sizeof(DEV_BROADCAST_HANDLE) == 56, "handle filter record size");
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32, "device interface filter record size");

const DWORD s_handleLimit = 0x10000000;
const DWORD s_startWaitHintMs = 2000;

class CPlatformDeviceNotifications : public IDeviceNotificationPlatform
{
public:
    HDEVNOTIFY Register(HANDLE recipient, void *filter, DWORD flags) override
    {
        return ::RegisterDeviceNotificationW(recipient, filter, flags);
    }

    bool Unregister(HDEVNOTIFY notification) override
    {
        return ::UnregisterDeviceNotification(notification) != FALSE;
    }

    static CPlatformDeviceNotifications &Instance()
    {
        static CPlatformDeviceNotifications instance;
        return instance;
    }
};

} // namespace

CServiceStatus::CServiceStatus(ICommunicateServiceStatusToSCM &scm)
    : CServiceStatus(scm, CPlatformDeviceNotifications::Instance())
{
}

CServiceStatus::CServiceStatus(ICommunicateServiceStatusToSCM &scm, IDeviceNotificationPlatform &devices)
    : m_scm(scm), m_status(), m_statusHandle(nullptr), m_stateReached(Win32::CEvent::Signalled),
      m_registered(false), m_nextHandle(1), m_firstStart(1), m_devices(devices)
{
}

CServiceStatus::~CServiceStatus()
{
    for (auto &entry : m_notifications)
    {
        try
        {
            ReleasePlatformNotification(entry.second);
        }
        catch (...)
        {
        }
    }
}

void CServiceStatus::Register(const std::wstring &serviceName, DWORD serviceType, DWORD acceptedControls,
                              LPHANDLER_FUNCTION_EX handler, void *context)
{
    // Registered only once the handler is: a failed registration must not send reports
    // with a handle that was never issued.
    m_statusHandle = m_scm.RegisterControlHandler(serviceName, handler, context);
    m_registered = true;
    m_status.dwServiceType = serviceType;
    m_status.dwCurrentState = SERVICE_START_PENDING;
    m_status.dwWin32ExitCode = 0;
    m_status.dwServiceSpecificExitCode = 0;
    m_status.dwCheckPoint = 0;
    m_status.dwControlsAccepted = acceptedControls;
    m_status.dwWaitHint = s_startWaitHintMs;
    ReportStatus();
}

DWORD CServiceStatus::GetNextHandle()
{
    const DWORD handle = static_cast<DWORD>(::InterlockedIncrement(&m_nextHandle));
    if (handle >= s_handleLimit)
    {
        throw CWin32Exception(L"CServiceStatus::GetNextHandle()", L"Too many handles used");
    }
    return handle;
}

const SERVICE_STATUS &CServiceStatus::GetStatus() const
{
    return m_status;
}

void CServiceStatus::NotifyProgress(DWORD waitHintMs)
{
    CheckPoint(waitHintMs, 0);
}

void CServiceStatus::SetControlsAccepted(DWORD mask, bool enable)
{
    if (enable)
    {
        m_status.dwControlsAccepted |= mask;
    }
    else
    {
        m_status.dwControlsAccepted &= ~mask;
    }
}

void CServiceStatus::ReportStatus()
{
    // Unlocked, the handler's report of a pending state, copied before the main thread
    // reached the final state, could reach the manager after the final report and leave it
    // waiting for good.
    ICriticalSection::Owner lock(m_reportLock);
    if (!m_registered)
    {
        return;
    }
    // A copy, so that the state tested is the one sent while the other thread writes.
    const SERVICE_STATUS status = m_status;
    m_scm.SetStatus(m_statusHandle, status);
    if (status.dwCurrentState == SERVICE_STOPPED)
    {
        m_registered = false;
    }
}

void CServiceStatus::SetUltimateState(DWORD state, DWORD waitHintMs)
{
    if (!m_registered)
    {
        return;
    }
    const wchar_t *const where = L"CServiceStatus::SetUltimateState()";
    if (waitHintMs == 0)
    {
        throw CException(where, L"Invalid waitHint, must be non zero.");
    }
    DWORD pending = 0;
    switch (state)
    {
    case SERVICE_STOPPED:
        pending = SERVICE_STOP_PENDING;
        break;
    case SERVICE_RUNNING:
        pending = m_status.dwCurrentState == SERVICE_PAUSED ? SERVICE_CONTINUE_PENDING : SERVICE_START_PENDING;
        break;
    case SERVICE_PAUSED:
        pending = SERVICE_PAUSE_PENDING;
        break;
    default:
        throw CException(where, L"Invalid state:" + Win32::ToString(state));
    }
    if (pending != m_status.dwCurrentState ||
        (pending == SERVICE_START_PENDING && ::InterlockedExchange(&m_firstStart, 0) == 1))
    {
        // Only UltimateStateReached sets the event, so a new pending state waits for the
        // previous one to become final. The record is written after the wait: written
        // before it, UltimateStateReached would zero this state's checkpoint and wait hint.
        m_stateReached.Wait();
        m_status.dwCheckPoint = 1;
        m_status.dwWaitHint = waitHintMs;
        m_status.dwCurrentState = pending;
    }
}

void CServiceStatus::CheckPoint(DWORD waitHintMs, DWORD checkPoint)
{
    m_status.dwCheckPoint = checkPoint != 0 ? checkPoint : m_status.dwCheckPoint + 1;
    m_status.dwWaitHint = waitHintMs;
    ReportStatus();
}

void CServiceStatus::UltimateStateReached()
{
    DWORD reached = 0;
    switch (m_status.dwCurrentState)
    {
    case SERVICE_START_PENDING:
    case SERVICE_CONTINUE_PENDING:
        reached = SERVICE_RUNNING;
        break;
    case SERVICE_STOP_PENDING:
        reached = SERVICE_STOPPED;
        break;
    case SERVICE_PAUSE_PENDING:
        reached = SERVICE_PAUSED;
        break;
    default:
        break;
    }
    m_status.dwCheckPoint = 0;
    m_status.dwWaitHint = 0;
    if (reached == 0)
    {
        return;
    }
    m_status.dwCurrentState = reached;
    try
    {
        ReportStatus();
    }
    catch (...)
    {
        // The state is final whether or not the report went through; a control waiting
        // for it must not wait for ever.
        m_stateReached.Set();
        throw;
    }
    m_stateReached.Set();
}

void CServiceStatus::ServiceStoppedWithError(DWORD win32ExitCode)
{
    m_status.dwCurrentState = SERVICE_STOPPED;
    m_status.dwWin32ExitCode = win32ExitCode;
    m_status.dwServiceSpecificExitCode = 0;
    m_status.dwCheckPoint = 0;
    m_status.dwWaitHint = 0;
    ReportStatus();
}

void CServiceStatus::ServiceStoppedWithServiceSpecificError(DWORD serviceSpecificExitCode)
{
    m_status.dwCurrentState = SERVICE_STOPPED;
    m_status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    m_status.dwServiceSpecificExitCode = serviceSpecificExitCode;
    m_status.dwCheckPoint = 0;
    m_status.dwWaitHint = 0;
    ReportStatus();
}

bool CServiceStatus::IsDebugMode() const
{
    return m_scm.IsDebugMode();
}

DWORD CServiceStatus::RegisterForDeviceNotification(HANDLE handle)
{
    DEV_BROADCAST_HANDLE filter = {};
    filter.dbch_size = sizeof(filter);
    filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    filter.dbch_handle = handle;
    return RegisterFilter(&filter, DEVICE_NOTIFY_SERVICE_HANDLE);
}

DWORD CServiceStatus::RegisterForDeviceNotification(const GUID &interfaceClass)
{
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = interfaceClass;
    return RegisterFilter(&filter, DEVICE_NOTIFY_SERVICE_HANDLE);
}

DWORD CServiceStatus::RegisterForDeviceNotification()
{
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    return RegisterFilter(&filter, DEVICE_NOTIFY_SERVICE_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
}

DWORD CServiceStatus::RegisterFilter(void *filter, DWORD flags)
{
    const DWORD handle = GetNextHandle();
    HDEVNOTIFY notification = nullptr;
    if (IsDebugMode())
    {
        // There is no status handle to deliver to when running as a process.
        Win32::CDebugTrace::Log(
            L"CServiceStatus::RegisterForDeviceNotification() - skipped when running service in debug mode");
    }
    else
    {
        notification = m_devices.Register(m_statusHandle, filter, flags);
        if (!notification)
        {
            throw CWin32Exception(L"CServiceStatus::RegisterForDeviceNotification()", ::GetLastError());
        }
    }
    try
    {
        ICriticalSection::Owner lock(m_notificationsLock);
        m_notifications[handle] = notification;
    }
    catch (...)
    {
        ReleasePlatformNotification(notification);
        throw;
    }
    return handle;
}

void CServiceStatus::UnregisterNotification(DWORD handle)
{
    ICriticalSection::Owner lock(m_notificationsLock);
    const auto entry = m_notifications.find(handle);
    if (entry == m_notifications.end())
    {
        throw CWin32Exception(L"CServiceStatus::UnregisterNotification()",
                              L"Invalid handle: " + Win32::ToHexString(handle, Win32::HexPrefix));
    }
    ReleasePlatformNotification(entry->second);
    m_notifications.erase(entry);
}

void CServiceStatus::UnregisterAllNotifications()
{
    ICriticalSection::Owner lock(m_notificationsLock);
    for (auto &entry : m_notifications)
    {
        ReleasePlatformNotification(entry.second);
    }
}

void CServiceStatus::ReleasePlatformNotification(HDEVNOTIFY &notification)
{
    // Registrations made in debug mode, and those already removed, hold none.
    if (!notification)
    {
        return;
    }
    if (!m_devices.Unregister(notification))
    {
        throw CWin32Exception(L"CServiceStatus::UnregisterDeviceNotifications()", ::GetLastError());
    }
    notification = nullptr;
}

} // namespace Service
} // namespace CorvaneTools
