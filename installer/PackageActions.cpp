// The package's custom actions: the first plans, from the properties and the service as it
// stands, what each deferred action will do; the deferred ones carry their plans out as
// the local system; the last asks for the restart a program's 3010 called for.
#include "counters/TcpCounterSchema.h"
#include "installer/InstalledService.h"
#include "installer/PackagePlan.h"
#include "installer/PlanRunner.h"
#include "win32/errors/Exception.h"

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <string>

using namespace CorvaneTools::Installer;
using CorvaneTools::Win32::CException;

namespace {

// A deferred action cannot set the session's reboot mode ("Obtaining Context Information
// for Deferred Execution Custom Actions": MsiSetMode is not among what it may call), so it
// leaves this volatile key for the immediate action after InstallFinalize, which can
// ("MsiSetMode function", MSIRUNMODE_REBOOTATEND). Volatile: a restart clears it anyway.
const wchar_t *const RestartMarkerKey = L"SOFTWARE\\Corvane Tessaly Package Restart";

// The text goes in as a field, not as the record's format: brackets in a path must not be
// read as property names.
void Say(MSIHANDLE install, INSTALLMESSAGE kind, const std::wstring &text)
{
    PMSIHANDLE record = ::MsiCreateRecord(1);
    ::MsiRecordSetStringW(record, 0, L"[1]");
    ::MsiRecordSetStringW(record, 1, (L"Corvane Tessaly: " + text).c_str());
    ::MsiProcessMessage(install, kind, record);
}

// Text from a call that takes a buffer and its size in characters, and says ERROR_MORE_DATA
// with the size needed, without the terminator, when the buffer is too small.
template <typename Call>
std::wstring ReadText(const Call &call, const std::wstring &where)
{
    std::wstring value(MAX_PATH, L'\0');
    DWORD size = static_cast<DWORD>(value.size());
    UINT result = call(&value[0], &size);
    if (result == ERROR_MORE_DATA)
    {
        value.resize(++size);
        result = call(&value[0], &size);
    }
    if (result != ERROR_SUCCESS)
    {
        throw CException(where, L"error " + std::to_wstring(result));
    }
    value.resize(size);
    return value;
}

std::wstring Property(MSIHANDLE install, const wchar_t *name)
{
    return ReadText([&](wchar_t *buffer, DWORD *size) { return ::MsiGetPropertyW(install, name, buffer, size); },
                    std::wstring(L"MsiGetProperty ") + name);
}

std::wstring Formatted(MSIHANDLE install, const wchar_t *format)
{
    PMSIHANDLE record = ::MsiCreateRecord(0);
    ::MsiRecordSetStringW(record, 0, format);
    return ReadText([&](wchar_t *buffer, DWORD *size) { return ::MsiFormatRecordW(install, record, buffer, size); },
                    std::wstring(L"MsiFormatRecord ") + format);
}

CPackageState::Run WhatThisRunDoes(MSIHANDLE install)
{
    const bool removing = _wcsicmp(Property(install, L"REMOVE").c_str(), L"ALL") == 0;
    if (removing)
    {
        return Property(install, L"UPGRADINGPRODUCTCODE").empty() ? CPackageState::Removal
                                                                  : CPackageState::RemovalByUpgrade;
    }
    if (!Property(install, L"Installed").empty())
    {
        return CPackageState::Maintenance;
    }
    return Property(install, L"TESSALY_OLDER").empty() ? CPackageState::FirstInstall : CPackageState::Upgrade;
}

CPackageState ReadState(MSIHANDLE install)
{
    CPackageState state;
    state.run = WhatThisRunDoes(install);
    state.serviceName = CorvaneTools::Counters::TcpCounterSetName;
    state.program = Formatted(install, L"[#TessalyExe]");
    state.folder = Property(install, L"INSTALLFOLDER");
    state.poll = Property(install, L"POLL");
    state.logPath = Property(install, L"LOGPATH");
    state.createLog = Property(install, L"CREATELOG");
    const CInstalledService service(state.serviceName);
    state.serviceExists = service.Exists();
    if (state.serviceExists)
    {
        state.serviceActive = service.IsActive();
        state.registeredProgram = service.Program();
        state.config = service.ReadConfiguration();
    }
    return state;
}

const wchar_t *RunName(CPackageState::Run run)
{
    static const wchar_t *const names[] = {L"first install", L"upgrade", L"removal", L"removal by an upgrade",
                                           L"maintenance"};
    return names[run];
}

void MarkRestartNeeded()
{
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, RestartMarkerKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_READ, nullptr,
                          &key, nullptr) == ERROR_SUCCESS)
    {
        ::RegCloseKey(key);
    }
}

} // namespace

extern "C" UINT __stdcall TessalyPrepare(MSIHANDLE install)
{
    try
    {
        const CPackageState state = ReadState(install);
        Say(install, INSTALLMESSAGE_INFO,
            std::wstring(L"this is a ") + RunName(state.run) + L"; the service " +
                (state.serviceExists ? (state.serviceActive ? L"runs" : L"is stopped") : L"is not installed"));
        const CPackagePlan plan = MakePackagePlan(state);
        for (const CPlanAction &action : PlanActions)
        {
            ::MsiSetPropertyW(install, action.name, (plan.*action.data).c_str());
        }
        return ERROR_SUCCESS;
    }
    catch (const CException &e)
    {
        Say(install, INSTALLMESSAGE_ERROR, e.GetMessage());
    }
    catch (...)
    {
        Say(install, INSTALLMESSAGE_ERROR, L"unexpected exception while planning the installation");
    }
    return ERROR_INSTALL_FAILURE;
}

extern "C" UINT __stdcall TessalyExecute(MSIHANDLE install)
{
    const bool rollback = ::MsiGetMode(install, MSIRUNMODE_ROLLBACK) != FALSE;
    try
    {
        CPlanRunner runner([install](const std::wstring &text) { Say(install, INSTALLMESSAGE_INFO, text); });
        runner.Execute(CPlanSteps::Parse(Property(install, L"CustomActionData")), rollback);
        if (runner.RestartNeeded())
        {
            MarkRestartNeeded();
        }
        return ERROR_SUCCESS;
    }
    catch (const CException &e)
    {
        Say(install, rollback ? INSTALLMESSAGE_INFO : INSTALLMESSAGE_ERROR, e.GetWhere() + L": " + e.GetMessage());
    }
    catch (...)
    {
        Say(install, INSTALLMESSAGE_INFO, L"unexpected exception in a deferred action");
    }
    return rollback ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

extern "C" UINT __stdcall TessalyAskRestart(MSIHANDLE install)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, RestartMarkerKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    {
        return ERROR_SUCCESS;
    }
    ::RegCloseKey(key);
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, RestartMarkerKey);
    Say(install, INSTALLMESSAGE_INFO, L"the program asked for a restart to finish");
    ::MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
    return ERROR_SUCCESS;
}
