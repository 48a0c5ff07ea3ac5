#pragma once

#include "framework/ServiceControlManagerPlatform.h"
#include "win32/text/ToString.h"

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace FrameworkTestSupport {

// The platform, with every call of the SCM interface written down as one line of text (its
// arguments and record contents) in the order made. A call can be made to fail with a given
// error instead; the configuration items this platform refuses can be answered as accepted,
// so that the items after them are reached; the version, the token, the message-box answer,
// the shell launch and the dispatcher are the test's.
class CRecordingPlatform : public CorvaneTools::Service::IServiceControlManagerPlatform
{
public:
    std::vector<std::wstring> calls;
    // Call name ("OpenSCManager", "OpenService", "DeleteService") or "Config2 <level>" to error.
    std::map<std::wstring, DWORD> failures;
    std::set<DWORD> acceptedLevels;
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    DWORD majorVersion = 6;
    std::function<std::unique_ptr<CorvaneTools::Win32::CProcessToken>(DWORD)> token;
    std::function<void()> onCreateService;
    int messageBoxAnswer = IDCANCEL;
    INT_PTR shellExecuteResult = 42;
    BOOL dispatcherResult = TRUE;

    SC_HANDLE OpenSCManagerW(const wchar_t *machine, const wchar_t *database, DWORD access) override
    {
        calls.push_back(L"OpenSCManager " + Text(machine) + L" " + Text(database) + L" " + Hex(access));
        return Fails(L"OpenSCManager") ? nullptr : m_platform.OpenSCManagerW(machine, database, access);
    }

    SC_HANDLE CreateServiceW(SC_HANDLE manager, const wchar_t *name, const wchar_t *displayName, DWORD access,
                             DWORD serviceType, DWORD startType, DWORD errorControl, const wchar_t *binaryPath,
                             const wchar_t *group, DWORD *tag, const wchar_t *dependencies, const wchar_t *account,
                             const wchar_t *password) override
    {
        calls.push_back(L"CreateService " + Text(displayName) + L" " + Hex(access) + L" " + Hex(serviceType) + L" " +
                        Hex(startType) + L" " + Hex(errorControl) + L" " + Text(binaryPath) + L" " + Text(group) +
                        L" " + (tag ? L"tag" : L"null") + L" " + List(dependencies) + L" " + Text(account) + L" " +
                        Text(password));
        if (onCreateService)
        {
            onCreateService();
        }
        return m_platform.CreateServiceW(manager, name, displayName, access, serviceType, startType, errorControl,
                                         binaryPath, group, tag, dependencies, account, password);
    }

    BOOL ChangeServiceConfig2W(SC_HANDLE service, DWORD level, void *info) override
    {
        calls.push_back(L"Config2 " + std::to_wstring(level) + L" " + Record(level, info));
        if (Fails(L"Config2 " + std::to_wstring(level)))
        {
            return FALSE;
        }
        return acceptedLevels.count(level) ? TRUE : m_platform.ChangeServiceConfig2W(service, level, info);
    }

    SC_HANDLE OpenServiceW(SC_HANDLE manager, const wchar_t *name, DWORD access) override
    {
        calls.push_back(L"OpenService " + Hex(access));
        return Fails(L"OpenService") ? nullptr : m_platform.OpenServiceW(manager, name, access);
    }

    BOOL DeleteService(SC_HANDLE service) override
    {
        calls.push_back(L"DeleteService");
        return Fails(L"DeleteService") ? FALSE : m_platform.DeleteService(service);
    }

    // Running the platform's dispatcher in a process the service control manager did not start
    // fails only after ten seconds here.
    BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW *table) override
    {
        calls.push_back(L"Dispatcher " + Text(table[0].lpServiceName));
        ::SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return dispatcherResult;
    }

    std::unique_ptr<CorvaneTools::Win32::CProcessToken> OpenProcessToken(DWORD access) override
    {
        calls.push_back(L"OpenProcessToken " + Hex(access));
        return token ? token(access) : m_platform.OpenProcessToken(access);
    }

    BOOL GetVersionExW(OSVERSIONINFOW &info) override
    {
        info.dwMajorVersion = majorVersion;
        info.dwMinorVersion = 1;
        info.dwPlatformId = platformId;
        return TRUE;
    }

    int MessageBoxW(const wchar_t *text, const wchar_t *title, UINT type) override
    {
        calls.push_back(L"MessageBox " + Text(text) + L" " + Text(title) + L" " + Hex(type));
        return messageBoxAnswer;
    }

    // Hands back launchedProcess, whose handle the caller then owns.
    BOOL ShellExecuteExW(SHELLEXECUTEINFOW &info) override
    {
        calls.push_back(L"ShellExecute " + Text(info.lpVerb) + L" " + Text(info.lpFile) + L" " +
                        Text(info.lpDirectory) + L" " + std::to_wstring(info.nShow));
        launchParameters = info.lpParameters;
        info.hProcess = launchedProcess;
        if (shellExecuteResult < 32)
        {
            ::SetLastError(static_cast<DWORD>(shellExecuteResult));
            return FALSE;
        }
        return TRUE;
    }

    HANDLE launchedProcess = nullptr;

    std::wstring launchParameters;

private:
    bool Fails(const std::wstring &call) const
    {
        const auto failure = failures.find(call);
        if (failure == failures.end())
        {
            return false;
        }
        ::SetLastError(failure->second);
        return true;
    }

    static std::wstring Text(const wchar_t *text)
    {
        return text ? L"'" + std::wstring(text) + L"'" : L"null";
    }

    static std::wstring Hex(DWORD value)
    {
        return CorvaneTools::Win32::ToHexString(value, CorvaneTools::Win32::HexPrefix);
    }

    // A double-zero-terminated list as 'a|b|'.
    static std::wstring List(const wchar_t *list)
    {
        if (!list)
        {
            return L"null";
        }
        std::wstring text;
        for (; *list; list += wcslen(list) + 1)
        {
            text += std::wstring(list) + L"|";
        }
        return L"'" + text + L"'";
    }

    static std::wstring Record(DWORD level, const void *info)
    {
        switch (level)
        {
        case SERVICE_CONFIG_DESCRIPTION:
            return Text(static_cast<const SERVICE_DESCRIPTIONW *>(info)->lpDescription);
        case SERVICE_CONFIG_FAILURE_ACTIONS: {
            const auto &actions = *static_cast<const SERVICE_FAILURE_ACTIONSW *>(info);
            std::wstring text = std::to_wstring(actions.dwResetPeriod) + L" " + Text(actions.lpRebootMsg) + L" " +
                                Text(actions.lpCommand) + L" " + std::to_wstring(actions.cActions);
            for (DWORD i = 0; i < actions.cActions; ++i)
            {
                text += L" " + std::to_wstring(actions.lpsaActions[i].Type) + L":" +
                        std::to_wstring(actions.lpsaActions[i].Delay);
            }
            return text;
        }
        case SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO:
            return List(static_cast<const SERVICE_REQUIRED_PRIVILEGES_INFOW *>(info)->pmszRequiredPrivileges);
        default:
            // The other items are one 32-bit value each.
            return std::to_wstring(*static_cast<const DWORD *>(info));
        }
    }

    CorvaneTools::Service::CServiceControlManagerPlatform m_platform;
};

} // namespace FrameworkTestSupport
