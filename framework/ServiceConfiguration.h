#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace CorvaneTools {
namespace Service {

// How a service is to be installed.
struct ServiceConfiguration
{
    // The platform's failure action record: type (0 none, 1 restart, 2 reboot, 3 run
    // command), then the delay in milliseconds.
    struct FailureAction
    {
        DWORD type;
        DWORD delayMs;
    };

    enum StartType : LONG
    {
        Disabled = 0,
        Manual = 1,
        Automatic = 2,
        AutomaticDelayed = 3,
    };

    enum SidType : LONG
    {
        SidNotConfigured = 0,
        SidNone = 1,
        SidRestricted = 2,
        SidUnrestricted = 3,
    };

    static const DWORD PreShutdownTimeoutNotConfigured = 0xFFFFFFFF;

    std::wstring displayName;
    std::wstring description;
    // Comma-separated service names.
    std::wstring dependencies;
    LONG startType = Disabled;
    DWORD errorControl = 1;
    bool interactive = false;
    bool hasPerformanceCounters = false;
    // 1 stop, 2 pause and continue, 4 shutdown.
    DWORD acceptedControls = 5;
    DWORD preShutdownTimeoutMs = PreShutdownTimeoutNotConfigured;
    // Empty: the platform's default account; the password goes only with an account.
    std::wstring account;
    std::wstring password;
    // Comma-separated privilege names.
    std::wstring requiredPrivileges;
    LONG sidType = SidNotConfigured;
    bool hasFailureActions = false;
    DWORD resetPeriodSeconds = 0;
    std::wstring rebootMessage;
    std::wstring failureCommand;
    bool failureActionsOnNonCrashFailures = false;
    std::vector<FailureAction> failureActions;
    bool hasRestartAction = false;
    bool hasRebootAction = false;
};

} // namespace Service
} // namespace CorvaneTools
