#include "installer/InstalledService.h"

#include "service/ConfigurationNames.h"
#include "win32/errors/Win32Exception.h"
#include "win32/handles/UniqueOwners.h"

#include <shellapi.h>

namespace CorvaneTools {
namespace Installer {

using Win32::CUniqueServiceHandle;
using Win32::CWin32Exception;

namespace {

const DWORD PollMs = 100;

CUniqueServiceHandle OpenManager()
{
    CUniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.IsValid())
    {
        throw CWin32Exception(L"CInstalledService - OpenSCManager", ::GetLastError());
    }
    return manager;
}

// Null when the service does not exist.
CUniqueServiceHandle OpenService(const std::wstring &name, DWORD access)
{
    const CUniqueServiceHandle manager = OpenManager();
    CUniqueServiceHandle service(::OpenServiceW(manager.Get(), name.c_str(), access));
    if (!service.IsValid() && ::GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST)
    {
        throw CWin32Exception(L"CInstalledService - OpenService", ::GetLastError());
    }
    return service;
}

SERVICE_STATUS_PROCESS QueryStatus(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status), sizeof(status),
                                &needed))
    {
        throw CWin32Exception(L"CInstalledService - QueryServiceStatusEx", ::GetLastError());
    }
    return status;
}

// Waits until the state is the one wanted; a start also ends when the service has stopped
// again, as one that fails to start does.
DWORD WaitForState(SC_HANDLE service, DWORD wanted, DWORD timeoutMs)
{
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    for (;;)
    {
        const DWORD state = QueryStatus(service).dwCurrentState;
        if (state == wanted || (wanted == SERVICE_RUNNING && state == SERVICE_STOPPED) || ::GetTickCount64() >= end)
        {
            return state;
        }
        ::Sleep(PollMs);
    }
}

} // namespace

CInstalledService::CInstalledService(const std::wstring &name) : m_name(name)
{
}

bool CInstalledService::Exists() const
{
    return OpenService(m_name, SERVICE_QUERY_STATUS).IsValid();
}

bool CInstalledService::IsActive() const
{
    const CUniqueServiceHandle service = OpenService(m_name, SERVICE_QUERY_STATUS);
    return service.IsValid() && QueryStatus(service.Get()).dwCurrentState != SERVICE_STOPPED;
}

std::wstring CInstalledService::Program() const
{
    const CUniqueServiceHandle service = OpenService(m_name, SERVICE_QUERY_CONFIG);
    if (!service.IsValid())
    {
        return L"";
    }
    DWORD needed = 0;
    ::QueryServiceConfigW(service.Get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data());
    if (needed == 0 || !::QueryServiceConfigW(service.Get(), config, needed, &needed))
    {
        throw CWin32Exception(L"CInstalledService - QueryServiceConfig", ::GetLastError());
    }
    int count = 0;
    const Win32::TUniqueLocalMemory<wchar_t **> arguments(::CommandLineToArgvW(config->lpBinaryPathName, &count));
    return arguments.IsValid() && count > 0 ? std::wstring(arguments.Get()[0]) : std::wstring();
}

std::vector<CRegistryValue> CInstalledService::ReadConfiguration() const
{
    std::vector<CRegistryValue> values;
    HKEY opened = nullptr;
    const std::wstring path = TessalyService::ConfigKeyPath(m_name);
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS)
    {
        return values;
    }
    const Win32::CUniqueRegistryKey key(opened);
    std::vector<BYTE> data(MaximumValueBytes);
    // The registry's longest value name, 16,383 characters.
    std::vector<wchar_t> name(16384);
    for (DWORD index = 0; values.size() < MaximumValues; ++index)
    {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD size = MaximumValueBytes;
        const LONG result =
            ::RegEnumValueW(key.Get(), index, name.data(), &nameLength, nullptr, &type, data.data(), &size);
        if (result == ERROR_NO_MORE_ITEMS)
        {
            break;
        }
        if (result != ERROR_SUCCESS)
        {
            // Larger than any value the program writes: not carried over.
            continue;
        }
        values.push_back(
            {std::wstring(name.data(), nameLength), type, std::vector<BYTE>(data.begin(), data.begin() + size)});
    }
    return values;
}

void CInstalledService::Stop(DWORD timeoutMs) const
{
    const CUniqueServiceHandle service = OpenService(m_name, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!service.IsValid())
    {
        return;
    }
    const SERVICE_STATUS_PROCESS before = QueryStatus(service.Get());
    if (before.dwCurrentState == SERVICE_STOPPED)
    {
        return;
    }
    // Held from before the stop, so that the id cannot name another process by the time
    // it is waited for: its program file stays open until the process has ended.
    const Win32::CUniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, before.dwProcessId));
    SERVICE_STATUS status = {};
    if (!::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status) &&
        ::GetLastError() != ERROR_SERVICE_NOT_ACTIVE && ::GetLastError() != ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
    {
        throw CWin32Exception(L"CInstalledService::Stop - ControlService", ::GetLastError());
    }
    if (WaitForState(service.Get(), SERVICE_STOPPED, timeoutMs) != SERVICE_STOPPED)
    {
        throw CWin32Exception(L"CInstalledService::Stop", L"the service did not stop within " +
                                                              std::to_wstring(timeoutMs / 1000) + L" s");
    }
    if (process.IsValid() && ::WaitForSingleObject(process.Get(), timeoutMs) != WAIT_OBJECT_0)
    {
        throw CWin32Exception(L"CInstalledService::Stop", L"the service's process did not end");
    }
}

void CInstalledService::Start(DWORD timeoutMs) const
{
    const CUniqueServiceHandle service = OpenService(m_name, SERVICE_START | SERVICE_QUERY_STATUS);
    if (!service.IsValid())
    {
        throw CWin32Exception(L"CInstalledService::Start - OpenService", ERROR_SERVICE_DOES_NOT_EXIST);
    }
    if (!::StartServiceW(service.Get(), 0, nullptr) && ::GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
    {
        throw CWin32Exception(L"CInstalledService::Start - StartService", ::GetLastError());
    }
    const DWORD state = WaitForState(service.Get(), SERVICE_RUNNING, timeoutMs);
    if (state != SERVICE_RUNNING)
    {
        throw CWin32Exception(L"CInstalledService::Start", L"the service did not reach running (state " +
                                                               std::to_wstring(state) + L")");
    }
}

void CInstalledService::WriteValue(const CRegistryValue &value) const
{
    // Under the service's key only: without the service, a value would leave a key of its
    // own behind.
    HKEY service = nullptr;
    LONG result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, TessalyService::ServiceKeyPath(m_name).c_str(), 0,
                                  KEY_CREATE_SUB_KEY, &service);
    if (result != ERROR_SUCCESS)
    {
        throw CWin32Exception(L"CInstalledService::WriteValue - RegOpenKeyEx", static_cast<DWORD>(result));
    }
    const Win32::CUniqueRegistryKey serviceKey(service);
    HKEY opened = nullptr;
    result = ::RegCreateKeyExW(serviceKey.Get(), TessalyService::ConfigKeyName, 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_SET_VALUE, nullptr, &opened, nullptr);
    if (result != ERROR_SUCCESS)
    {
        throw CWin32Exception(L"CInstalledService::WriteValue - RegCreateKeyEx", static_cast<DWORD>(result));
    }
    const Win32::CUniqueRegistryKey key(opened);
    result = ::RegSetValueExW(key.Get(), value.name.c_str(), 0, value.type, value.data.data(),
                              static_cast<DWORD>(value.data.size()));
    if (result != ERROR_SUCCESS)
    {
        throw CWin32Exception(L"CInstalledService::WriteValue - RegSetValueEx", static_cast<DWORD>(result));
    }
}

} // namespace Installer
} // namespace CorvaneTools
