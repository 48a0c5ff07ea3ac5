#pragma once

#include "framework/ICommunicateServiceStatusToSCM.h"
#include "framework/IDeviceNotificationPlatform.h"
#include "framework/IManageServiceNotifications.h"
#include "framework/IReportServiceStatus.h"
#include "win32/sync/CriticalSection.h"
#include "win32/sync/Event.h"

#include <windows.h>

#include <map>
#include <string>

namespace CorvaneTools {
namespace Service {

// The one place a service's state, as the service control manager sees it, is kept and
// reported, and where its device-notification registrations are kept. Every report goes
// through the SCM interface, so in debug mode nothing reaches the platform.
class CServiceStatus : public IReportServiceStatus, public IManageServiceNotifications
{
public:
    explicit CServiceStatus(ICommunicateServiceStatusToSCM &scm);
    // Device notifications reach the platform through the given interface (not owned).
    CServiceStatus(ICommunicateServiceStatusToSCM &scm, IDeviceNotificationPlatform &devices);
    ~CServiceStatus() override;

    CServiceStatus(const CServiceStatus &) = delete;
    CServiceStatus &operator=(const CServiceStatus &) = delete;

    // Registers the control handler and reports start pending with a 2000 ms wait hint.
    void Register(const std::wstring &serviceName, DWORD serviceType, DWORD acceptedControls,
                  LPHANDLER_FUNCTION_EX handler, void *context);
    DWORD GetNextHandle();

    // The record as it was last set (reported or not).
    const SERVICE_STATUS &GetStatus() const;

    void NotifyProgress(DWORD waitHintMs) override;
    void SetControlsAccepted(DWORD mask, bool enable) override;
    void ReportStatus() override;
    void SetUltimateState(DWORD state, DWORD waitHintMs) override;
    void CheckPoint(DWORD waitHintMs, DWORD checkPoint) override;
    void UltimateStateReached() override;
    void ServiceStoppedWithError(DWORD win32ExitCode) override;
    void ServiceStoppedWithServiceSpecificError(DWORD serviceSpecificExitCode) override;
    bool IsDebugMode() const override;

    DWORD RegisterForDeviceNotification(HANDLE handle) override;
    DWORD RegisterForDeviceNotification(const GUID &interfaceClass) override;
    DWORD RegisterForDeviceNotification() override;
    void UnregisterNotification(DWORD handle) override;
    void UnregisterAllNotifications() override;

private:
    DWORD RegisterFilter(void *filter, DWORD flags);
    // Removes the platform registration, if there is one, and forgets it.
    void ReleasePlatformNotification(HDEVNOTIFY &notification);

    ICommunicateServiceStatusToSCM &m_scm;
    SERVICE_STATUS m_status;
    SERVICE_STATUS_HANDLE m_statusHandle;
    Win32::CAutoResetEvent m_stateReached;
    volatile bool m_registered;
    volatile LONG m_nextHandle;
    std::map<DWORD, HDEVNOTIFY> m_notifications;
    Win32::CCriticalSection m_notificationsLock;
    // Reports from the control handler thread and the service's main thread go out one
    // after the other, each with the record as it is when its turn comes.
    Win32::CCriticalSection m_reportLock;
    volatile LONG m_firstStart;
    IDeviceNotificationPlatform &m_devices;
};

} // namespace Service
} // namespace CorvaneTools
