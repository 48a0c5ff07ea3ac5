#pragma once

#include "framework/ICommunicateWithSCM.h"
#include "framework/IServiceControlManagerPlatform.h"
#include "framework/ServiceConfiguration.h"

#include <string>

namespace CorvaneTools {
namespace Service {

// Creates and configures a service in the service control manager's database, and deletes
// one. Access denied on opening the database or the service, from NT 6 on, throws
// CRequiresElevationException.
class CServiceInstaller
{
public:
    // The SCM interface answers IsVistaOrLater.
    CServiceInstaller(IServiceControlManagerPlatform &platform, const ICommunicateWithSCM &scm);

    CServiceInstaller(const CServiceInstaller &) = delete;
    CServiceInstaller &operator=(const CServiceInstaller &) = delete;

    // A failure after the service is created leaves it in the database.
    void Install(const std::wstring &serviceName, DWORD serviceType, const ServiceConfiguration &configuration,
                 const std::wstring &commandLine);
    void Remove(const std::wstring &serviceName);

private:
    SC_HANDLE OpenManager(DWORD access, const wchar_t *where);
    [[noreturn]] void ThrowOpenFailure(const wchar_t *where);
    SC_HANDLE Create(SC_HANDLE manager, const std::wstring &serviceName, DWORD serviceType,
                     const ServiceConfiguration &configuration, const std::wstring &commandLine);
    void ConfigureFailureActions(SC_HANDLE service, const ServiceConfiguration &configuration);
    void ConfigureNT6Items(SC_HANDLE service, const ServiceConfiguration &configuration);
    void Configure(SC_HANDLE service, DWORD infoLevel, void *info, const wchar_t *where);

    IServiceControlManagerPlatform &m_platform;
    const ICommunicateWithSCM &m_scm;
};

} // namespace Service
} // namespace CorvaneTools
