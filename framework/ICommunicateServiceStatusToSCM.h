#pragma once

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Service {

// Registration of a service's control handler and its status reports: everything a
// service's status object tells the service control manager. In debug mode nothing reaches
// the platform.
class ICommunicateServiceStatusToSCM
{
public:
    virtual SERVICE_STATUS_HANDLE RegisterControlHandler(const std::wstring &serviceName,
                                                         LPHANDLER_FUNCTION_EX handler, void *context) = 0;
    virtual SERVICE_STATUS_HANDLE RegisterControlHandler(const std::wstring &serviceName,
                                                         LPHANDLER_FUNCTION handler) = 0;
    virtual void SetStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS &status) = 0;
    virtual bool IsDebugMode() const = 0;
    virtual ~ICommunicateServiceStatusToSCM() = default;
};

} // namespace Service
} // namespace CorvaneTools
