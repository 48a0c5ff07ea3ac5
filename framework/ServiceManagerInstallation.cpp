#include "framework/RequiresElevationException.h"
#include "framework/ServiceManagerBase.h"
#include "win32/crash/SEHException.h"
#include "win32/errors/Exception.h"
#include "win32/errors/Win32Exception.h"
#include "win32/log/DebugTrace.h"
#include "win32/process/CommandLine.h"
#include "win32/text/StringConverter.h"

#include <exception>

namespace CorvaneTools {
namespace Service {

using Win32::CException;

struct CServiceManagerBase::CCounterPass
{
    const wchar_t *nothingToDo;
    const wchar_t *presetReason;
    const wchar_t *done;
    const wchar_t *exceptionLead;
    const wchar_t *unexpectedException;
    bool (IService::*operation)(std::wstring &reason);
};

void CServiceManagerBase::InstallServices()
{
    // Quoted when it has blanks: unquoted, the platform would try "C:\Program.exe" first.
    const std::wstring commandLine = Win32::QuoteCommandLineArgument(m_scm.GetExecutablePath()) + L" /service";
    size_t installed = 0;
    try
    {
        for (auto &record : m_records)
        {
            m_scm.InstallService(record->name, GetServiceType(), record->service->GetConfiguration(), commandLine);
            ++installed;
            record->service->OnServiceInstalled();
        }
    }
    catch (...)
    {
        TakeBackServices(installed);
        throw;
    }
}

void CServiceManagerBase::TakeBackServices(size_t count) noexcept
{
    for (size_t index = 0; index < count && index < m_records.size(); ++index)
    {
        const std::wstring &name = m_records[index]->name;
        try
        {
            m_scm.RemoveService(name);
            Win32::CDebugTrace::Log(L"Service: \"" + name + L"\" installation taken back");
        }
        catch (...)
        {
            Win32::CDebugTrace::Log(L"Service: \"" + name + L"\" installation NOT taken back; run /remove");
        }
    }
}

void CServiceManagerBase::RemoveServices()
{
    for (auto &record : m_records)
    {
        m_scm.RemoveService(record->name);
        record->service->OnServiceRemoved();
    }
}

DWORD CServiceManagerBase::InstallAction(const std::wstring &messagePrefix)
{
    InstallServices();
    if (HasPerformanceCounters())
    {
        std::wstring counters;
        bool ok = false;
        try
        {
            ok = InstallPerformanceCounters(counters);
        }
        catch (...)
        {
            // Not even the rights to ask: nothing of this run may stay.
            TakeBackServices(m_records.size());
            throw;
        }
        if (!ok)
        {
            TakeBackServices(m_records.size());
            DisplayMessage(messagePrefix + L"\n\nService NOT installed: installing the performance counters "
                                           L"failed, and what was installed has been taken back.\n\n" +
                           counters);
            return ActionFailedExitCode;
        }
    }
    return Finish(messagePrefix + L"\n\nService installed");
}

DWORD CServiceManagerBase::RemoveAction(const std::wstring &messagePrefix)
{
    std::wstring message = messagePrefix + L"\n\nService removed";
    if (HasPerformanceCounters())
    {
        std::wstring counters;
        bool failed = false;
        if (!RemovePerformanceCounters(counters, &failed))
        {
            if (failed)
            {
                // The registration lives in the service's key: the service stays, so that
                // a later removal still finds it.
                DisplayMessage(messagePrefix + L"\n\nService NOT removed: removing the performance counters "
                                               L"failed.\n\n" +
                               counters);
                return ActionFailedExitCode;
            }
            message += L"\n\n" + counters;
        }
    }
    RemoveServices();
    return Finish(message);
}

DWORD CServiceManagerBase::Finish(const std::wstring &message)
{
    std::wstring notes;
    for (auto &record : m_records)
    {
        std::wstring note;
        if (record->service->RestartNeeded(note))
        {
            notes += L"\n\n" + note;
        }
    }
    DisplayMessage(message + notes);
    return notes.empty() ? 0 : RestartNeededExitCode;
}

bool CServiceManagerBase::InstallPerformanceCounters(std::wstring &text, bool *failed)
{
    static const CCounterPass pass = {
        L"No performance counters to install",
        L"Performance counters already installed",
        L"Performance counters installed",
        L"Exception whilst installing performance counters: ",
        L"Unexpected exception whilst installing performance counters",
        &IService::InstallPerformanceCounters,
    };
    return RunCounterPass(pass, text, failed);
}

bool CServiceManagerBase::RemovePerformanceCounters(std::wstring &text, bool *failed)
{
    static const CCounterPass pass = {
        L"No performance counters to remove",
        L"Performance counters are not installed",
        L"Performance counters removed",
        L"Exception whilst removing performance counters: ",
        L"Unexpected exception whilst removing performance counters",
        &IService::RemovePerformanceCounters,
    };
    return RunCounterPass(pass, text, failed);
}

bool CServiceManagerBase::RunCounterPass(const CCounterPass &pass, std::wstring &text, bool *failed)
{
    if (!m_hasPerformanceCounters)
    {
        text = pass.nothingToDo;
        return true;
    }
    bool ok = true;
    for (auto &record : m_records)
    {
        if (record != m_records.front())
        {
            text += L"\n";
        }
        text += record->name + L" - ";
        if (!record->service->GetConfiguration().hasPerformanceCounters)
        {
            text += pass.nothingToDo;
            continue;
        }
        if (!RunCounterPass(pass, *record, text, ok) && failed)
        {
            *failed = true;
        }
    }
    return ok;
}

bool CServiceManagerBase::RunCounterPass(const CCounterPass &pass, CServiceRecord &record, std::wstring &text,
                                         bool &ok)
{
    try
    {
        std::wstring reason = pass.presetReason;
        if ((record.service->*pass.operation)(reason))
        {
            text += pass.done;
            return true;
        }
        text += reason;
        ok = false;
        // The preset reason left as it was says there was nothing to do; any other is a
        // failure.
        return reason == pass.presetReason;
    }
    catch (const Win32::CWin32Exception &e)
    {
        // Only from version 6 on can the program ask for the rights it lacks.
        if (e.GetError() == ERROR_ACCESS_DENIED && m_scm.IsVistaOrLater())
        {
            throw CRequiresElevationException();
        }
        text += pass.exceptionLead + e.GetWhere() + L" - " + e.GetMessage();
    }
    catch (const CException &e)
    {
        text += pass.exceptionLead + e.GetWhere() + L" - " + e.GetMessage();
    }
    catch (const Win32::CSEHException &e)
    {
        text += pass.exceptionLead + e.GetWhere() + L" - " + e.GetMessage();
    }
    catch (const std::exception &e)
    {
        text += pass.exceptionLead + Win32::CStringConverter::AtoW(e.what());
    }
    catch (...)
    {
        text += pass.unexpectedException;
    }
    ok = false;
    return false;
}

} // namespace Service
} // namespace CorvaneTools
