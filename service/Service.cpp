#include "service/Service.h"

#include "perfmon/PerformanceCounterInstaller.h"

#include "counters/TcpCounterSchema.h"
#include "service/CounterDeployment.h"
#include "win32/crash/SEHException.h"
#include "win32/errors/Exception.h"
#include "win32/log/DebugTrace.h"
#include "win32/security/ObjectSecurity.h"
#include "win32/security/ProcessToken.h"
#include "win32/security/UntrustedObjectException.h"
#include "win32/system/SystemDirectories.h"
#include "win32/text/StringConverter.h"
#include "win32/text/ToString.h"

namespace CorvaneTools {
namespace TessalyService {

using Counters::TcpCounterSetName;
using CorvaneTools::Service::IManageServiceNotifications;
using CorvaneTools::Service::IReportServiceStatus;
using CorvaneTools::Service::IShutdownService;
using CorvaneTools::Win32::CDebugTrace;
using CorvaneTools::Win32::ToString;

namespace {

// The framework's default for every exception a callback lets out.
const DWORD DefaultExceptionCode = 5;
const DWORD StartProgressHintMs = 1000;
const DWORD ShutdownProgressHintMs = 10000;
const DWORD NotAnAdministratorExitCode = 2;
// One of the block's names is held by an object someone else made or could change.
const DWORD UntrustedObjectExitCode = 14;

std::wstring Quoted(const std::wstring &name)
{
    return L"Service: \"" + name + L"\"";
}

} // namespace

CService::CService() : CService(m_platformTables)
{
}

CService::CService(ITcpTables &tables)
    : CorvaneTools::Service::CService(*this, TcpCounterSetName, TcpCounterSetName), m_shutdownService(nullptr),
      m_running(false), m_options(TcpCounterSetName), m_tables(tables), m_statistics(m_tables),
      m_pollingThread(m_statistics)
{
    GetConfiguration().hasPerformanceCounters = true;
}

// The thread must be gone before the counters and the statistics it writes.
CService::~CService()
{
    try
    {
        m_pollingThread.StopWithin(CPollingThread::StopTimeoutMs);
    }
    catch (...)
    {
    }
}

std::wstring CService::GetLogFilePath() const
{
    return m_options.GetLogFilePath();
}

void CService::OnServiceInstalled()
{
    m_options.SaveConfiguration();
    CDebugTrace::Log(Quoted(GetServiceName()) + L" installed");
}

void CService::OnServiceRemoved()
{
    CDebugTrace::Log(Quoted(GetServiceName()) + L" removed");
}

int CService::ParseCommandLineArgument(wchar_t **argv, int argc, int index, std::wstring &message, DWORD &result)
{
    return m_options.ParseCommandLineArgument(argv, argc, index, message, result);
}

std::wstring CService::GetServiceSpecificUsage(const std::wstring &usage) const
{
    return m_options.GetServiceSpecificUsage(usage);
}

bool CService::ApproveRunAction(CorvaneTools::Service::RunAction action, const std::wstring &messagePrefix,
                                CorvaneTools::Service::IDisplayMessageBox &manager, DWORD &result)
{
    std::wstring message;
    m_deletedAtRestart.clear();
    if (action == CorvaneTools::Service::Install &&
        CorvaneTools::PerfMon::CPerformanceCounterInstaller().IsInstalled(TcpCounterSetName))
    {
        // Installing the service over them would tie a registration this run did not make
        // to a service it would take back on failure.
        manager.DisplayMessage(messagePrefix + L"\n\nService NOT installed: performance counters are already "
                                               L"installed. Run /remove first.");
        result = CorvaneTools::Service::ActionFailedExitCode;
        return false;
    }
    if (action == CorvaneTools::Service::Remove && !PerformanceCountersCanBeRemoved(message))
    {
        manager.DisplayMessage(messagePrefix + L"\n\nService NOT removed\n\n" + message);
        result = ERROR_SHARING_VIOLATION;
        return false;
    }
    return CorvaneTools::Service::CService::ApproveRunAction(action, messagePrefix, manager, result);
}

bool CService::InstallPerformanceCounters(std::wstring &message)
{
    return TessalyService::InstallPerformanceCounters(message, &m_deletedAtRestart);
}

bool CService::RemovePerformanceCounters(std::wstring &message)
{
    return TessalyService::RemovePerformanceCounters(message, &m_deletedAtRestart);
}

bool CService::RestartNeeded(std::wstring &note) const
{
    if (m_deletedAtRestart.empty())
    {
        return false;
    }
    note = RestartNote(m_deletedAtRestart);
    return true;
}

DWORD CService::OnServiceStart(IShutdownService &shutdown, IReportServiceStatus &status,
                               IManageServiceNotifications &, DWORD argc, wchar_t **argv)
{
    m_shutdownService = &shutdown;
    const std::wstring name = GetServiceName();
    CDebugTrace::Log(Quoted(name) + L" initialising");
    CDebugTrace::Log(L"Current directory = " + CorvaneTools::Win32::GetCurrentDirectory());
    CDebugTrace::Log(L"Argument count: " + ToString(static_cast<unsigned long>(argc)));
    for (DWORD i = 0; i < argc; ++i)
    {
        CDebugTrace::Log(L"Argument: " + ToString(static_cast<unsigned long>(i)) + L" \"" + argv[i] + L"\"");
    }
    status.NotifyProgress(StartProgressHintMs);

    const bool isAdministrator = IsUserAnAdministrator();
    if (!isAdministrator)
    {
        CDebugTrace::Log(L"Performance counters NOT enabled, user is not an admin");
        if (!m_options.ReadCreateLog())
        {
            return NotAnAdministratorExitCode;
        }
    }
    if (!m_platformTables.IsLibraryLoaded())
    {
        CDebugTrace::Log(L"Failed to load iphlpapiDLL");
    }
    const DWORD pollIntervalMs = m_options.ReadPollInterval();
    // The log was opened after the options were read; what they passed over is said now.
    for (const std::wstring &ignored : m_options.TakeIgnoredSettings())
    {
        CDebugTrace::Log(ignored);
    }
    CDebugTrace::Log(L"Will poll for TCP Stats every " + ToString(static_cast<unsigned long>(pollIntervalMs)) +
                     L"ms");

    CorvaneTools::Win32::CObjectSecurity attributes(CorvaneTools::Win32::ObjectProtection::PublishedSection);
    m_counters.reset(new CPerformanceCounters(isAdministrator, attributes));
    // Without this line a damaged registration looks like a healthy service that counts.
    if (isAdministrator && !m_counters->IsPublishing())
    {
        CDebugTrace::Log(L"Performance counters NOT enabled, the counters are not installed");
    }
    m_statistics.SetCounters(m_counters.get());

    status.NotifyProgress(StartProgressHintMs);
    m_pollingThread.SetPollInterval(pollIntervalMs);
    m_pollingThread.Start(shutdown);
    CDebugTrace::Log(L"Polling thread started...");
    CDebugTrace::Log(Quoted(name) + L" running");
    return 0;
}

void CService::OnServiceContinue(IReportServiceStatus &)
{
    if (!m_running)
    {
        CDebugTrace::Log(L"Service is running...");
        m_statistics.CheckMaxUserPortValue();
        m_statistics.CheckTcpTimedWaitDelayValue();
        m_running = true;
        m_pollingThread.Continue();
    }
}

void CService::OnServicePause(IReportServiceStatus &)
{
    if (m_running)
    {
        CDebugTrace::Log(L"Service is paused...");
        m_running = false;
        m_pollingThread.Pause();
    }
}

// A stop while paused is completed by the shutdown that follows.
void CService::OnServiceStop(IReportServiceStatus &, DWORD)
{
    if (m_running)
    {
        CDebugTrace::Log(L"Service is stopping...");
        m_running = false;
        m_pollingThread.Stop();
    }
}

DWORD CService::OnServiceShutdown(IReportServiceStatus &status)
{
    const std::wstring name = GetServiceName();
    CDebugTrace::Log(Quoted(name) + L" shutting down");
    m_pollingThread.Stop();
    status.NotifyProgress(ShutdownProgressHintMs);
    switch (m_pollingThread.StopWithin(CPollingThread::StopTimeoutMs))
    {
    case CPollingThread::StopResult::Stopped:
        CDebugTrace::Log(L"Polling thread shutdown...");
        break;
    case CPollingThread::StopResult::Terminated:
        CDebugTrace::Log(L"Polling thread failed to shutdown...");
        break;
    case CPollingThread::StopResult::NotRunning:
        CDebugTrace::Log(L"Polling thread not running...");
        break;
    }
    CDebugTrace::Log(L"Deleting objects...");
    m_statistics.SetCounters(nullptr);
    m_counters.reset();
    CDebugTrace::Log(Quoted(name) + L" shut down");
    return 0;
}

DWORD CService::OnException()
{
    CDebugTrace::Log(L"CService::OnException() - Unexpected Exception");
    return DefaultExceptionCode;
}

DWORD CService::OnException(const std::exception &e)
{
    CDebugTrace::Log(L"CService::OnException() - Exception: " + CorvaneTools::Win32::CStringConverter::AtoW(e.what()));
    return DefaultExceptionCode;
}

DWORD CService::OnException(const CorvaneTools::Win32::CSEHException &e)
{
    CDebugTrace::Log(L"CService::OnException() - Exception: " + e.GetWhere() + L" - " + e.GetMessage());
    return DefaultExceptionCode;
}

DWORD CService::OnException(const CorvaneTools::Win32::CException &e)
{
    CDebugTrace::Log(L"CService::OnException() - Exception: " + e.GetWhere() + L" - " + e.GetMessage());
    if (dynamic_cast<const CorvaneTools::Win32::CUntrustedObjectException *>(&e))
    {
        CDebugTrace::Log(L"Refusing to publish performance counters through an object another account could "
                         L"change; service-specific exit code " +
                         ToString(static_cast<unsigned long>(UntrustedObjectExitCode)));
        return UntrustedObjectExitCode;
    }
    return DefaultExceptionCode;
}

CServiceOptions &CService::GetOptions()
{
    return m_options;
}

bool CService::IsUserAnAdministrator() const
{
    return CorvaneTools::Win32::CProcessToken::IsUserAnAdmin();
}

} // namespace TessalyService
} // namespace CorvaneTools
