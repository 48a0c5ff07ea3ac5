#include "installer/PackagePlan.h"

#include "service/ConfigurationNames.h"
#include "win32/errors/Exception.h"
#include "win32/process/CommandLine.h"


namespace CorvaneTools {
namespace Installer {

namespace {

const wchar_t *const Where = L"MakePackagePlan";

// The program reads far more than digits as a poll interval (blanks, a sign, text that
// reads as 0); a package property is a whole number of seconds or an error. The program
// still refuses what is too many for its milliseconds.
void CheckPoll(const std::wstring &poll)
{
    bool digits = !poll.empty() && poll.size() <= 7;
    for (const wchar_t c : poll)
    {
        digits = digits && c >= L'0' && c <= L'9';
    }
    if (!digits)
    {
        throw Win32::CException(Where, L"POLL must be a whole number of seconds, such as 2, not \"" + poll + L"\"");
    }
}

void CheckCreateLog(const std::wstring &createLog)
{
    if (!createLog.empty() && createLog != L"0" && createLog != L"1")
    {
        throw Win32::CException(Where, L"CREATELOG must be 1 (write a log) or 0, not \"" + createLog + L"\"");
    }
}

void CheckField(const wchar_t *what, const std::wstring &text)
{
    if (!CPlanSteps::IsField(text))
    {
        throw Win32::CException(Where, std::wstring(what) + L" must be one line of text");
    }
}

std::wstring Program(const std::wstring &program, const wchar_t *arguments)
{
    return Win32::QuoteCommandLineArgument(program) + L" /noMessages " + arguments;
}

// The values an upgrade carries over: all of Config but those the properties set anew.
std::vector<CRegistryValue> KeptValues(const CPackageState &state)
{
    std::vector<CRegistryValue> kept;
    for (const CRegistryValue &value : state.config)
    {
        const bool poll = _wcsicmp(value.name.c_str(), TessalyService::PollValueName) == 0;
        const bool log = _wcsicmp(value.name.c_str(), TessalyService::LogValueName) == 0 ||
                         _wcsicmp(value.name.c_str(), TessalyService::LogPathValueName) == 0;
        if ((poll && !state.poll.empty()) || (log && (!state.logPath.empty() || !state.createLog.empty())))
        {
            continue;
        }
        kept.push_back(value);
    }
    return kept;
}

CPlanSteps &WithValues(CPlanSteps &steps, const CPackageState &state, const std::vector<CRegistryValue> &values)
{
    for (const CRegistryValue &value : values)
    {
        steps.Value(state.serviceName, value);
    }
    return steps;
}

void PlanFirstInstall(const CPackageState &state, CPackagePlan &plan)
{
    plan.registerService = CPlanSteps().Run(InstallCommandLine(state.program, state)).Text();
    plan.registerServiceRollback =
        CPlanSteps().Stop(state.serviceName).Try(Program(state.program, L"/remove")).Text();
    plan.startService = CPlanSteps().Start(state.serviceName).Text();
}

// The newer program takes the older one's registration away and makes its own; should
// that fail, the older program makes its own again once its files are back.
void PlanUpgrade(const CPackageState &state, CPackagePlan &plan)
{
    PlanFirstInstall(state, plan);
    plan.registerService =
        CPlanSteps().Try(Program(state.program, L"/remove")).Run(InstallCommandLine(state.program, state)).Text();
    CPlanSteps start;
    WithValues(start, state, KeptValues(state));
    if (state.serviceActive)
    {
        start.Start(state.serviceName);
    }
    plan.startService = start.Text();
    if (!state.serviceExists)
    {
        return;
    }
    plan.stopService = CPlanSteps().Stop(state.serviceName).Text();
    if (state.serviceActive)
    {
        plan.stopServiceRollback = CPlanSteps().Start(state.serviceName).Text();
    }
    const std::wstring older = state.registeredProgram.empty() ? state.program : state.registeredProgram;
    CPlanSteps restore;
    restore.Try(Program(older, L"/remove")).Run(Program(older, L"/install"));
    plan.restoreRollback = WithValues(restore, state, state.config).Text();
}

void PlanRemoval(const CPackageState &state, CPackagePlan &plan)
{
    const std::wstring programFile = state.program.substr(state.program.find_last_of(L'\\') + 1);
    plan.cleanUp = CPlanSteps().CleanUp(state.folder, programFile).Text();
    if (!state.serviceExists)
    {
        return;
    }
    plan.stopService = CPlanSteps().Stop(state.serviceName).Text();
    if (state.serviceActive)
    {
        plan.stopServiceRollback = CPlanSteps().Start(state.serviceName).Text();
    }
    plan.unregisterService = CPlanSteps().Run(Program(state.program, L"/remove")).Text();
    CPlanSteps restore;
    restore.Run(Program(state.program, L"/install"));
    plan.unregisterServiceRollback = WithValues(restore, state, state.config).Text();
}

} // namespace

const CPlanAction PlanActions[9] = {
    {L"TessalyStopService", &CPackagePlan::stopService},
    {L"TessalyStopServiceRollback", &CPackagePlan::stopServiceRollback},
    {L"TessalyRestoreRollback", &CPackagePlan::restoreRollback},
    {L"TessalyRegister", &CPackagePlan::registerService},
    {L"TessalyRegisterRollback", &CPackagePlan::registerServiceRollback},
    {L"TessalyStartService", &CPackagePlan::startService},
    {L"TessalyUnregister", &CPackagePlan::unregisterService},
    {L"TessalyUnregisterRollback", &CPackagePlan::unregisterServiceRollback},
    {L"TessalyCleanUp", &CPackagePlan::cleanUp},
};

std::wstring InstallCommandLine(const std::wstring &program, const CPackageState &state)
{
    std::wstring commandLine = Program(program, L"/install");
    if (!state.poll.empty())
    {
        CheckPoll(state.poll);
        commandLine += L" /poll " + state.poll;
    }
    CheckCreateLog(state.createLog);
    // /logPath implies /createLog.
    if (!state.logPath.empty())
    {
        CheckField(L"LOGPATH", state.logPath);
        commandLine += L" /logPath " + Win32::QuoteCommandLineArgument(state.logPath);
    }
    else if (state.createLog == L"1")
    {
        commandLine += L" /createLog";
    }
    return commandLine;
}

CPackagePlan MakePackagePlan(const CPackageState &state)
{
    CheckField(L"The service name", state.serviceName);
    CheckField(L"The program's path", state.program);
    CPackagePlan plan;
    switch (state.run)
    {
    case CPackageState::FirstInstall:
        if (state.serviceExists)
        {
            throw Win32::CException(Where, L"The service \"" + state.serviceName +
                                               L"\" is already installed, but not by this package. Remove it "
                                               L"first with its program's /remove, then install the package.");
        }
        PlanFirstInstall(state, plan);
        break;
    case CPackageState::Upgrade:
        PlanUpgrade(state, plan);
        break;
    case CPackageState::Removal:
        CheckField(L"The program's folder", state.folder);
        PlanRemoval(state, plan);
        break;
    case CPackageState::RemovalByUpgrade:
    case CPackageState::Maintenance:
        break;
    }
    return plan;
}

} // namespace Installer
} // namespace CorvaneTools
