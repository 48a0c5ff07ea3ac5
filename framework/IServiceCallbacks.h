#pragma once

#include "framework/IManageServiceNotifications.h"
#include "framework/IReportServiceStatus.h"
#include "framework/IShutdownService.h"

#include <windows.h>

#include <exception>
#include <string>

namespace CorvaneTools {
namespace Win32 {
class CException;
class CSEHException;
} // namespace Win32

namespace Service {

class CServiceControlDispatcher;

// What is the application's own in a service: CService calls these, CServiceCallbacks
// supplies the defaults.
class IServiceCallbacks
{
public:
    virtual void OnServiceInstalled() = 0;
    virtual void OnServiceRemoved() = 0;
    virtual bool InstallPerformanceCounters(std::wstring &reason) = 0;
    virtual bool RemovePerformanceCounters(std::wstring &reason) = 0;
    // 0 to go on running; anything else stops the service with that service-specific code.
    virtual DWORD OnServiceStart(IShutdownService &shutdown, IReportServiceStatus &status,
                                 IManageServiceNotifications &notifications, DWORD argc, wchar_t **argv) = 0;
    virtual void OnServiceContinue(IReportServiceStatus &status) = 0;
    virtual void OnServicePause(IReportServiceStatus &status) = 0;
    // Stop reason: 0 stop control, 1 system shutdown, 2 pre-shutdown.
    virtual void OnServiceStop(IReportServiceStatus &status, DWORD stopReason) = 0;
    virtual DWORD OnServiceShutdown(IReportServiceStatus &status) = 0;
    virtual void OnUserControl(DWORD control, DWORD eventType) = 0;
    virtual void OnParamChange() = 0;
    virtual void OnNetBindChange(DWORD control) = 0;
    virtual void OnSessionChange(DWORD eventType, DWORD sessionId) = 0;
    virtual bool OnDeviceQueryRemove(void *eventData, CServiceControlDispatcher &dispatcher) = 0;
    virtual void OnDeviceEvent(DWORD eventType, void *eventData, CServiceControlDispatcher &dispatcher) = 0;
    virtual bool OnHardwareProfileQueryChange(CServiceControlDispatcher &dispatcher) = 0;
    virtual void OnHardwareProfileChanged(DWORD eventType) = 0;
    virtual void OnPowerEvent(DWORD eventType) = 0;
    virtual bool OnPowerQuerySuspend(DWORD eventType, CServiceControlDispatcher &dispatcher) = 0;
    // The service-specific code to stop with; 5 means the framework's default.
    virtual DWORD OnException() = 0;
    virtual DWORD OnException(const std::exception &e) = 0;
    virtual DWORD OnException(const Win32::CSEHException &e) = 0;
    virtual DWORD OnException(const Win32::CException &e) = 0;
    virtual ~IServiceCallbacks() = default;
};

} // namespace Service
} // namespace CorvaneTools
