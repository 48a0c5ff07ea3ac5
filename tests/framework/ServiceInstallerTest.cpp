#include "framework/RequiresElevationException.h"
#include "framework/ServiceControlManagerInterface.h"
#include "framework/ServiceHandle.h"
#include "win32/errors/Win32Exception.h"

#include "tests/framework/RecordingPlatform.h"
#include "tests/support/CatchException.h"
#include "tests/support/TestNames.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace CorvaneTools::Service;
using CorvaneTools::Win32::CException;
using CorvaneTools::Win32::CProcessToken;
using CorvaneTools::Win32::CWin32Exception;
using FrameworkTestSupport::CRecordingPlatform;
using TestSupport::CatchException;

namespace {

// This platform refuses these items (error 124): delayed auto start, the failure-actions
// flag, the service SID and the required privileges.
const std::set<DWORD> s_refusedLevels = {3, 4, 5, 6};
const wchar_t *const s_where = L"CServiceControlManagerInterface::CreateService() - failed to set service ";

ServiceConfiguration EveryStep()
{
    ServiceConfiguration configuration;
    configuration.displayName = L"Tessaly test display";
    configuration.description = L"Tessaly test description";
    configuration.dependencies = L"Tcpip,Afd";
    configuration.startType = ServiceConfiguration::AutomaticDelayed;
    configuration.errorControl = 0;
    configuration.interactive = true;
    configuration.preShutdownTimeoutMs = 30000;
    configuration.requiredPrivileges = L"SeShutdownPrivilege,SeChangeNotifyPrivilege";
    configuration.sidType = ServiceConfiguration::SidRestricted;
    configuration.hasFailureActions = true;
    configuration.resetPeriodSeconds = 86400;
    configuration.rebootMessage = L"rebooting";
    configuration.failureCommand = L"cmd /c echo";
    configuration.failureActionsOnNonCrashFailures = true;
    configuration.failureActions = {{1, 1000}, {2, 2000}, {3, 3000}};
    configuration.hasRestartAction = true;
    configuration.hasRebootAction = true;
    return configuration;
}

bool ShutdownPrivilegeEnabled()
{
    return CProcessToken().IsPrivilegeEnabled(L"SeShutdownPrivilege");
}

CServiceHandle OpenService(const std::wstring &name, DWORD access)
{
    const CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return CServiceHandle(::OpenServiceW(manager.Get(), name.c_str(), access));
}

std::wstring RegistryText(const std::wstring &name, const wchar_t *value)
{
    wchar_t data[256] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    ::RegGetValueW(HKEY_LOCAL_MACHINE, (L"SYSTEM\\CurrentControlSet\\Services\\" + name).c_str(), value,
                   RRF_RT_ANY, nullptr, data, &size);
    std::wstring text(data, size / sizeof(wchar_t));
    text.erase(text.find_last_not_of(L'\0') + 1);
    std::replace(text.begin(), text.end(), L'\0', L'|');
    return text;
}

} // namespace

TEST(ServiceInstallerTest, EveryStepInOrderWithItsRecordThenRemoved)
{
    CRecordingPlatform platform;
    platform.acceptedLevels = s_refusedLevels;
    bool enabledWhileCreating = false;
    platform.onCreateService = [&] { enabledWhileCreating = ShutdownPrivilegeEnabled(); };
    CServiceControlManagerInterface scm(1, platform, nullptr);
    const std::wstring name = TestSupport::UniqueName(L"every");
    ASSERT_FALSE(ShutdownPrivilegeEnabled());
    scm.InstallService(name, SERVICE_WIN32_OWN_PROCESS, EveryStep(), L"\"C:\\x.exe\" /service");
    EXPECT_TRUE(enabledWhileCreating);
    EXPECT_FALSE(ShutdownPrivilegeEnabled());
    EXPECT_EQ((std::vector<std::wstring>{
                  L"OpenProcessToken 0x28",
                  L"OpenSCManager null 'ServicesActive' 0x2",
                  L"CreateService 'Tessaly test display' 0x12 0x110 0x2 0x0 '\"C:\\x.exe\" /service' null null "
                  L"'Tcpip|Afd|' null null",
                  L"Config2 1 'Tessaly test description'",
                  L"Config2 2 86400 'rebooting' 'cmd /c echo' 3 1:1000 2:2000 3:3000",
                  L"Config2 6 'SeShutdownPrivilege|SeChangeNotifyPrivilege|'",
                  L"Config2 5 3",
                  L"Config2 3 1",
                  L"Config2 4 1",
                  L"Config2 7 30000",
              }),
              platform.calls);

    // What the platform keeps (its query answers neither the dependencies nor level 2).
    {
        const CServiceHandle service = OpenService(name, SERVICE_QUERY_CONFIG);
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        ASSERT_TRUE(::QueryServiceConfigW(service.Get(), reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data()),
                                          8192, &needed));
        const auto &config = *reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data());
        EXPECT_EQ(0x110u, config.dwServiceType);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config.dwStartType);
        EXPECT_EQ(0u, config.dwErrorControl);
        EXPECT_STREQ(L"\"C:\\x.exe\" /service", config.lpBinaryPathName);
        EXPECT_STREQ(L"Tessaly test display", config.lpDisplayName);
        EXPECT_EQ(L"Tcpip|Afd", RegistryText(name, L"DependOnService"));
        ASSERT_TRUE(::QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, buffer.data(), 8192, &needed));
        EXPECT_STREQ(L"Tessaly test description",
                     reinterpret_cast<SERVICE_DESCRIPTIONW *>(buffer.data())->lpDescription);
        ASSERT_TRUE(::QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_PRESHUTDOWN_INFO, buffer.data(), 8192,
                                           &needed));
        EXPECT_EQ(30000u, reinterpret_cast<SERVICE_PRESHUTDOWN_INFO *>(buffer.data())->dwPreshutdownTimeout);
    }

    platform.calls.clear();
    scm.RemoveService(name);
    EXPECT_EQ((std::vector<std::wstring>{L"OpenSCManager null 'ServicesActive' 0x1", L"OpenService 0x10000",
                                         L"DeleteService"}),
              platform.calls);
    EXPECT_FALSE(OpenService(name, SERVICE_QUERY_STATUS).IsValid());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), ::GetLastError());
}

TEST(ServiceInstallerTest, CreationFollowsTheConfiguration)
{
    ServiceConfiguration manual;
    manual.startType = ServiceConfiguration::Manual;
    manual.account = L"LocalSystem";
    manual.password = L"secret";
    ServiceConfiguration noAccount;
    noAccount.password = L"secret";
    ServiceConfiguration beforeNT6 = EveryStep();
    beforeNT6.hasRebootAction = false;
    const struct
    {
        ServiceConfiguration configuration;
        DWORD majorVersion;
        std::vector<std::wstring> calls;
    } table[] = {
        {manual, 6, {L"CreateService '' 0x2 0x10 0x3 0x1 'p' null null null 'LocalSystem' 'secret'"}},
        {noAccount, 6, {L"CreateService '' 0x2 0x10 0x4 0x1 'p' null null null null null"}},
        // Before NT 6 (this platform reports 6.1) a delayed start is an automatic start, and
        // the items of NT 6 are skipped.
        {beforeNT6,
         5,
         {L"CreateService 'Tessaly test display' 0x12 0x110 0x2 0x0 'p' null null 'Tcpip|Afd|' null null",
          L"Config2 1 'Tessaly test description'",
          L"Config2 2 86400 'rebooting' 'cmd /c echo' 3 1:1000 2:2000 3:3000"}},
    };
    for (const auto &row : table)
    {
        CRecordingPlatform platform;
        platform.majorVersion = row.majorVersion;
        CServiceControlManagerInterface scm(1, platform, nullptr);
        const std::wstring name = TestSupport::UniqueName(L"create");
        scm.InstallService(name, SERVICE_WIN32_OWN_PROCESS, row.configuration, L"p");
        EXPECT_EQ(row.calls, std::vector<std::wstring>(platform.calls.begin() + 2, platform.calls.end()));
        scm.RemoveService(name);
    }
}

TEST(ServiceInstallerTest, AFailingItemLeavesTheServiceInstalled)
{
    const struct
    {
        DWORD level;
        const wchar_t *what;
        DWORD error;
        bool platformRefuses;
    } table[] = {
        {1, L"description", ERROR_INVALID_PARAMETER, false},
        {2, L"failure actions", ERROR_INVALID_PARAMETER, false},
        {6, L"privilege requirements", ERROR_INVALID_LEVEL, true},
        {5, L"SID type", ERROR_INVALID_LEVEL, true},
        {3, L"as delayed auto start", ERROR_INVALID_LEVEL, true},
        {4, L"actions on crash", ERROR_INVALID_LEVEL, true},
        {7, L"preshutdown timeout", ERROR_INVALID_PARAMETER, false},
    };
    for (const auto &row : table)
    {
        CRecordingPlatform platform;
        platform.acceptedLevels = s_refusedLevels;
        if (row.platformRefuses)
        {
            platform.acceptedLevels.erase(row.level);
        }
        else
        {
            platform.failures[L"Config2 " + std::to_wstring(row.level)] = row.error;
        }
        CServiceControlManagerInterface scm(1, platform, nullptr);
        const std::wstring name = TestSupport::UniqueName(L"failing");
        const CWin32Exception failed = CatchException<CWin32Exception>(
            [&] { scm.InstallService(name, SERVICE_WIN32_OWN_PROCESS, EveryStep(), L"p"); });
        EXPECT_EQ(s_where + std::wstring(row.what), failed.GetWhere());
        EXPECT_EQ(row.error, failed.GetError()) << row.level;
        EXPECT_EQ(0u, platform.calls.back().find(L"Config2 " + std::to_wstring(row.level))) << row.level;
        EXPECT_TRUE(OpenService(name, SERVICE_QUERY_STATUS).IsValid()) << row.level;
        scm.RemoveService(name);
    }
}

// The process here runs as administrator: access denied is the seam's.
TEST(ServiceInstallerTest, AccessDeniedFromNT6AsksForElevation)
{
    CServiceControlManagerInterface real(1);
    const std::wstring name = TestSupport::UniqueName(L"denied");
    real.InstallService(name, SERVICE_WIN32_OWN_PROCESS, ServiceConfiguration(), L"p");
    const struct
    {
        bool install;
        const wchar_t *call;
        DWORD error;
        DWORD majorVersion;
        const wchar_t *where; // null: elevation is asked for
    } table[] = {
        {true, L"OpenSCManager", ERROR_ACCESS_DENIED, 6, nullptr},
        {true, L"OpenSCManager", ERROR_ACCESS_DENIED, 5, L"CService::InstallService() - OpenSCManager"},
        {true, L"OpenSCManager", ERROR_INVALID_HANDLE, 6, L"CService::InstallService() - OpenSCManager"},
        {false, L"OpenSCManager", ERROR_ACCESS_DENIED, 6, nullptr},
        {false, L"OpenSCManager", ERROR_ACCESS_DENIED, 5, L"CService::RemoveService() - OpenSCManager"},
        {false, L"OpenService", ERROR_ACCESS_DENIED, 6, nullptr},
        {false, L"OpenService", ERROR_ACCESS_DENIED, 5, L"CService::RemoveService() - OpenService"},
        {false, L"DeleteService", ERROR_ACCESS_DENIED, 6, L"CService::RemoveService() - DeleteService"},
    };
    for (const auto &row : table)
    {
        CRecordingPlatform platform;
        platform.failures[row.call] = row.error;
        platform.majorVersion = row.majorVersion;
        CServiceControlManagerInterface scm(1, platform, nullptr);
        const auto action = [&] {
            row.install ? scm.InstallService(name, SERVICE_WIN32_OWN_PROCESS, ServiceConfiguration(), L"p")
                        : scm.RemoveService(name);
        };
        if (!row.where)
        {
            CatchException<CRequiresElevationException>(action);
            continue;
        }
        const CWin32Exception failed = CatchException<CWin32Exception>(action);
        EXPECT_EQ(row.where, failed.GetWhere());
        EXPECT_EQ(row.error, failed.GetError());
    }
    real.RemoveService(name);
    const CWin32Exception gone = CatchException<CWin32Exception>([&] { real.RemoveService(name); });
    EXPECT_EQ(L"CService::RemoveService() - OpenService", gone.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), gone.GetError());
}

TEST(ServiceInstallerTest, ARebootActionNeedsAnEnablableShutdownPrivilege)
{
    const std::wstring base = L"One of the service's restart actions  is to reboot the computer. Configuring this "
                              L"requires that the account  installing the service has the \"SeShutdownPrivilege\" "
                              L"privilege.";
    const struct
    {
        std::function<std::unique_ptr<CProcessToken>(DWORD)> token;
        const wchar_t *message;
    } table[] = {
        {[](DWORD access) {
             HANDLE own = nullptr;
             HANDLE restricted = nullptr;
             ::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, &own);
             LUID_AND_ATTRIBUTES shutdown = {};
             ::LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &shutdown.Luid);
             ::CreateRestrictedToken(own, 0, 0, nullptr, 1, &shutdown, 0, nullptr, &restricted);
             ::CloseHandle(own);
             EXPECT_EQ(0x28u, access);
             return std::make_unique<CProcessToken>(restricted);
         },
         L" This account does not have that privilege."},
        // A token that may be queried but not adjusted: held, but it cannot be enabled.
        {[](DWORD) { return std::make_unique<CProcessToken>(static_cast<DWORD>(TOKEN_QUERY)); },
         L" This account has that privilege but it cannot be enabled."},
    };
    for (const auto &row : table)
    {
        CRecordingPlatform platform;
        platform.token = row.token;
        CServiceControlManagerInterface scm(1, platform, nullptr);
        const CException refused = CatchException<CException>(
            [&] { scm.InstallService(L"TessalyNeverCreated", SERVICE_WIN32_OWN_PROCESS, EveryStep(), L"p"); });
        EXPECT_EQ(L"CService::InstallService()", refused.GetWhere());
        EXPECT_EQ(base + row.message, refused.GetMessage());
        EXPECT_EQ(std::vector<std::wstring>{L"OpenProcessToken 0x28"}, platform.calls);
    }
}
