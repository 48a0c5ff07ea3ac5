#pragma once

#include "framework/ICommunicateWithSCM.h"
#include "framework/IDispatchServicesInDebugMode.h"
#include "framework/IServiceControlManagerPlatform.h"
#include "win32/handles/UniqueOwners.h"

#include <atomic>
#include <string>
#include <vector>

namespace CorvaneTools {
namespace Service {

// The framework's only door to the service control manager and to the few other platform
// services it needs. In debug mode it makes no call to the service control manager and
// runs the service table through the debug dispatcher instead.
class CServiceControlManagerInterface : public ICommunicateWithSCM
{
public:
    // Logging mode 1 also writes every message-box text to the process's log. Without a
    // debug dispatcher, running in debug mode is refused.
    explicit CServiceControlManagerInterface(DWORD messageBoxLoggingMode);
    CServiceControlManagerInterface(DWORD messageBoxLoggingMode, IServiceControlManagerPlatform &platform,
                                    IDispatchServicesInDebugMode *debugDispatcher);
    ~CServiceControlManagerInterface() override;

    CServiceControlManagerInterface(const CServiceControlManagerInterface &) = delete;
    CServiceControlManagerInterface &operator=(const CServiceControlManagerInterface &) = delete;

    SERVICE_STATUS_HANDLE RegisterControlHandler(const std::wstring &serviceName, LPHANDLER_FUNCTION_EX handler,
                                                 void *context) override;
    SERVICE_STATUS_HANDLE RegisterControlHandler(const std::wstring &serviceName,
                                                 LPHANDLER_FUNCTION handler) override;
    void SetStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS &status) override;
    bool IsDebugMode() const override;

    void SetDebugMode(const std::wstring &runAction, const std::wstring &messagePrefix) override;
    bool GetDisplayMessages() const override;
    void SetDisplayMessages(bool display) override;
    int GetCommandLineArgs(wchar_t **&argv) override;
    std::wstring GetExecutableName() const override;
    std::wstring GetExecutablePath() const override;
    void MessageBox(const std::wstring &text, const std::wstring &title) override;
    void InstallService(const std::wstring &serviceName, DWORD serviceType,
                        const ServiceConfiguration &configuration, const std::wstring &commandLine) override;
    void RemoveService(const std::wstring &serviceName) override;
    bool IsVistaOrLater() const override;
    int RunElevated(const std::wstring &title, const std::wstring &message, DWORD &error, DWORD &exitCode) override;
    // Options whose value is a path ("logPath" for "/logPath path"): the elevated copy gets
    // them absolute, as it does not start in this one's working directory.
    void SetPathOptions(const std::vector<std::wstring> &options);
    DWORD StartDispatcher(const SERVICE_TABLE_ENTRYW *table) override;

private:
    void RecordExitCode(const SERVICE_STATUS &status);

    const DWORD m_messageBoxLoggingMode;
    bool m_displayMessages;
    bool m_debugMode;
    // Written once, by the first stop report that carries an error.
    std::atomic<DWORD> m_exitCode;
    Win32::TUniqueLocalMemory<wchar_t **> m_arguments;
    int m_argumentCount;
    IServiceControlManagerPlatform &m_platform;
    IDispatchServicesInDebugMode *m_debugDispatcher;
    std::vector<std::wstring> m_pathOptions;
};

} // namespace Service
} // namespace CorvaneTools
