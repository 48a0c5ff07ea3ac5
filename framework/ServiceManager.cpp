#include "framework/ServiceManager.h"

#include "win32/errors/Exception.h"
#include "win32/text/ToString.h"

#include <cwchar>

namespace CorvaneTools {
namespace Service {

CServiceManager::CServiceManager(ICommunicateWithSCM &scm, const std::wstring &title, const std::wstring &version,
                                 bool runAsProcessWithoutArguments)
    : CServiceManagerBase(scm, title, version, runAsProcessWithoutArguments)
{
    ParseCommandLine();
}

CServiceManager::~CServiceManager() = default;

RunAction CServiceManager::ParseRunAction(int argc, wchar_t **argv, int &index)
{
    struct Switch
    {
        const wchar_t *name;
        RunAction action;
    };
    static const Switch switches[] = {
        {L"install", Install},      {L"remove", Remove},           {L"run", RunAsProcess},
        {L"debug", RunAsProcess},   {L"service", RunAsService},
    };
    if (index >= argc || argv[index][0] == L'\0')
    {
        return ServiceSpecificOption;
    }
    for (const Switch &candidate : switches)
    {
        if (::_wcsicmp(argv[index] + 1, candidate.name) == 0)
        {
            ++index;
            return candidate.action;
        }
    }
    return ServiceSpecificOption;
}

DWORD CServiceManager::ExecuteRunAction(RunAction action, const std::wstring &messagePrefix)
{
    switch (action)
    {
    case Install:
        return InstallAction(messagePrefix);
    case Remove:
        return RemoveAction(messagePrefix);
    case RunAsProcess:
        GetSCM().SetDebugMode(Win32::ToString(static_cast<long>(action)), messagePrefix);
        StartServices();
        return 0;
    case RunAsService: {
        const DWORD code = StartServices();
        if (code != 0)
        {
            DisplayMessage(messagePrefix + L"Failed to start service\nError code: " + Win32::ToString(code));
        }
        return code;
    }
    default:
        throw Win32::CException(L"CServiceManager::ExecuteRunAction()",
                                L"Unexpected run action:" + Win32::ToString(static_cast<long>(action)));
    }
}

std::wstring CServiceManager::GetRunActionUsage() const
{
    static const std::wstring usage =
        L"  /install\t\tInstalls the service in the SCM's database.\n"
        L"  /remove\tRemoves the service from the SCM's database.\n"
        L"  /run   \t\tRuns the service as a normal process for debugging.\n";
    return usage;
}

} // namespace Service
} // namespace CorvaneTools
