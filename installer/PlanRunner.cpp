#include "installer/PlanRunner.h"

#include "installer/InstalledService.h"
#include "service/ConfigurationNames.h"
#include "win32/errors/Win32Exception.h"
#include "win32/handles/UniqueOwners.h"

namespace CorvaneTools {
namespace Installer {

using Win32::CWin32Exception;

namespace {

const wchar_t *const VerbNames[] = {L"Stop", L"Start", L"Run", L"Try", L"Value", L"CleanUp"};

// The log and its one earlier generation, which the program's log rolls over to.
const wchar_t *const EarlierLogSuffix = L".1";

void DeleteFileIfThere(const std::wstring &path, const std::function<void(const std::wstring &)> &log)
{
    if (::DeleteFileW(path.c_str()))
    {
        log(L"Deleted " + path);
    }
    else if (::GetLastError() != ERROR_FILE_NOT_FOUND)
    {
        log(L"Could not delete " + path + L" (error " + std::to_wstring(::GetLastError()) + L")");
    }
}

} // namespace

CPlanRunner::CPlanRunner(std::function<void(const std::wstring &)> log) : m_log(std::move(log))
{
}

void CPlanRunner::Execute(const std::vector<CPlanStep> &steps, bool keepGoing)
{
    for (const CPlanStep &step : steps)
    {
        const std::wstring &what = step.verb == CPlanStep::Value ? step.value.name : step.text;
        m_log(std::wstring(VerbNames[step.verb]) + L": " + what);
        try
        {
            Execute(step);
        }
        catch (const Win32::CException &e)
        {
            if (!keepGoing)
            {
                throw;
            }
            m_log(L"Failed, going on: " + e.GetWhere() + L": " + e.GetMessage());
        }
    }
}

void CPlanRunner::Execute(const CPlanStep &step)
{
    switch (step.verb)
    {
    case CPlanStep::Stop:
        CInstalledService(step.text).Stop(ServiceTimeoutMs);
        break;
    case CPlanStep::Start:
        CInstalledService(step.text).Start(ServiceTimeoutMs);
        break;
    case CPlanStep::Run:
        RunProgram(step.text, true);
        break;
    case CPlanStep::Try:
        RunProgram(step.text, false);
        break;
    case CPlanStep::Value:
        CInstalledService(step.text).WriteValue(step.value);
        break;
    case CPlanStep::CleanUp:
        CleanUp(step.text, step.program);
        break;
    }
}

void CPlanRunner::RunProgram(const std::wstring &commandLine, bool mustSucceed)
{
    std::wstring writable = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION information = {};
    if (!::CreateProcessW(nullptr, &writable[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, &information))
    {
        throw CWin32Exception(L"CPlanRunner::RunProgram - CreateProcess", ::GetLastError());
    }
    const Win32::CUniqueHandle process(information.hProcess);
    const Win32::CUniqueHandle thread(information.hThread);
    if (::WaitForSingleObject(process.Get(), ProgramTimeoutMs) != WAIT_OBJECT_0)
    {
        ::TerminateProcess(process.Get(), ERROR_TIMEOUT);
        throw CWin32Exception(L"CPlanRunner::RunProgram", L"the program did not end within " +
                                                              std::to_wstring(ProgramTimeoutMs / 1000) + L" s");
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process.Get(), &code);
    m_log(L"Exit code " + std::to_wstring(code));
    if (code == ERROR_SUCCESS_REBOOT_REQUIRED)
    {
        m_restartNeeded = true;
    }
    else if (code != 0 && mustSucceed)
    {
        throw CWin32Exception(L"CPlanRunner::RunProgram", L"the program ended with exit code " + std::to_wstring(code) +
                                                              L": " + commandLine);
    }
}

// Only what the program itself writes beside itself: its log, the log's earlier
// generation and its crash dumps, which are named after the program's file.
void CPlanRunner::CleanUp(const std::wstring &folder, const std::wstring &program)
{
    std::wstring directory = folder;
    while (!directory.empty() && directory.back() == L'\\')
    {
        directory.pop_back();
    }
    const std::wstring log = directory + L"\\" + TessalyService::LogFileName;
    DeleteFileIfThere(log, m_log);
    DeleteFileIfThere(log + EarlierLogSuffix, m_log);
    WIN32_FIND_DATAW found = {};
    const Win32::CUniqueFindHandle search(::FindFirstFileW((directory + L"\\" + program + L"*.dmp").c_str(), &found));
    for (bool more = search.IsValid(); more; more = ::FindNextFileW(search.Get(), &found) != FALSE)
    {
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0)
        {
            DeleteFileIfThere(directory + L"\\" + found.cFileName, m_log);
        }
    }
    if (::RemoveDirectoryW(directory.c_str()))
    {
        m_log(L"Removed " + directory);
    }
}

} // namespace Installer
} // namespace CorvaneTools
