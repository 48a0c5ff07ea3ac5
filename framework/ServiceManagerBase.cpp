#include "framework/ServiceManagerBase.h"

#include "win32/errors/Exception.h"

#include <cwchar>

namespace CorvaneTools {
namespace Service {

using Win32::CException;

namespace {

bool IsSwitch(const wchar_t *argument)
{
    return argument[0] == L'-' || argument[0] == L'/';
}

bool IsSwitchNamed(const wchar_t *argument, const wchar_t *name)
{
    return ::_wcsicmp(argument + 1, name) == 0;
}

} // namespace

CServiceManagerBase::CServiceRecord::CServiceRecord(ICommunicateWithSCM &scm, IService &service, bool owned)
    : status(scm), service(&service), owned(owned), name(service.GetServiceName())
{
}

CServiceManagerBase::CServiceRecord::~CServiceRecord()
{
    if (owned)
    {
        delete service;
    }
}

CServiceManagerBase::CServiceManagerBase(ICommunicateWithSCM &scm, const std::wstring &title,
                                         const std::wstring &version, bool runAsProcessWithoutArguments)
    : m_scm(scm), m_runAction(None), m_title(title), m_version(version),
      m_runAsProcessWithoutArguments(runAsProcessWithoutArguments), m_hasPerformanceCounters(false),
      m_lastConsumedArgument(0), m_serviceArgumentsFollow(false)
{
}

CServiceManagerBase::~CServiceManagerBase()
{
    try
    {
        if (!m_activity.GetIdleEvent().Wait(10000))
        {
            ::OutputDebugStringW(L"~CServiceManagerBase - timeout waiting for services to terminate");
        }
        // The last activity marks the counter idle while it still holds the counter's lock;
        // taking the lock once waits for it to let go before the counter is destroyed.
        m_activity.GetCount();
    }
    catch (...)
    {
    }
    m_recordsByName.clear();
    m_records.clear();
}

DWORD CServiceManagerBase::DisplayMessage(const std::wstring &message)
{
    m_scm.MessageBox(message, m_title);
    return 0;
}

void CServiceManagerBase::AddService(IService &service)
{
    const std::wstring name = service.GetServiceName();
    if (m_recordsByName.count(name) != 0)
    {
        throw CException(L"CServiceManagerBase::AddService()",
                         L"Duplicate service: \"" + name + L"\" has already been added.");
    }
    m_records.push_back(std::make_unique<CServiceRecord>(m_scm, service, false));
    m_recordsByName[name] = m_records.back().get();
    if (service.GetConfiguration().hasPerformanceCounters)
    {
        m_hasPerformanceCounters = true;
    }
    service.SetDisplayMessages(m_scm.GetDisplayMessages());
}

void CServiceManagerBase::ProcessCommandLine()
{
    if (m_records.empty())
    {
        throw CException(L"CServiceManagerBase::ProcessCommandLine()",
                         L"No services have been registered. Services must be registered before calling "
                         L"ProcessCommandLine(). At least one service must be registered to call Run()");
    }
    // Every service stores its own options now; mistakes are shown later, by Run.
    DWORD result = 255;
    std::wstring message;
    ParseServiceSpecificCommandLine(result, message);
}

void CServiceManagerBase::ParseCommandLine()
{
    if (m_runAction != None)
    {
        throw CException(L"CServiceManagerBase::ParseCommandLine()", L"Command line has already been parsed");
    }
    wchar_t **argv = nullptr;
    const int argc = m_scm.GetCommandLineArgs(argv);
    if (argc < 2)
    {
        if (m_runAsProcessWithoutArguments)
        {
            m_runAction = RunAsProcess;
        }
        return;
    }
    ParseArguments(argc, argv);
    // "Interactive Services": services cannot directly interact with a user as of Windows
    // Vista. A box a service shows waits, unseen, after its stop was reported; its
    // messages go to the log only.
    if (m_runAction == RunAsService)
    {
        m_scm.SetDisplayMessages(false);
    }
}

void CServiceManagerBase::ParseArguments(int argc, wchar_t **argv)
{
    for (int i = 1; i < argc;)
    {
        const wchar_t *argument = argv[i];
        if (!IsSwitch(argument))
        {
            m_runAction = UnknownOption;
            m_lastOption = argument;
            return;
        }
        if (IsSwitchNamed(argument, L"help") || IsSwitchNamed(argument, L"?"))
        {
            m_runAction = m_runAction == None ? ShowUsage : TooManyOptions;
            ++i;
            continue;
        }
        // Only the first argument silences; later the switch is a service's option.
        if (i == 1 && IsSwitchNamed(argument, L"noMessages"))
        {
            m_lastConsumedArgument = 1;
            m_scm.SetDisplayMessages(false);
            ++i;
            continue;
        }
        m_lastConsumedArgument = i - 1;
        m_lastOption = argument;
        const RunAction action = ParseRunAction(argc, argv, i);
        if (m_runAction != None)
        {
            if (action == ServiceSpecificOption)
            {
                m_serviceArgumentsFollow = true;
            }
            else
            {
                m_runAction = TooManyOptions;
            }
            return;
        }
        m_runAction = action;
    }
}

bool CServiceManagerBase::ParseServiceSpecificCommandLine(DWORD &result, std::wstring &message)
{
    wchar_t **argv = nullptr;
    const int argc = m_scm.GetCommandLineArgs(argv);
    for (int i = m_lastConsumedArgument + 1; i < argc;)
    {
        if (!IsSwitch(argv[i]))
        {
            message = NotASwitchText(argv[i]);
            result = 255;
            return false;
        }
        const int consumed = ParseServiceSpecificCommandLineArgument(argv, argc, i, message, result);
        // A negative count would walk backwards for ever; it is as good as none.
        if (consumed <= 0)
        {
            if (message.empty())
            {
                message = UnknownOptionText(argv[i]);
            }
            if (result == 0)
            {
                result = 255;
            }
            return false;
        }
        i += consumed;
    }
    return true;
}

int CServiceManagerBase::ParseServiceSpecificCommandLineArgument(wchar_t **argv, int argc, int index,
                                                                std::wstring &message, DWORD &result)
{
    int consumed = 0;
    for (auto &record : m_records)
    {
        const int count = record->service->ParseCommandLineArgument(argv, argc, index, message, result);
        if (count == 0)
        {
            continue;
        }
        if (consumed != 0 && count != consumed)
        {
            throw CException(L"CServiceManagerBase::ParseServiceSpecificCommandLineArgument()",
                             L"Unexpected: one service consumed more command line arguments than another");
        }
        consumed = count;
    }
    return consumed;
}

void CServiceManagerBase::DisplayUsage(const std::wstring &messagePrefix, const std::wstring &extraMessage)
{
    if (!extraMessage.empty())
    {
        for (auto &record : m_records)
        {
            record->service->OnCommandLineError(extraMessage);
        }
    }
    std::wstring serviceUsage;
    for (auto &record : m_records)
    {
        serviceUsage = record->service->GetServiceSpecificUsage(serviceUsage);
    }
    DisplayMessage(messagePrefix + L"\n\n" + extraMessage + (extraMessage.empty() ? L"" : L"\n\n") + L"Usage: " +
                   m_scm.GetExecutableName() +
                   L"  Followed by the following command line options.\n  /help\t\tDisplay this list.\n"
                   L"  /noMessages\tMust be first. Do not display status messages.\n" +
                   GetRunActionUsage() + serviceUsage +
                   L"\nNote that only /noMessages can be combined with all other command line options.\n");
}

void CServiceManagerBase::DisplayUsage(const std::wstring &messagePrefix)
{
    DisplayUsage(messagePrefix, std::wstring());
}

std::wstring CServiceManagerBase::UnknownOptionText(const std::wstring &option)
{
    return L"Unknown command line option: \"" + option + L"\"";
}

std::wstring CServiceManagerBase::NotASwitchText(const std::wstring &argument)
{
    return UnknownOptionText(argument) + L"\r\nArguments and switches should start with a - or a /";
}

bool CServiceManagerBase::HasPerformanceCounters() const
{
    return m_hasPerformanceCounters;
}

ICommunicateWithSCM &CServiceManagerBase::GetSCM() const
{
    return m_scm;
}

DWORD CServiceManagerBase::GetServiceType() const
{
    return m_records.size() == 1 ? SERVICE_WIN32_OWN_PROCESS : SERVICE_WIN32_SHARE_PROCESS;
}

} // namespace Service
} // namespace CorvaneTools
