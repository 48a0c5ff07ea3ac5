#pragma once

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

} // namespace TestSupport
