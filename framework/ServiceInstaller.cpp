#include "framework/ServiceInstaller.h"

#include "framework/RequiresElevationException.h"
#include "framework/ServiceConfigurationMapping.h"
#include "framework/ServiceHandle.h"
#include "win32/errors/Win32Exception.h"
#include "win32/security/ScopedPrivilege.h"

#include <vector>

namespace CorvaneTools {
namespace Service {

namespace {

const wchar_t *const s_shutdownPrivilege = L"SeShutdownPrivilege";
const wchar_t *const s_database = L"ServicesActive";

const std::wstring &ShutdownPrivilegeText()
{
    static const std::wstring text =
        L"One of the service's restart actions  is to reboot the computer. Configuring this requires that the "
        L"account  installing the service has the \"SeShutdownPrivilege\" privilege.";
    return text;
}

// Rebooting as a failure action needs the privilege to be enabled while it is configured.
void CheckShutdownPrivilege(Win32::CProcessToken &token)
{
    if (!token.HasPrivilege(s_shutdownPrivilege))
    {
        throw Win32::CException(L"CService::InstallService()",
                                ShutdownPrivilegeText() + L" This account does not have that privilege.");
    }
    if (!token.IsPrivilegeEnabled(s_shutdownPrivilege))
    {
        if (!token.EnablePrivilegeIfHeld(s_shutdownPrivilege))
        {
            throw Win32::CException(L"CService::InstallService()",
                                    ShutdownPrivilegeText() +
                                        L" This account has that privilege but it cannot be enabled.");
        }
        token.DisablePrivilege(s_shutdownPrivilege);
    }
}

// "a,b" as the platform's list "a\0b\0\0"; the string's own terminator is the last one.
std::wstring ToMultiString(const std::wstring &commaSeparated)
{
    std::wstring list = commaSeparated;
    for (wchar_t &c : list)
    {
        if (c == L',')
        {
            c = L'\0';
        }
    }
    return list + L'\0';
}

wchar_t *Text(const std::wstring &text)
{
    // The platform's records hold non-const pointers to text it only reads.
    return const_cast<wchar_t *>(text.c_str());
}

} // namespace

CServiceInstaller::CServiceInstaller(IServiceControlManagerPlatform &platform, const ICommunicateWithSCM &scm)
    : m_platform(platform), m_scm(scm)
{
}

void CServiceInstaller::Install(const std::wstring &serviceName, DWORD serviceType,
                                const ServiceConfiguration &configuration, const std::wstring &commandLine)
{
    // One token serves the privilege check and the enabling that lasts for the whole call.
    const std::unique_ptr<Win32::CProcessToken> token =
        m_platform.OpenProcessToken(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY);
    if (configuration.hasRebootAction)
    {
        CheckShutdownPrivilege(*token);
    }
    const Win32::CScopedPrivilege shutdown(*token, s_shutdownPrivilege, configuration.hasRebootAction);

    const CServiceHandle manager(OpenManager(SC_MANAGER_CREATE_SERVICE, L"CService::InstallService() - OpenSCManager"));
    const CServiceHandle service(Create(manager.Get(), serviceName, serviceType, configuration, commandLine));
    if (!configuration.description.empty())
    {
        SERVICE_DESCRIPTIONW description = {Text(configuration.description)};
        Configure(service.Get(), SERVICE_CONFIG_DESCRIPTION, &description,
                  L"CServiceControlManagerInterface::CreateService() - failed to set service description");
    }
    if (configuration.hasFailureActions)
    {
        ConfigureFailureActions(service.Get(), configuration);
    }
    if (m_scm.IsVistaOrLater())
    {
        ConfigureNT6Items(service.Get(), configuration);
    }
}

void CServiceInstaller::Remove(const std::wstring &serviceName)
{
    const CServiceHandle manager(OpenManager(SC_MANAGER_CONNECT, L"CService::RemoveService() - OpenSCManager"));
    const CServiceHandle service(m_platform.OpenServiceW(manager.Get(), serviceName.c_str(), DELETE));
    if (!service.IsValid())
    {
        ThrowOpenFailure(L"CService::RemoveService() - OpenService");
    }
    if (!m_platform.DeleteService(service.Get()))
    {
        throw Win32::CWin32Exception(L"CService::RemoveService() - DeleteService", ::GetLastError());
    }
}

SC_HANDLE CServiceInstaller::OpenManager(DWORD access, const wchar_t *where)
{
    const SC_HANDLE manager = m_platform.OpenSCManagerW(nullptr, s_database, access);
    if (!manager)
    {
        ThrowOpenFailure(where);
    }
    return manager;
}

void CServiceInstaller::ThrowOpenFailure(const wchar_t *where)
{
    // Read before IsVistaOrLater can change it.
    const DWORD error = ::GetLastError();
    if (error == ERROR_ACCESS_DENIED && m_scm.IsVistaOrLater())
    {
        throw CRequiresElevationException();
    }
    throw Win32::CWin32Exception(where, error);
}

SC_HANDLE CServiceInstaller::Create(SC_HANDLE manager, const std::wstring &serviceName, DWORD serviceType,
                                    const ServiceConfiguration &configuration, const std::wstring &commandLine)
{
    // The platform configures restart actions only for callers that may start the service.
    const DWORD access = SERVICE_CHANGE_CONFIG | (configuration.hasRestartAction ? SERVICE_START : 0);
    const DWORD type = serviceType | (configuration.interactive ? SERVICE_INTERACTIVE_PROCESS : 0);
    const DWORD startType = MapStartupType(configuration.startType);
    const std::wstring dependencies = ToMultiString(configuration.dependencies);
    const bool hasAccount = !configuration.account.empty();
    const SC_HANDLE service = m_platform.CreateServiceW(
        manager, serviceName.c_str(), configuration.displayName.c_str(), access, type, startType,
        configuration.errorControl, commandLine.c_str(), nullptr, nullptr,
        configuration.dependencies.empty() ? nullptr : dependencies.c_str(),
        hasAccount ? configuration.account.c_str() : nullptr, hasAccount ? configuration.password.c_str() : nullptr);
    if (!service)
    {
        throw Win32::CWin32Exception(L"CService::InstallService() - CreateService", ::GetLastError());
    }
    return service;
}

void CServiceInstaller::ConfigureFailureActions(SC_HANDLE service, const ServiceConfiguration &configuration)
{
    std::vector<SC_ACTION> actions;
    for (const ServiceConfiguration::FailureAction &action : configuration.failureActions)
    {
        actions.push_back({static_cast<SC_ACTION_TYPE>(action.type), action.delayMs});
    }
    SERVICE_FAILURE_ACTIONSW failureActions = {configuration.resetPeriodSeconds, Text(configuration.rebootMessage),
                                               Text(configuration.failureCommand),
                                               static_cast<DWORD>(actions.size()), actions.data()};
    Configure(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions,
              L"CServiceControlManagerInterface::CreateService() - failed to set service failure actions");
}

void CServiceInstaller::ConfigureNT6Items(SC_HANDLE service, const ServiceConfiguration &configuration)
{
    if (!configuration.requiredPrivileges.empty())
    {
        const std::wstring list = ToMultiString(configuration.requiredPrivileges);
        SERVICE_REQUIRED_PRIVILEGES_INFOW privileges = {Text(list)};
        Configure(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &privileges,
                  L"CServiceControlManagerInterface::CreateService() - failed to set service privilege requirements");
    }
    if (configuration.sidType != ServiceConfiguration::SidNotConfigured)
    {
        SERVICE_SID_INFO sid = {MapServiceSidType(configuration.sidType)};
        Configure(service, SERVICE_CONFIG_SERVICE_SID_INFO, &sid,
                  L"CServiceControlManagerInterface::CreateService() - failed to set service SID type");
    }
    if (configuration.startType == ServiceConfiguration::AutomaticDelayed)
    {
        SERVICE_DELAYED_AUTO_START_INFO delayed = {TRUE};
        Configure(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed,
                  L"CServiceControlManagerInterface::CreateService() - failed to set service as delayed auto start");
    }
    if (configuration.hasFailureActions && configuration.failureActionsOnNonCrashFailures)
    {
        SERVICE_FAILURE_ACTIONS_FLAG flag = {TRUE};
        Configure(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag,
                  L"CServiceControlManagerInterface::CreateService() - failed to set service actions on crash");
    }
    if (configuration.preShutdownTimeoutMs != ServiceConfiguration::PreShutdownTimeoutNotConfigured)
    {
        SERVICE_PRESHUTDOWN_INFO preShutdown = {configuration.preShutdownTimeoutMs};
        Configure(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preShutdown,
                  L"CServiceControlManagerInterface::CreateService() - failed to set service preshutdown timeout");
    }
}

void CServiceInstaller::Configure(SC_HANDLE service, DWORD infoLevel, void *info, const wchar_t *where)
{
    if (!m_platform.ChangeServiceConfig2W(service, infoLevel, info))
    {
        throw Win32::CWin32Exception(where, ::GetLastError());
    }
}

} // namespace Service
} // namespace CorvaneTools
