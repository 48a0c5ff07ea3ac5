#pragma once

#include "framework/IServiceCallbacks.h"

namespace CorvaneTools {
namespace Service {

// The defaults of the callbacks an application need not care about. What every service
// must decide for itself (install, remove, start, pause, continue, stop, shutdown) stays
// abstract.
class CServiceCallbacks : public IServiceCallbacks
{
public:
    void OnUserControl(DWORD control, DWORD eventType) override;
    void OnParamChange() override;
    void OnNetBindChange(DWORD control) override;
    void OnSessionChange(DWORD eventType, DWORD sessionId) override;
    bool OnDeviceQueryRemove(void *eventData, CServiceControlDispatcher &dispatcher) override;
    void OnDeviceEvent(DWORD eventType, void *eventData, CServiceControlDispatcher &dispatcher) override;
    bool OnHardwareProfileQueryChange(CServiceControlDispatcher &dispatcher) override;
    void OnHardwareProfileChanged(DWORD eventType) override;
    void OnPowerEvent(DWORD eventType) override;
    bool OnPowerQuerySuspend(DWORD eventType, CServiceControlDispatcher &dispatcher) override;
    // Each returns UseDefaultExitCode.
    DWORD OnException() override;
    DWORD OnException(const std::exception &e) override;
    DWORD OnException(const Win32::CSEHException &e) override;
    DWORD OnException(const Win32::CException &e) override;

    // What an OnException hook returns to leave the exit code to the framework.
    static const DWORD UseDefaultExitCode = 5;
};

} // namespace Service
} // namespace CorvaneTools
