#include "framework/ServiceControlManagerInterface.h"

#include "framework/DebugServiceDispatcher.h"
#include "framework/RunAction.h"
#include "framework/ServiceControlManagerPlatform.h"
#include "framework/ServiceInstaller.h"
#include "win32/errors/Win32Exception.h"
#include "win32/files/FileUtils.h"
#include "win32/handles/SmartHandle.h"
#include "win32/log/DebugTrace.h"
#include "win32/process/CommandLine.h"
#include "win32/system/ModuleInfo.h"
#include "win32/system/SystemDirectories.h"
#include "win32/text/ToString.h"

#include <shellapi.h>

namespace CorvaneTools {
namespace Service {

CServiceControlManagerInterface::CServiceControlManagerInterface(DWORD messageBoxLoggingMode)
    : CServiceControlManagerInterface(messageBoxLoggingMode, CServiceControlManagerPlatform::Instance(),
                                      &CDebugServiceDispatcher::Instance())
{
}

CServiceControlManagerInterface::CServiceControlManagerInterface(DWORD messageBoxLoggingMode,
                                                                 IServiceControlManagerPlatform &platform,
                                                                 IDispatchServicesInDebugMode *debugDispatcher)
    : m_messageBoxLoggingMode(messageBoxLoggingMode), m_displayMessages(true), m_debugMode(false), m_exitCode(0),
      m_arguments(), m_argumentCount(0), m_platform(platform), m_debugDispatcher(debugDispatcher)
{
}

CServiceControlManagerInterface::~CServiceControlManagerInterface() = default;

SERVICE_STATUS_HANDLE CServiceControlManagerInterface::RegisterControlHandler(const std::wstring &serviceName,
                                                                              LPHANDLER_FUNCTION_EX handler,
                                                                              void *context)
{
    if (m_debugMode)
    {
        return nullptr;
    }
    const SERVICE_STATUS_HANDLE handle = ::RegisterServiceCtrlHandlerExW(serviceName.c_str(), handler, context);
    if (!handle)
    {
        throw Win32::CWin32Exception(L"CServiceControlManagerInterface::RegisterControlHandler()", ::GetLastError());
    }
    return handle;
}

SERVICE_STATUS_HANDLE CServiceControlManagerInterface::RegisterControlHandler(const std::wstring &serviceName,
                                                                              LPHANDLER_FUNCTION handler)
{
    if (m_debugMode)
    {
        return nullptr;
    }
    const SERVICE_STATUS_HANDLE handle = ::RegisterServiceCtrlHandlerW(serviceName.c_str(), handler);
    if (!handle)
    {
        throw Win32::CWin32Exception(L"CServiceControlManagerInterface::RegisterControlHandler()", ::GetLastError());
    }
    return handle;
}

void CServiceControlManagerInterface::SetStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS &status)
{
    if (status.dwCurrentState == SERVICE_STOPPED)
    {
        RecordExitCode(status);
    }
    if (m_debugMode)
    {
        return;
    }
    SERVICE_STATUS sent = status;
    if (!::SetServiceStatus(handle, &sent))
    {
        throw Win32::CWin32Exception(L"CServiceControlManagerInterface::SetStatus()", ::GetLastError());
    }
}

void CServiceControlManagerInterface::RecordExitCode(const SERVICE_STATUS &status)
{
    DWORD code = 0;
    if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
    {
        code = status.dwServiceSpecificExitCode;
    }
    else if (status.dwWin32ExitCode != 0)
    {
        code = 5;
    }
    // Stop reports come from several threads; only the first error is kept.
    DWORD none = 0;
    if (code != 0)
    {
        m_exitCode.compare_exchange_strong(none, code);
    }
}

bool CServiceControlManagerInterface::IsDebugMode() const
{
    return m_debugMode;
}

void CServiceControlManagerInterface::SetDebugMode(const std::wstring &, const std::wstring &)
{
    m_debugMode = true;
}

bool CServiceControlManagerInterface::GetDisplayMessages() const
{
    return m_displayMessages;
}

void CServiceControlManagerInterface::SetDisplayMessages(bool display)
{
    m_displayMessages = display;
}

int CServiceControlManagerInterface::GetCommandLineArgs(wchar_t **&argv)
{
    if (!m_arguments.IsValid())
    {
        int count = 0;
        m_arguments.Reset(::CommandLineToArgvW(::GetCommandLineW(), &count));
        if (!m_arguments.IsValid())
        {
            throw Win32::CWin32Exception(L"CServiceControlManagerInterface::GetCommandLineArgs()", ::GetLastError());
        }
        m_argumentCount = count;
    }
    argv = m_arguments.Get();
    return m_argumentCount;
}

std::wstring CServiceControlManagerInterface::GetExecutableName() const
{
    return Win32::GetFileNamePart(GetExecutablePath());
}

std::wstring CServiceControlManagerInterface::GetExecutablePath() const
{
    return Win32::GetModuleFileName();
}

void CServiceControlManagerInterface::MessageBox(const std::wstring &text, const std::wstring &title)
{
    try
    {
        if (m_messageBoxLoggingMode == 1)
        {
            Win32::CDebugTrace::Log(L"MessageBox: " + text);
        }
        // On the caller's own desktop only: the service-notification style ("Interactive
        // Services") puts it where nobody may see it, and the process waits on it.
        if (m_displayMessages)
        {
            m_platform.MessageBoxW(text.c_str(), title.c_str(), MB_OK);
        }
    }
    catch (...)
    {
        // A message that cannot be shown must not end what was being reported.
    }
}

void CServiceControlManagerInterface::InstallService(const std::wstring &serviceName, DWORD serviceType,
                                                     const ServiceConfiguration &configuration,
                                                     const std::wstring &commandLine)
{
    CServiceInstaller(m_platform, *this).Install(serviceName, serviceType, configuration, commandLine);
}

void CServiceControlManagerInterface::RemoveService(const std::wstring &serviceName)
{
    CServiceInstaller(m_platform, *this).Remove(serviceName);
}

bool CServiceControlManagerInterface::IsVistaOrLater() const
{
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    return m_platform.GetVersionExW(version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT &&
           version.dwMajorVersion >= 6;
}

void CServiceControlManagerInterface::SetPathOptions(const std::vector<std::wstring> &options)
{
    m_pathOptions = options;
}

int CServiceControlManagerInterface::RunElevated(const std::wstring &title, const std::wstring &message,
                                                 DWORD &error, DWORD &exitCode)
{
    if (m_platform.MessageBoxW(message.c_str(), title.c_str(), MB_RETRYCANCEL) != IDRETRY)
    {
        return 1;
    }
    wchar_t **argv = nullptr;
    const int argc = GetCommandLineArgs(argv);
    const std::wstring parameters = Win32::ElevatedParameters(
        std::vector<std::wstring>(argv + (argc > 0 ? 1 : 0), argv + argc), Win32::GetCurrentDirectory(), m_pathOptions);
    // This very program, not whatever argv[0] names when the shell resolves it again.
    const std::wstring program = GetExecutablePath();
    const bool attached = ::AttachConsole(ATTACH_PARENT_PROCESS) != FALSE;
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    info.lpVerb = L"runas";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOW;
    const BOOL launched = m_platform.ShellExecuteExW(info);
    if (!launched)
    {
        error = ::GetLastError();
    }
    exitCode = 0;
    // "SHELLEXECUTEINFOW structure": hProcess may be null even when the launch succeeded.
    if (launched && info.hProcess)
    {
        const Win32::CSmartHandle process(info.hProcess);
        if (::WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0 || !::GetExitCodeProcess(process, &exitCode))
        {
            exitCode = ActionFailedExitCode;
        }
    }
    if (attached)
    {
        ::FreeConsole();
    }
    return launched ? 0 : 2;
}

DWORD CServiceControlManagerInterface::StartDispatcher(const SERVICE_TABLE_ENTRYW *table)
{
    if (m_debugMode)
    {
        if (!m_debugDispatcher)
        {
            throw Win32::CException(L"CServiceControlManagerInterface::StartDispatcher()",
                                    L"No debug dispatcher to run the services as a process");
        }
        m_debugDispatcher->DispatchServices(table);
    }
    else if (!m_platform.StartServiceCtrlDispatcherW(table))
    {
        throw Win32::CWin32Exception(L"Failed to start service", ::GetLastError());
    }
    return m_exitCode;
}

} // namespace Service
} // namespace CorvaneTools
