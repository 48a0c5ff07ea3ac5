#include "framework/RequiresElevationException.h"
#include "framework/ServiceManagerBase.h"

#include "win32/crash/SEHException.h"
#include "win32/crash/SEHTranslator.h"
#include "win32/errors/ErrorMessage.h"
#include "win32/errors/Exception.h"
#include "win32/log/DebugTrace.h"
#include "win32/text/StringConverter.h"

#include <atomic>
#include <exception>

namespace CorvaneTools {
namespace Service {

using Win32::CException;
using Win32::CSEHException;

namespace {

// The one manager of the process that the service control manager's calls reach; set
// only while its Run is on the stack.
std::atomic<CServiceManagerBase *> s_runningManager(nullptr);

const wchar_t s_entryExceptionText[] = L"CServiceManagerBase::ServiceMain - Exception";

// Becomes the running manager for a scope, or throws when another one already is.
class CRunningManagerScope
{
public:
    explicit CRunningManagerScope(CServiceManagerBase &manager)
    {
        CServiceManagerBase *expected = nullptr;
        if (!s_runningManager.compare_exchange_strong(expected, &manager))
        {
            throw CException(L"CServiceManagerBase::Run()",
                             L"Service manager already exists. Only one instance of a CServiceManagerBase class "
                             L"should be instantiated at any one time.");
        }
    }

    ~CRunningManagerScope()
    {
        s_runningManager = nullptr;
    }

    CRunningManagerScope(const CRunningManagerScope &) = delete;
    CRunningManagerScope &operator=(const CRunningManagerScope &) = delete;
};

// What the service control manager's threads have to say goes to the log when there is
// one, else to the debugger output: nobody could answer a box on those threads.
void Report(const std::wstring &line)
{
    if (Win32::CDebugTrace::IsWriting())
    {
        Win32::CDebugTrace::Log(line);
        return;
    }
    ::OutputDebugStringW((line + L"\r\n").c_str());
}

CServiceManagerBase *FindRunningManager()
{
    CServiceManagerBase *manager = s_runningManager;
    if (manager == nullptr)
    {
        Report(L"CServiceManagerBase::Run() - Service Manager does not exist!");
    }
    return manager;
}

// A service whose main routine failed still has to be reported stopped, or the platform's
// dispatcher waits for it for good. Without a status handle nothing is sent.
void ReportFailedStop(CServiceStatus &status)
{
    try
    {
        status.ServiceStoppedWithServiceSpecificError(ActionFailedExitCode);
    }
    catch (...)
    {
        Report(s_entryExceptionText);
    }
}

} // namespace

DWORD CServiceManagerBase::Run()
{
    if (m_records.empty())
    {
        throw CException(L"CServiceManagerBase::Run()",
                         L"No services have been registered. Services must be registered before calling Run(). "
                         L"At least one service must be registered to call Run()");
    }
    if (m_runAction == HasRun)
    {
        throw CException(L"CServiceManagerBase::Run()", L"Service has already been run...");
    }
    CRunningManagerScope running(*this);
    DWORD result = 255;
    Win32::CSEHTranslator translator(&CSEHException::Translate);
    const std::wstring prefix = m_title + L" - " + m_version;
    try
    {
        result = CarryOutAction(prefix);
    }
    catch (const CRequiresElevationException &)
    {
        result = HandleAccessDenied(prefix);
    }
    catch (const CException &e)
    {
        DisplayMessage(prefix + L"\n\nException: \n" + e.GetWhere() + L"\n" + e.GetMessage());
        result = ActionFailedExitCode;
    }
    catch (const CSEHException &e)
    {
        DisplayMessage(prefix + L"\n\nException: \n" + e.GetWhere() + L"\n" + e.GetMessage());
        result = ActionFailedExitCode;
    }
    catch (const std::exception &e)
    {
        DisplayMessage(prefix + L"\n\nException: \n" + Win32::CStringConverter::AtoW(e.what()));
        result = ActionFailedExitCode;
    }
    catch (...)
    {
        DisplayMessage(prefix + L"\n\nUnexpected exception");
        result = ActionFailedExitCode;
    }
    m_runAction = HasRun;
    return result;
}

DWORD CServiceManagerBase::CarryOutAction(const std::wstring &messagePrefix)
{
    DWORD result = 255;
    switch (m_runAction)
    {
    case TooManyOptions:
        DisplayUsage(messagePrefix, L"Too many command line options specified");
        break;
    case UnknownOption:
        DisplayUsage(messagePrefix, NotASwitchText(m_lastOption));
        break;
    case ServiceSpecificOption: {
        std::wstring message;
        if (!ParseServiceSpecificCommandLine(result, message))
        {
            DisplayUsage(messagePrefix, message);
        }
        break;
    }
    case ShowUsage:
        result = 0;
        DisplayUsage(messagePrefix);
        break;
    case None:
        DisplayUsage(messagePrefix);
        break;
    default:
        result = CarryOutRunAction(messagePrefix);
        break;
    }
    return result;
}

DWORD CServiceManagerBase::CarryOutRunAction(const std::wstring &messagePrefix)
{
    DWORD result = 255;
    if (m_serviceArgumentsFollow)
    {
        // Preset, so that an option no service knows is not reported as unknown.
        std::wstring message = L"Internal Error";
        if (!ParseServiceSpecificCommandLine(result, message))
        {
            DisplayUsage(messagePrefix, message);
            return result;
        }
    }
    for (auto &record : m_records)
    {
        if (!record->service->ApproveRunAction(m_runAction, messagePrefix, *this, result))
        {
            return result;
        }
    }
    result = ExecuteRunAction(m_runAction, messagePrefix);
    if (result == 255)
    {
        throw CException(L"CServiceManagerBase::Run()", L"Unexpected. Derived class didn't handle run action.");
    }
    return result;
}

DWORD CServiceManagerBase::HandleAccessDenied(const std::wstring &messagePrefix)
{
    if (!m_scm.GetDisplayMessages())
    {
        return 4;
    }
    DWORD error = 0;
    DWORD exitCode = 0;
    const int outcome =
        m_scm.RunElevated(m_title,
                          messagePrefix + L"\n\nAccess Denied.\nYou do not have the appropriate credentials to "
                                          L"perform the required action.\n\nSelect \"Retry\" to attempt this task "
                                          L"as an Administrator.",
                          error, exitCode);
    if (outcome == 0)
    {
        // The elevated copy did the work; its outcome is this run's.
        return exitCode;
    }
    if (outcome == 2)
    {
        DisplayMessage(messagePrefix + L"\n\nFailed to launch with elevated credentials: \n" +
                       Win32::GetLastErrorMessage(error, true));
        return 3;
    }
    return 4;
}

DWORD CServiceManagerBase::StartServices()
{
    std::vector<SERVICE_TABLE_ENTRYW> table;
    for (auto &record : m_records)
    {
        table.push_back({const_cast<wchar_t *>(record->name.c_str()), &CServiceManagerBase::ServiceMain});
    }
    table.push_back({nullptr, nullptr});
    return m_scm.StartDispatcher(table.data());
}

void WINAPI CServiceManagerBase::ServiceMain(DWORD argc, LPWSTR *argv)
{
    CServiceManagerBase *manager = FindRunningManager();
    if (manager != nullptr)
    {
        manager->RunServiceMain(argc, argv);
    }
}

void CServiceManagerBase::RunServiceMain(DWORD argc, LPWSTR *argv)
{
    if (argc == 0)
    {
        return;
    }
    // The platform may pass "name:instance"; the key is the part before the last colon.
    std::wstring key = argv[0];
    const size_t colon = key.rfind(L':');
    if (colon != std::wstring::npos)
    {
        key.resize(colon);
    }
    const auto found = m_recordsByName.find(key);
    if (found == m_recordsByName.end())
    {
        return;
    }
    CServiceRecord &record = *found->second;
    const ServiceConfiguration &configuration = record.service->GetConfiguration();
    Win32::CActivityCounter::CScopedActivity activity(m_activity);
    // Nothing may reach the platform's dispatcher thread: an exception there ends the process.
    try
    {
        record.status.Register(record.name,
                               GetServiceType() | (configuration.interactive ? SERVICE_INTERACTIVE_PROCESS : 0),
                               configuration.acceptedControls, &CServiceManagerBase::HandlerEx, &record);
    }
    catch (const CException &e)
    {
        Report(std::wstring(s_entryExceptionText) + L": " + e.GetWhere() + L" - " + e.GetMessage());
        ReportFailedStop(record.status);
        return;
    }
    catch (...)
    {
        Report(s_entryExceptionText);
        ReportFailedStop(record.status);
        return;
    }
    try
    {
        record.service->ServiceMain(record.status, record.status, argc, argv);
    }
    catch (...)
    {
        Report(s_entryExceptionText);
        ReportFailedStop(record.status);
    }
}

DWORD WINAPI CServiceManagerBase::HandlerEx(DWORD control, DWORD eventType, void *eventData, void *context)
{
    CServiceManagerBase *manager = FindRunningManager();
    if (manager == nullptr)
    {
        return 0;
    }
    Win32::CActivityCounter::CScopedActivity activity(manager->m_activity);
    try
    {
        CServiceRecord &record = *static_cast<CServiceRecord *>(context);
        return record.service->HandlerEx(record.status, control, eventType, eventData);
    }
    catch (...)
    {
        Report(s_entryExceptionText);
        return 0;
    }
}

} // namespace Service
} // namespace CorvaneTools
