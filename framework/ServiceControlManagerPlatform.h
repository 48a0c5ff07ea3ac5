#pragma once

#include "framework/IServiceControlManagerPlatform.h"

namespace CorvaneTools {
namespace Service {

// The platform itself.
class CServiceControlManagerPlatform : public IServiceControlManagerPlatform
{
public:
    SC_HANDLE OpenSCManagerW(const wchar_t *machine, const wchar_t *database, DWORD access) override;
    SC_HANDLE CreateServiceW(SC_HANDLE manager, const wchar_t *name, const wchar_t *displayName, DWORD access,
                             DWORD serviceType, DWORD startType, DWORD errorControl, const wchar_t *binaryPath,
                             const wchar_t *loadOrderGroup, DWORD *tagId, const wchar_t *dependencies,
                             const wchar_t *account, const wchar_t *password) override;
    BOOL ChangeServiceConfig2W(SC_HANDLE service, DWORD infoLevel, void *info) override;
    SC_HANDLE OpenServiceW(SC_HANDLE manager, const wchar_t *name, DWORD access) override;
    BOOL DeleteService(SC_HANDLE service) override;
    BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW *table) override;
    std::unique_ptr<Win32::CProcessToken> OpenProcessToken(DWORD access) override;
    BOOL GetVersionExW(OSVERSIONINFOW &info) override;
    int MessageBoxW(const wchar_t *text, const wchar_t *title, UINT type) override;
    BOOL ShellExecuteExW(SHELLEXECUTEINFOW &info) override;

    // One instance serves the whole process; it holds nothing.
    static CServiceControlManagerPlatform &Instance();
};

} // namespace Service
} // namespace CorvaneTools
