#include "framework/ServiceControlManagerPlatform.h"

#include <shellapi.h>

namespace CorvaneTools {
namespace Service {

SC_HANDLE CServiceControlManagerPlatform::OpenSCManagerW(const wchar_t *machine, const wchar_t *database,
                                                         DWORD access)
{
    return ::OpenSCManagerW(machine, database, access);
}

SC_HANDLE CServiceControlManagerPlatform::CreateServiceW(SC_HANDLE manager, const wchar_t *name,
                                                         const wchar_t *displayName, DWORD access, DWORD serviceType,
                                                         DWORD startType, DWORD errorControl,
                                                         const wchar_t *binaryPath, const wchar_t *loadOrderGroup,
                                                         DWORD *tagId, const wchar_t *dependencies,
                                                         const wchar_t *account, const wchar_t *password)
{
    return ::CreateServiceW(manager, name, displayName, access, serviceType, startType, errorControl, binaryPath,
                            loadOrderGroup, tagId, dependencies, account, password);
}

BOOL CServiceControlManagerPlatform::ChangeServiceConfig2W(SC_HANDLE service, DWORD infoLevel, void *info)
{
    return ::ChangeServiceConfig2W(service, infoLevel, info);
}

SC_HANDLE CServiceControlManagerPlatform::OpenServiceW(SC_HANDLE manager, const wchar_t *name, DWORD access)
{
    return ::OpenServiceW(manager, name, access);
}

BOOL CServiceControlManagerPlatform::DeleteService(SC_HANDLE service)
{
    return ::DeleteService(service);
}

BOOL CServiceControlManagerPlatform::StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW *table)
{
    return ::StartServiceCtrlDispatcherW(table);
}

std::unique_ptr<Win32::CProcessToken> CServiceControlManagerPlatform::OpenProcessToken(DWORD access)
{
    return std::make_unique<Win32::CProcessToken>(access);
}

BOOL CServiceControlManagerPlatform::GetVersionExW(OSVERSIONINFOW &info)
{
    return ::GetVersionExW(&info);
}

int CServiceControlManagerPlatform::MessageBoxW(const wchar_t *text, const wchar_t *title, UINT type)
{
    return ::MessageBoxW(nullptr, text, title, type);
}

BOOL CServiceControlManagerPlatform::ShellExecuteExW(SHELLEXECUTEINFOW &info)
{
    return ::ShellExecuteExW(&info);
}

CServiceControlManagerPlatform &CServiceControlManagerPlatform::Instance()
{
    static CServiceControlManagerPlatform platform;
    return platform;
}

} // namespace Service
} // namespace CorvaneTools
