#pragma once

#include "tests/support/WaitUntil.h"

#include <windows.h>

namespace TestSupport {

// The service's status as the platform's service control manager reports it.
inline SERVICE_STATUS_PROCESS QueryServiceStatus(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status), sizeof(status),
                           &needed);
    return status;
}

// True once the service reports the state, within 20 s.
inline bool ReachesState(SC_HANDLE service, DWORD state)
{
    return WaitUntil([&] { return QueryServiceStatus(service).dwCurrentState == state; }, 20000);
}

// True when the service control manager took the control.
inline bool Control(SC_HANDLE service, DWORD control)
{
    SERVICE_STATUS status = {};
    return ::ControlService(service, control, &status) != FALSE;
}

} // namespace TestSupport
