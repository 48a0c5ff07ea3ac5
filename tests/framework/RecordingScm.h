#pragma once

#include "framework/ICommunicateWithSCM.h"
#include "framework/IService.h"
#include "framework/RequiresElevationException.h"
#include "win32/errors/Win32Exception.h"

#include <cwchar>
#include <functional>
#include <string>
#include <vector>

namespace FrameworkTestSupport {

// Records what the service manager asks of the platform instead of doing it: installs,
// removals, dispatches, message boxes and elevation requests. The answers are switchable.
// Not locked: tests order the threads that call it.
class CRecordingScm : public CorvaneTools::Service::ICommunicateWithSCM
{
public:
    struct Box
    {
        std::wstring text;
        std::wstring title;
    };

    struct Installed
    {
        std::wstring name;
        DWORD type;
        std::wstring commandLine;
    };

    static const wchar_t *ExecutablePath()
    {
        return L"C:\\Tessaly\\Tessaly.exe";
    }

    // The arguments after the program's own path.
    explicit CRecordingScm(const std::vector<std::wstring> &arguments = {})
    {
        m_arguments.push_back(ExecutablePath());
        m_arguments.insert(m_arguments.end(), arguments.begin(), arguments.end());
        for (auto &argument : m_arguments)
        {
            m_argv.push_back(&argument[0]);
        }
        m_argv.push_back(nullptr);
    }

    CRecordingScm(const CRecordingScm &) = delete;
    CRecordingScm &operator=(const CRecordingScm &) = delete;

    SERVICE_STATUS_HANDLE RegisterControlHandler(const std::wstring &serviceName, LPHANDLER_FUNCTION_EX handler,
                                                 void *context) override
    {
        m_registered.push_back(serviceName);
        m_handler = handler;
        m_context = context;
        if (m_registrationError != 0)
        {
            throw CorvaneTools::Win32::CWin32Exception(L"CServiceControlManagerInterface::RegisterControlHandler()",
                                                       m_registrationError);
        }
        return m_debugMode ? nullptr : reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<ULONG_PTR>(0x5EED));
    }

    SERVICE_STATUS_HANDLE RegisterControlHandler(const std::wstring &serviceName, LPHANDLER_FUNCTION) override
    {
        m_registered.push_back(serviceName);
        return nullptr;
    }

    // Every report is recorded, also one that then fails.
    void SetStatus(SERVICE_STATUS_HANDLE, const SERVICE_STATUS &status) override
    {
        m_statuses.push_back(status);
        if (m_reportError != 0)
        {
            throw CorvaneTools::Win32::CWin32Exception(L"CServiceControlManagerInterface::SetStatus()", m_reportError);
        }
    }

    bool IsDebugMode() const override
    {
        return m_debugMode;
    }

    void SetDebugMode(const std::wstring &, const std::wstring &) override
    {
        m_debugMode = true;
    }

    bool GetDisplayMessages() const override
    {
        return m_displayMessages;
    }

    void SetDisplayMessages(bool display) override
    {
        m_displayMessages = display;
    }

    int GetCommandLineArgs(wchar_t **&argv) override
    {
        argv = m_argv.data();
        return static_cast<int>(m_arguments.size());
    }

    std::wstring GetExecutableName() const override
    {
        return L"Tessaly.exe";
    }

    std::wstring GetExecutablePath() const override
    {
        return ExecutablePath();
    }

    // Every box is composed; only those with messages on are shown.
    void MessageBox(const std::wstring &text, const std::wstring &title) override
    {
        m_composed.push_back({text, title});
        if (m_displayMessages)
        {
            m_shown.push_back({text, title});
        }
    }

    void InstallService(const std::wstring &serviceName, DWORD serviceType,
                        const CorvaneTools::Service::ServiceConfiguration &,
                        const std::wstring &commandLine) override
    {
        RefuseWhenDenied(L"CService::InstallService() - OpenSCManager");
        m_installed.push_back({serviceName, serviceType, commandLine});
    }

    void RemoveService(const std::wstring &serviceName) override
    {
        RefuseWhenDenied(L"CService::RemoveService() - OpenSCManager");
        m_removed.push_back(serviceName);
    }

    bool IsVistaOrLater() const override
    {
        return m_vistaOrLater;
    }

    int RunElevated(const std::wstring &title, const std::wstring &message, DWORD &error, DWORD &exitCode) override
    {
        m_elevationRequests.push_back({message, title});
        error = m_elevationError;
        exitCode = m_elevatedExitCode;
        return m_elevationOutcome;
    }

    DWORD StartDispatcher(const SERVICE_TABLE_ENTRYW *table) override
    {
        m_dispatched.clear();
        m_dispatchedNames.clear();
        for (const SERVICE_TABLE_ENTRYW *entry = table; entry->lpServiceName != nullptr; ++entry)
        {
            m_dispatched.push_back(*entry);
            m_dispatchedNames.push_back(entry->lpServiceName);
        }
        m_dispatchedInDebugMode = m_debugMode;
        ++m_dispatches;
        if (m_onDispatch)
        {
            m_onDispatch(m_dispatched);
        }
        return m_dispatchExitCode;
    }

    // As the real interface refuses: elevation from version 6 on, a plain error before.
    void RefuseWhenDenied(const wchar_t *where)
    {
        if (!m_accessDenied)
        {
            return;
        }
        if (m_vistaOrLater)
        {
            throw CorvaneTools::Service::CRequiresElevationException();
        }
        throw CorvaneTools::Win32::CWin32Exception(where, ERROR_ACCESS_DENIED);
    }

    bool m_displayMessages = true;
    bool m_debugMode = false;
    bool m_vistaOrLater = true;
    bool m_accessDenied = false;
    int m_elevationOutcome = 1;
    DWORD m_elevationError = ERROR_FILE_NOT_FOUND;
    DWORD m_elevatedExitCode = 0;
    DWORD m_dispatchExitCode = 0;
    DWORD m_registrationError = 0;
    DWORD m_reportError = 0;
    std::function<void(const std::vector<SERVICE_TABLE_ENTRYW> &)> m_onDispatch;

    std::vector<Box> m_composed;
    std::vector<Box> m_shown;
    std::vector<Box> m_elevationRequests;
    std::vector<Installed> m_installed;
    std::vector<std::wstring> m_removed;
    // The names point into the manager; their copies outlive it.
    std::vector<SERVICE_TABLE_ENTRYW> m_dispatched;
    std::vector<std::wstring> m_dispatchedNames;
    bool m_dispatchedInDebugMode = false;
    int m_dispatches = 0;
    std::vector<std::wstring> m_registered;
    LPHANDLER_FUNCTION_EX m_handler = nullptr;
    void *m_context = nullptr;
    std::vector<SERVICE_STATUS> m_statuses;

private:
    std::vector<std::wstring> m_arguments;
    std::vector<wchar_t *> m_argv;
};

// A service that knows "/poll n" and "/createLog" and records what reaches it.
class CFakeService : public CorvaneTools::Service::IService
{
public:
    typedef CorvaneTools::Service::RunAction RunAction;
    typedef CorvaneTools::Service::IReportServiceStatus IReportServiceStatus;
    typedef CorvaneTools::Service::IManageServiceNotifications IManageServiceNotifications;

    explicit CFakeService(const std::wstring &name = L"Tessaly Test Service") : m_name(name)
    {
    }

    std::wstring GetLogFilePath() const override
    {
        return std::wstring();
    }

    void SetInstanceName(const std::wstring &) override
    {
    }

    void SetDisplayMessages(bool display) override
    {
        m_displayMessages = display;
    }

    std::wstring GetServiceName() const override
    {
        return m_name;
    }

    CorvaneTools::Service::ServiceConfiguration &GetConfiguration() override
    {
        return m_configuration;
    }

    void OnServiceInstalled() override
    {
        ++m_installedCalls;
    }

    void OnServiceRemoved() override
    {
        ++m_removedCalls;
    }

    int ParseCommandLineArgument(wchar_t **argv, int argc, int index, std::wstring &message,
                                 DWORD &result) override
    {
        m_offered.push_back(argv[index]);
        if (::_wcsicmp(argv[index] + 1, L"createLog") == 0)
        {
            return 1;
        }
        if (::_wcsicmp(argv[index] + 1, L"poll") != 0)
        {
            return 0;
        }
        if (index + 1 >= argc)
        {
            message = L"/poll needs a value";
            result = 255;
            return 0;
        }
        m_poll = argv[index + 1];
        return m_pollCount;
    }

    std::wstring GetServiceSpecificUsage(const std::wstring &usage) const override
    {
        return usage + L"  /poll n\tPolls every n ms.\n";
    }

    bool ApproveRunAction(RunAction action, const std::wstring &, CorvaneTools::Service::IDisplayMessageBox &,
                          DWORD &) override
    {
        m_approved.push_back(action);
        if (m_onApprove)
        {
            m_onApprove();
        }
        return true;
    }

    void OnCommandLineError(const std::wstring &message) override
    {
        m_commandLineErrors.push_back(message);
    }

    bool InstallPerformanceCounters(std::wstring &reason) override
    {
        return m_counters ? m_counters(reason) : true;
    }

    bool RemovePerformanceCounters(std::wstring &reason) override
    {
        return m_counters ? m_counters(reason) : true;
    }

    bool RestartNeeded(std::wstring &note) const override
    {
        note = m_restartNote;
        return !note.empty();
    }

    void ServiceMain(IReportServiceStatus &status, IManageServiceNotifications &notifications, DWORD argc,
                     wchar_t **argv) override
    {
        if (m_main)
        {
            m_main(status, notifications, argc, argv);
        }
    }

    DWORD HandlerEx(IReportServiceStatus &status, DWORD control, DWORD, void *) override
    {
        m_handlerStatus = &status;
        m_controls.push_back(control);
        return NO_ERROR;
    }

    std::wstring m_name;
    CorvaneTools::Service::ServiceConfiguration m_configuration;
    int m_pollCount = 2;
    std::function<bool(std::wstring &)> m_counters;
    std::wstring m_restartNote;
    std::function<void()> m_onApprove;
    std::function<void(IReportServiceStatus &, IManageServiceNotifications &, DWORD, wchar_t **)> m_main;

    bool m_displayMessages = false;
    int m_installedCalls = 0;
    int m_removedCalls = 0;
    std::vector<std::wstring> m_offered;
    std::wstring m_poll;
    std::vector<RunAction> m_approved;
    std::vector<std::wstring> m_commandLineErrors;
    IReportServiceStatus *m_handlerStatus = nullptr;
    std::vector<DWORD> m_controls;
};

} // namespace FrameworkTestSupport
