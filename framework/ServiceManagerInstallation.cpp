#include "framework/RequiresElevationException.h"
#include "framework/ServiceManagerBase.h"
#include "win32/CommandLine.h"
#include "win32/Exception.h"
#include "win32/SEHException.h"
#include "win32/StringConverter.h"
#include "win32/Win32Exception.h"

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
    for (auto &record : m_records)
    {
        m_scm.InstallService(record->name, GetServiceType(), record->service->GetConfiguration(), commandLine);
        record->service->OnServiceInstalled();
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

bool CServiceManagerBase::RemovePerformanceCounters(std::wstring &text)
{
    static const CCounterPass pass = {
        L"No performance counters to remove",
        L"Performance counters are not installed",
        L"Performance counters removed",
        L"Exception whilst removing performance counters: ",
        L"Unexpected exception whilst removing performance counters",
        &IService::RemovePerformanceCounters,
    };
    return RunCounterPass(pass, text);
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
        if (!(record.service->*pass.operation)(reason))
        {
            text += reason;
            ok = false;
        }
        else
        {
            text += pass.done;
        }
        return true;
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
