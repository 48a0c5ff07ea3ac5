#pragma once

#include "framework/INotifyProgress.h"

namespace CorvaneTools {
namespace Service {

// A service's state as the service control manager sees it.
class IReportServiceStatus : public INotifyProgress
{
public:
    virtual void SetControlsAccepted(DWORD mask, bool enable) = 0;
    virtual void ReportStatus() = 0;
    virtual void SetUltimateState(DWORD state, DWORD waitHintMs) = 0;
    // A checkpoint of 0 means the previous one plus 1.
    virtual void CheckPoint(DWORD waitHintMs, DWORD checkPoint) = 0;
    virtual void UltimateStateReached() = 0;
    virtual void ServiceStoppedWithError(DWORD win32ExitCode) = 0;
    virtual void ServiceStoppedWithServiceSpecificError(DWORD serviceSpecificExitCode) = 0;
    virtual bool IsDebugMode() const = 0;
};

} // namespace Service
} // namespace CorvaneTools
