#pragma once

#include "framework/IQueueServiceControls.h"
#include "framework/IService.h"
#include "framework/IServiceCallbacks.h"
#include "framework/ServiceConfiguration.h"
#include "win32/threads/IOCompletionPort.h"

#include <string>

namespace CorvaneTools {
namespace Service {

class CServiceControlDispatcher;

// The framework's base for one service: the main routine and the control handler, which
// talk through the control queue, with everything application-specific forwarded to the
// callbacks.
class CService : public IService, private IQueueServiceControls
{
public:
    // The callbacks are not owned and must outlive the service.
    CService(IServiceCallbacks &callbacks, const std::wstring &serviceName, const std::wstring &description);
    ~CService() override;

    CService(const CService &) = delete;
    CService &operator=(const CService &) = delete;

    std::wstring GetLogFilePath() const override;
    void SetInstanceName(const std::wstring &instanceName) override;
    void SetDisplayMessages(bool display) override;
    std::wstring GetServiceName() const override;
    ServiceConfiguration &GetConfiguration() override;
    void OnServiceInstalled() override;
    void OnServiceRemoved() override;
    int ParseCommandLineArgument(wchar_t **argv, int argc, int index, std::wstring &message,
                                 DWORD &result) override;
    std::wstring GetServiceSpecificUsage(const std::wstring &usage) const override;
    bool ApproveRunAction(RunAction action, const std::wstring &messagePrefix, IDisplayMessageBox &manager,
                          DWORD &result) override;
    void OnCommandLineError(const std::wstring &message) override;
    bool InstallPerformanceCounters(std::wstring &reason) override;
    bool RemovePerformanceCounters(std::wstring &reason) override;
    void ServiceMain(IReportServiceStatus &status, IManageServiceNotifications &notifications, DWORD argc,
                     wchar_t **argv) override;
    DWORD HandlerEx(IReportServiceStatus &status, DWORD control, DWORD eventType, void *eventData) override;

    // Stop, shutdown and pre-shutdown controls to the stop reasons 0, 1 and 2.
    static DWORD MapStopReason(DWORD control);

    bool GetDisplayMessages() const;
    std::wstring GetShutdownEventBaseName() const;
    std::wstring GetPauseEventBaseName() const;
    // Base name + "-" + instance name.
    std::wstring GetShutdownEventName() const;
    std::wstring GetPauseEventName() const;

    // What HandlerEx answers a refused query with: the platform's broadcast-query-deny.
    static const DWORD DenyQuery = 0x424D5144;

private:
    // Default exit codes of one phase of the main routine, for CException, CSEHException,
    // standard library exceptions and anything else.
    struct ExceptionExitCodes
    {
        DWORD exception;
        DWORD seh;
        DWORD standard;
        DWORD unknown;
    };

    void QueueControl(DWORD control, DWORD eventType, void *eventData) override;

    // Steps after set-up: start, the control loop and the callbacks' shutdown.
    void StartAndRun(IReportServiceStatus &status, IManageServiceNotifications &notifications, DWORD argc,
                     wchar_t **argv, CServiceControlDispatcher &dispatcher);
    void RunControlLoop(IReportServiceStatus &status);
    // False when the control ends the loop.
    bool HandleQueuedControl(IReportServiceStatus &status, DWORD control, DWORD eventType, void *eventData);
    // Called inside a catch block: reports the service stopped with the code for the
    // exception being handled, asking the matching hook first when told to.
    void StopAfterException(IReportServiceStatus &status, const ExceptionExitCodes &defaults, bool askHook);
    void HandleDeviceEvent(DWORD eventType, void *eventData, CServiceControlDispatcher &dispatcher,
                           DWORD &result);
    void HandlePowerEvent(DWORD eventType, CServiceControlDispatcher &dispatcher, DWORD &result);

    static const ExceptionExitCodes s_setUpExitCodes;
    static const ExceptionExitCodes s_runExitCodes;

    ServiceConfiguration m_configuration;
    IServiceCallbacks &m_callbacks;
    const std::wstring m_baseName;
    const std::wstring m_shutdownEventBaseName;
    const std::wstring m_pauseEventBaseName;
    std::wstring m_serviceName;
    std::wstring m_instanceName;
    Win32::CIOCompletionPort m_controlQueue;
    bool m_displayMessages;
};

} // namespace Service
} // namespace CorvaneTools
