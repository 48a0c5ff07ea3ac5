#include "tests/installer/InstallerScriptModel.h"

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <functional>
#include <stdexcept>

using namespace CorvaneTools::Installer;

namespace InstallerModel {

namespace {

const int ScriptStart = 1500;  // InstallInitialize
const int ScriptEnd = 6600;    // InstallFinalize

std::wstring Field(MSIHANDLE record, UINT field)
{
    wchar_t text[256] = L"";
    DWORD size = ARRAYSIZE(text);
    ::MsiRecordGetStringW(record, field, text, &size);
    return text;
}

CScriptEntry::Kind KindOf(MSIHANDLE database, const std::wstring &action)
{
    MSIHANDLE view = 0, record = 0;
    const std::wstring query = L"SELECT `Type` FROM `CustomAction` WHERE `Action` = '" + action + L"'";
    ::MsiDatabaseOpenViewW(database, query.c_str(), &view);
    ::MsiViewExecute(view, 0);
    CScriptEntry::Kind kind = CScriptEntry::Standard;
    if (::MsiViewFetch(view, &record) == ERROR_SUCCESS)
    {
        const int type = ::MsiRecordGetInteger(record, 1);
        // "Custom Action In-Script Execution Options": 0x400 in the script, with 0x100
        // rollback or 0x200 commit.
        kind = (type & 0x400) == 0 ? CScriptEntry::Other
               : (type & 0x100)    ? CScriptEntry::Rollback
               : (type & 0x200)    ? CScriptEntry::Commit
                                   : CScriptEntry::Deferred;
        ::MsiCloseHandle(record);
    }
    ::MsiCloseHandle(view);
    return kind;
}

struct CFailed : std::runtime_error
{
    CFailed() : std::runtime_error("failed")
    {
    }
};

// The program the command line runs is the file at the program's path.
void RunProgram(const std::wstring &commandLine, const std::wstring &newVersion, CFailure failure, CMachine &m)
{
    if (m.program.empty())
    {
        throw CFailed();  // CreateProcess: file not found
    }
    if (commandLine.find(L" /remove") != std::wstring::npos)
    {
        if (!m.registered || m.running)
        {
            throw CFailed();
        }
        m.registered = false;
        m.registeredBy.clear();
        m.config.clear();
        return;
    }
    // A failed /install has taken back what it did.
    if (m.registered || (failure == CFailure::NewInstall && m.program == newVersion))
    {
        throw CFailed();
    }
    m.registered = true;
    m.registeredBy = m.program;
    const size_t poll = commandLine.find(L" /poll ");
    const DWORD ms = poll == std::wstring::npos ? 1000 : 1000 * std::stoul(commandLine.substr(poll + 7));
    const bool log = commandLine.find(L" /createLog") != std::wstring::npos ||
                     commandLine.find(L" /logPath ") != std::wstring::npos;
    m.config = {{L"Poll", DwordBytes(ms)}, {L"Log", DwordBytes(log ? 1 : 0)}};
}

void Carry(const CPlanStep &step, const std::wstring &newVersion, CFailure failure, CMachine &m)
{
    switch (step.verb)
    {
    case CPlanStep::Stop:
        m.running = false;
        break;
    case CPlanStep::Start:
        if (!m.registered || m.program != m.registeredBy || (failure == CFailure::Start && m.program == newVersion))
        {
            throw CFailed();
        }
        m.running = true;
        break;
    case CPlanStep::Run:
        RunProgram(step.text, newVersion, failure, m);
        break;
    case CPlanStep::Try:
        try
        {
            RunProgram(step.text, newVersion, failure, m);
        }
        catch (const CFailed &)
        {
        }
        break;
    case CPlanStep::Value:
        if (!m.registered)
        {
            throw CFailed();  // no service key to write under
        }
        m.config[step.value.name] = step.value.data;
        break;
    case CPlanStep::CleanUp:
        m.cleanedUp = true;
        break;
    }
}

void Carry(const std::wstring &data, bool keepGoing, const std::wstring &newVersion, CFailure failure, CMachine &m)
{
    for (const CPlanStep &step : CPlanSteps::Parse(data))
    {
        try
        {
            Carry(step, newVersion, failure, m);
        }
        catch (const CFailed &)
        {
            if (!keepGoing)
            {
                throw;
            }
        }
    }
}

const std::wstring *DataOf(const CPackagePlan &plan, const std::wstring &action)
{
    for (const CPlanAction &known : PlanActions)
    {
        if (action == known.name)
        {
            return &(plan.*known.data);
        }
    }
    return nullptr;
}

} // namespace

std::vector<CScriptEntry> ReadScript(const std::wstring &package)
{
    std::vector<CScriptEntry> script;
    MSIHANDLE database = 0, view = 0, record = 0;
    if (::MsiOpenDatabaseW(package.c_str(), MSIDBOPEN_READONLY, &database) != ERROR_SUCCESS)
    {
        return script;
    }
    ::MsiDatabaseOpenViewW(database, L"SELECT `Action`, `Sequence` FROM `InstallExecuteSequence` ORDER BY `Sequence`",
                           &view);
    ::MsiViewExecute(view, 0);
    while (::MsiViewFetch(view, &record) == ERROR_SUCCESS)
    {
        const int sequence = ::MsiRecordGetInteger(record, 2);
        const std::wstring action = Field(record, 1);
        ::MsiCloseHandle(record);
        if (sequence > ScriptStart && sequence < ScriptEnd)
        {
            script.push_back({action, KindOf(database, action)});
        }
    }
    ::MsiCloseHandle(view);
    ::MsiCloseHandle(database);
    return script;
}

bool RunScript(const std::vector<CScriptEntry> &script, const CPackagePlan &plan, CPackageState::Run run,
               const std::wstring &newVersion, CFailure failure, CMachine &machine)
{
    std::vector<std::function<void()>> rollback, commit;
    const bool installing = run == CPackageState::FirstInstall || run == CPackageState::Upgrade;
    try
    {
        for (const CScriptEntry &entry : script)
        {
            const bool files = (entry.action == L"InstallFiles" && installing) ||
                               (entry.action == L"RemoveFiles" && run == CPackageState::Removal);
            if (entry.kind == CScriptEntry::Standard && files)
            {
                if ((failure == CFailure::InstallFiles && entry.action == L"InstallFiles") ||
                    (failure == CFailure::RemoveFiles && entry.action == L"RemoveFiles"))
                {
                    throw CFailed();
                }
                const std::wstring saved = machine.program;
                rollback.push_back([&machine, saved] { machine.program = saved; });
                machine.program = entry.action == L"InstallFiles" ? newVersion : L"";
                continue;
            }
            const std::wstring *data = DataOf(plan, entry.action);
            if (data == nullptr || data->empty())
            {
                continue;
            }
            const std::wstring steps = *data;
            if (entry.kind == CScriptEntry::Deferred)
            {
                Carry(steps, false, newVersion, failure, machine);
            }
            else if (entry.kind == CScriptEntry::Rollback)
            {
                rollback.push_back([=, &machine] { Carry(steps, true, newVersion, failure, machine); });
            }
            else if (entry.kind == CScriptEntry::Commit)
            {
                commit.push_back([=, &machine] { Carry(steps, true, newVersion, failure, machine); });
            }
        }
    }
    catch (const CFailed &)
    {
        for (auto undo = rollback.rbegin(); undo != rollback.rend(); ++undo)
        {
            (*undo)();
        }
        return false;
    }
    for (const auto &action : commit)
    {
        action();
    }
    return true;
}

} // namespace InstallerModel
