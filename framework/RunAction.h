#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace Service {

// What a run of the program does, as its command line asked.
enum RunAction : LONG
{
    None = 0,
    ShowUsage = 1,
    UnknownOption = 3,
    ServiceSpecificOption = 4,
    TooManyOptions = 5,
    Install = 7,
    Remove = 9,
    RunAsProcess = 11,
    RunAsService = 12,
    HasRun = 13,
};

// The exit code of an action that an exception ended, its message shown.
const DWORD ActionFailedExitCode = 5;

// An action done whose last step waits for the next restart, as the platform's installers
// report it.
const DWORD RestartNeededExitCode = ERROR_SUCCESS_REBOOT_REQUIRED;

} // namespace Service
} // namespace CorvaneTools
