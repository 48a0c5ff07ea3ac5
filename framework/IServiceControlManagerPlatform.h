#pragma once

#include "win32/security/ProcessToken.h"

#include <windows.h>
#include <shellapi.h>

#include <memory>

namespace CorvaneTools {
namespace Service {

// The platform calls of the SCM interface that tests must be able to watch or answer
// themselves: the service database, the process token, the version, message boxes, the
// shell launch and the dispatcher. Each operation is the platform function of its name
// (failures leave the thread's last error set); CServiceControlManagerPlatform calls them.
class IServiceControlManagerPlatform
{
public:
    virtual SC_HANDLE OpenSCManagerW(const wchar_t *machine, const wchar_t *database, DWORD access) = 0;
    virtual SC_HANDLE CreateServiceW(SC_HANDLE manager, const wchar_t *name, const wchar_t *displayName, DWORD access,
                                     DWORD serviceType, DWORD startType, DWORD errorControl,
                                     const wchar_t *binaryPath, const wchar_t *loadOrderGroup, DWORD *tagId,
                                     const wchar_t *dependencies, const wchar_t *account,
                                     const wchar_t *password) = 0;
    virtual BOOL ChangeServiceConfig2W(SC_HANDLE service, DWORD infoLevel, void *info) = 0;
    virtual SC_HANDLE OpenServiceW(SC_HANDLE manager, const wchar_t *name, DWORD access) = 0;
    virtual BOOL DeleteService(SC_HANDLE service) = 0;
    virtual BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW *table) = 0;
    // This process's token, opened with the access given; throws when it cannot be opened.
    virtual std::unique_ptr<Win32::CProcessToken> OpenProcessToken(DWORD access) = 0;
    virtual BOOL GetVersionExW(OSVERSIONINFOW &info) = 0;
    virtual int MessageBoxW(const wchar_t *text, const wchar_t *title, UINT type) = 0;
    // The process handle comes back in info.hProcess when SEE_MASK_NOCLOSEPROCESS asks for it.
    virtual BOOL ShellExecuteExW(SHELLEXECUTEINFOW &info) = 0;

protected:
    ~IServiceControlManagerPlatform() = default;
};

} // namespace Service
} // namespace CorvaneTools
