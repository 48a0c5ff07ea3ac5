#pragma once

#include "framework/IDisplayMessageBox.h"
#include "framework/IManageServiceNotifications.h"
#include "framework/IReportServiceStatus.h"
#include "framework/RunAction.h"
#include "framework/ServiceConfiguration.h"

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Service {

// One service as the service manager installs, removes and runs it.
class IService
{
public:
    virtual std::wstring GetLogFilePath() const = 0;
    virtual void SetInstanceName(const std::wstring &instanceName) = 0;
    virtual void SetDisplayMessages(bool display) = 0;
    virtual std::wstring GetServiceName() const = 0;
    virtual ServiceConfiguration &GetConfiguration() = 0;
    virtual void OnServiceInstalled() = 0;
    virtual void OnServiceRemoved() = 0;
    // How many arguments from argv[index] on are this service's (0: none); a refusal sets
    // the message and the result (the exit code).
    virtual int ParseCommandLineArgument(wchar_t **argv, int argc, int index, std::wstring &message,
                                         DWORD &result) = 0;
    virtual std::wstring GetServiceSpecificUsage(const std::wstring &usage) const = 0;
    virtual bool ApproveRunAction(RunAction action, const std::wstring &messagePrefix, IDisplayMessageBox &manager,
                                  DWORD &result) = 0;
    virtual void OnCommandLineError(const std::wstring &message) = 0;
    virtual bool InstallPerformanceCounters(std::wstring &reason) = 0;
    virtual bool RemovePerformanceCounters(std::wstring &reason) = 0;
    // After an install or removal: whether its last step waits for the next restart, and
    // the note that says which.
    virtual bool RestartNeeded(std::wstring &note) const
    {
        (void)note;
        return false;
    }
    // The service's main routine, for the whole life of a started service.
    virtual void ServiceMain(IReportServiceStatus &status, IManageServiceNotifications &notifications, DWORD argc,
                             wchar_t **argv) = 0;
    // The control handler, on the service control manager's thread.
    virtual DWORD HandlerEx(IReportServiceStatus &status, DWORD control, DWORD eventType, void *eventData) = 0;
    virtual ~IService() = default;
};

} // namespace Service
} // namespace CorvaneTools
