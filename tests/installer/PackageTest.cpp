// The package under the platform's msiexec, silent as fleets run it: install, removal,
// upgrade from an older release, refusals, a failed install and a removal that needs a
// restart. The older release is the same program built with version 0.9.0.
#include "counters/TcpCounterSchema.h"
#include "framework/ServiceHandle.h"
#include "perfmon/PerformanceCounterInstaller.h"

#include "tests/service/ServiceProgramSupport.h"
#include "tests/support/LoopbackConnections.h"
#include "tests/support/PendingDeletions.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>
#include <msi.h>
#include <msiquery.h>
#include <windows.h>

#include <string>
#include <vector>

using CorvaneTools::Service::CServiceHandle;
using ServiceProgramSupport::ServiceName;
using ServiceProgramSupport::Top;
using TestSupport::Exists;

namespace {

const DWORD Failed = ERROR_INSTALL_FAILURE;  // 1603
const wchar_t *const RestartMarkerKey = L"SOFTWARE\\Corvane Tessaly Package Restart";

std::wstring Package(const wchar_t *name)
{
    return name == std::wstring(L"Tessaly") ? Top() + L"\\dist\\x64\\Tessaly.msi"
                                            : Top() + L"\\build\\x64\\packages\\" + name + L".msi";
}

std::wstring InstallFolder()
{
    wchar_t folder[MAX_PATH];
    ::ExpandEnvironmentStringsW(L"%ProgramFiles%\\Corvane Tessaly", folder, MAX_PATH);
    return folder;
}

using ServiceProgramSupport::Copy;
using ServiceProgramSupport::KeyExists;

DWORD ConfigValue(const wchar_t *name)
{
    DWORD value = 0, size = sizeof(value);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, ServiceProgramSupport::ConfigKey.c_str(), name, RRF_RT_REG_DWORD, nullptr,
                       &value, &size) != ERROR_SUCCESS)
    {
        return 0xffffffff;
    }
    return value;
}

// The first field of the first row a query of a package's tables gives; empty when none.
std::wstring QueryPackage(const std::wstring &package, const wchar_t *query)
{
    MSIHANDLE database = 0, view = 0, record = 0;
    std::wstring field(256, L'\0');
    DWORD size = 0;
    if (::MsiOpenDatabaseW(package.c_str(), MSIDBOPEN_READONLY, &database) == ERROR_SUCCESS)
    {
        ::MsiDatabaseOpenViewW(database, query, &view);
        ::MsiViewExecute(view, 0);
        if (::MsiViewFetch(view, &record) == ERROR_SUCCESS)
        {
            size = static_cast<DWORD>(field.size());
            ::MsiRecordGetStringW(record, 1, &field[0], &size);
            ::MsiCloseHandle(record);
        }
        ::MsiCloseHandle(view);
        ::MsiCloseHandle(database);
    }
    field.resize(size);
    return field;
}

std::wstring UpgradeCode()
{
    return QueryPackage(Package(L"Tessaly"), L"SELECT `Value` FROM `Property` WHERE `Property` = 'UpgradeCode'");
}

// The launch condition that carries the refusal's message. This platform's msiexec shows
// a launch condition's message only in a message box, never in a silent run's log, as
// Windows does; so the message is checked where the package holds it.
std::wstring RefusalCondition(const std::wstring &package)
{
    return QueryPackage(package, L"SELECT `Condition` FROM `LaunchCondition` WHERE `Description` = 'The same or a "
                                 L"newer version of Corvane Tessaly is already installed. To install this version, "
                                 L"remove the installed one first.'");
}

// The installed products of the package's family, and their versions.
std::vector<std::wstring> InstalledProducts()
{
    static const std::wstring upgradeCode = UpgradeCode();
    std::vector<std::wstring> products;
    wchar_t product[39];
    for (DWORD index = 0; ::MsiEnumRelatedProductsW(upgradeCode.c_str(), 0, index, product) == ERROR_SUCCESS; ++index)
    {
        products.push_back(product);
    }
    return products;
}

std::vector<std::wstring> InstalledVersions()
{
    std::vector<std::wstring> versions;
    for (const std::wstring &product : InstalledProducts())
    {
        wchar_t version[64] = L"";
        DWORD size = ARRAYSIZE(version);
        ::MsiGetProductInfoW(product.c_str(), INSTALLPROPERTY_VERSIONSTRING, version, &size);
        versions.push_back(version);
    }
    return versions;
}

std::wstring FileVersion(const std::wstring &path)
{
    std::vector<BYTE> block(::GetFileVersionInfoSizeW(path.c_str(), nullptr));
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT size = 0;
    if (block.empty() || !::GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data()) ||
        !::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&fixed), &size))
    {
        return L"";
    }
    return std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(fixed->dwFileVersionMS)) +
           L"." + std::to_wstring(HIWORD(fixed->dwFileVersionLS));
}

// The service's state and process; state 0 when there is no service.
SERVICE_STATUS_PROCESS ServiceStatus()
{
    SERVICE_STATUS_PROCESS status = {};
    const CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const CServiceHandle service(::OpenServiceW(manager.Get(), ServiceName, SERVICE_QUERY_STATUS));
    DWORD needed = 0;
    if (service.IsValid())
    {
        ::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status),
                               sizeof(status), &needed);
    }
    return status;
}

std::wstring ProcessImage(DWORD pid)
{
    const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    wchar_t image[MAX_PATH] = L"";
    DWORD size = MAX_PATH;
    if (process)
    {
        ::QueryFullProcessImageNameW(process, 0, image, &size);
        ::CloseHandle(process);
    }
    return image;
}

class PackageTest : public ServiceProgramSupport::CInstalledProgramTest
{
protected:
    void SetUp() override
    {
        RemoveEveryProduct();
        CInstalledProgramTest::SetUp();
    }

    void TearDown() override
    {
        RemoveEveryProduct();
        CInstalledProgramTest::TearDown();
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, RestartMarkerKey);
    }

    // msiexec's exit code; the package's own log lines go to the test's output on failure.
    DWORD Msiexec(const std::vector<std::wstring> &arguments)
    {
        const std::wstring log = m_logs / L"msiexec.log";
        std::vector<std::wstring> all = arguments;
        all.insert(all.end(), {L"/qn", L"/l*v", log});
        TestSupport::CChildProcess msiexec(L"", all,
                                           ServiceProgramSupport::WindowsFolder() + L"\\system32\\msiexec.exe");
        const DWORD code = msiexec.Wait(180000);
        m_lastLog = TestSupport::ReadBytes(log);
        ::DeleteFileW(log.c_str());
        return code;
    }

    // What the package's actions said in the last run.
    std::string Said() const
    {
        std::string said;
        for (size_t at = m_lastLog.find("Corvane Tessaly: "); at != std::string::npos;
             at = m_lastLog.find("Corvane Tessaly: ", at + 1))
        {
            said += m_lastLog.substr(at, m_lastLog.find('\n', at) - at + 1);
        }
        return said;
    }

    void RemoveEveryProduct()
    {
        for (const std::wstring &product : InstalledProducts())
        {
            Msiexec({L"/x", product});
        }
    }

    void ExpectNothingLeft()
    {
        EXPECT_TRUE(InstalledProducts().empty()) << "still registered with the installer";
        EXPECT_FALSE(ServiceProgramSupport::ServiceIsInstalled());
        EXPECT_FALSE(KeyExists(ServiceProgramSupport::ServiceKey)) << "configuration and counter registration";
        EXPECT_FALSE(CorvaneTools::PerfMon::CPerformanceCounterInstaller().IsInstalled(ServiceName));
        EXPECT_FALSE(Exists(Copy(L"system32")));
        EXPECT_FALSE(Exists(Copy(L"syswow64")));
        EXPECT_FALSE(Exists(InstallFolder())) << "the program's folder";
        EXPECT_FALSE(KeyExists(RestartMarkerKey));
    }

    std::string m_lastLog;
};

} // namespace

TEST_F(PackageTest, ASilentInstallRegistersAndStartsTheServiceAndASilentRemovalLeavesNothing)
{
    const TestSupport::CLoopbackConnections listener(AF_INET);
    ASSERT_EQ(0u, Msiexec({L"/i", Package(L"Tessaly"), L"POLL=2", L"CREATELOG=1"})) << Said();

    EXPECT_EQ(std::vector<std::wstring>{L"1.0.0"}, InstalledVersions());
    const std::wstring program = InstallFolder() + L"\\Tessaly.exe";
    EXPECT_EQ(TestSupport::ReadBytes(ServiceProgramSupport::Program()), TestSupport::ReadBytes(program));
    EXPECT_EQ(2000u, ConfigValue(L"Poll"));
    EXPECT_EQ(1u, ConfigValue(L"Log"));
    EXPECT_TRUE(CorvaneTools::PerfMon::CPerformanceCounterInstaller().IsInstalled(ServiceName));
    EXPECT_EQ(TestSupport::ReadBytes(Top() + L"\\dist\\x64\\TessalyCounters.dll"),
              TestSupport::ReadBytes(Copy(L"system32")));
    EXPECT_EQ(TestSupport::ReadBytes(Top() + L"\\dist\\x86\\TessalyCounters.dll"),
              TestSupport::ReadBytes(Copy(L"syswow64")));
    const SERVICE_STATUS_PROCESS status = ServiceStatus();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState);
    EXPECT_EQ(program, ProcessImage(status.dwProcessId));
    ServiceProgramSupport::CReading reading;
    EXPECT_TRUE(TestSupport::WaitUntil(
        [&] {
            reading = ServiceProgramSupport::ReadWith(L"x64", {});
            return reading.values.count("IPv4: LISTEN") && reading.values.at("IPv4: LISTEN") >= 1;
        },
        20000))
        << reading.output;
    EXPECT_TRUE(Exists(InstallFolder() + L"\\CorvaneTessaly.log"));

    EXPECT_EQ(0u, Msiexec({L"/x", Package(L"Tessaly")})) << Said();
    ExpectNothingLeft();
}

TEST_F(PackageTest, AnUpgradeOverARunningServiceRunsTheNewProgramWithItsConfigurationKept)
{
    ASSERT_EQ(0u, Msiexec({L"/i", Package(L"TessalyPrevious"), L"POLL=3", L"CREATELOG=1"})) << Said();
    const SERVICE_STATUS_PROCESS before = ServiceStatus();
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), before.dwCurrentState);
    const std::wstring program = InstallFolder() + L"\\Tessaly.exe";
    EXPECT_EQ(L"0.9.0", FileVersion(program));
    // Changed by hand since: an upgrade keeps what Config holds, not what the package was given.
    const DWORD poll = 4000;
    ServiceProgramSupport::SetValue(ServiceProgramSupport::ConfigKey, L"Poll", REG_DWORD, &poll, sizeof(poll));
    ServiceProgramSupport::SetString(ServiceProgramSupport::ConfigKey, L"Note", L"kept");

    ASSERT_EQ(0u, Msiexec({L"/i", Package(L"Tessaly")})) << Said();
    EXPECT_EQ(std::vector<std::wstring>{L"1.0.0"}, InstalledVersions());
    EXPECT_EQ(L"1.0.0", FileVersion(program));
    const SERVICE_STATUS_PROCESS after = ServiceStatus();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), after.dwCurrentState);
    EXPECT_NE(before.dwProcessId, after.dwProcessId);
    EXPECT_EQ(program, ProcessImage(after.dwProcessId));
    EXPECT_EQ(4000u, ConfigValue(L"Poll"));
    EXPECT_EQ(1u, ConfigValue(L"Log"));
    wchar_t note[16] = L"";
    DWORD size = sizeof(note);
    EXPECT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_LOCAL_MACHINE, ServiceProgramSupport::ConfigKey.c_str(), L"Note",
                                            RRF_RT_REG_SZ, nullptr, note, &size));
    EXPECT_EQ(std::wstring(L"kept"), note);
    EXPECT_TRUE(Exists(InstallFolder() + L"\\CorvaneTessaly.log")) << "the log stays with the program";
    EXPECT_EQ(TestSupport::ReadBytes(Top() + L"\\dist\\x64\\TessalyCounters.dll"),
              TestSupport::ReadBytes(Copy(L"system32")));
    EXPECT_EQ(TestSupport::ReadBytes(Top() + L"\\dist\\x86\\TessalyCounters.dll"),
              TestSupport::ReadBytes(Copy(L"syswow64")));

    // Neither the older release nor another build of the same version goes over it.
    for (const wchar_t *refused : {L"TessalyPrevious", L"TessalySameVersion"})
    {
        SCOPED_TRACE(std::string(refused, refused + wcslen(refused)));
        EXPECT_EQ(Failed, Msiexec({L"/i", Package(refused)}));
        EXPECT_EQ(L"Installed OR NOT TESSALY_NOT_OLDER", RefusalCondition(Package(refused)));
        EXPECT_EQ(std::vector<std::wstring>{L"1.0.0"}, InstalledVersions());
        EXPECT_EQ(after.dwProcessId, ServiceStatus().dwProcessId);
    }
}

TEST_F(PackageTest, AnInstallTheProgramRefusesFailsAndLeavesNothing)
{
    // A folder where the 64-bit copy goes: the program's /install has registered the
    // service when it fails, takes that back and exits 5; the package rolls back its files.
    ASSERT_TRUE(::CreateDirectoryW(Copy(L"system32").c_str(), nullptr));
    EXPECT_EQ(Failed, Msiexec({L"/i", Package(L"Tessaly")})) << Said();
    EXPECT_NE(std::string::npos, Said().find("the program ended with exit code 5")) << Said();
    EXPECT_TRUE(::RemoveDirectoryW(Copy(L"system32").c_str()));
    ExpectNothingLeft();

    EXPECT_EQ(Failed, Msiexec({L"/i", Package(L"Tessaly"), L"POLL=fast"}));
    EXPECT_NE(std::string::npos, Said().find("POLL must be a whole number of seconds, such as 2, not \"fast\""))
        << Said();
    ExpectNothingLeft();
}

// A monitoring reader keeps the 64-bit copy loaded: the program's /remove moves it aside
// for the restart and answers 3010, which the package passes on.
TEST_F(PackageTest, ARemovalWhileAReaderHasTheDllLoadedAsksForARestart)
{
    ASSERT_EQ(0u, Msiexec({L"/i", Package(L"Tessaly")})) << Said();
    const DWORD object = CorvaneTools::PerfMon::CPerformanceCounterInstaller().FirstCounterIndex(ServiceName);
    const std::wstring stopName = TestSupport::UniqueName(L"PackageReaderStop");
    const HANDLE stop = ::CreateEventW(nullptr, TRUE, FALSE, stopName.c_str());
    {
        TestSupport::CChildProcess reader(L"", {std::to_wstring(object), L"0", L"/stop:" + stopName},
                                          Top() + L"\\build\\x64\\bin\\TessalyQueryLoop.exe");
        ASSERT_TRUE(ServiceProgramSupport::WaitUntilLoadedAsImage(Copy(L"system32")));

        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS_REBOOT_REQUIRED), Msiexec({L"/x", Package(L"Tessaly")})) << Said();
        ExpectNothingLeft();
        ::SetEvent(stop);
        reader.Wait(20000);
    }
    ::CloseHandle(stop);
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((Copy(L"system32") + L".*.old").c_str(), &found);
    ASSERT_NE(INVALID_HANDLE_VALUE, search) << "the loaded copy waits aside";
    do
    {
        const std::wstring aside = ServiceProgramSupport::WindowsFolder() + L"\\system32\\" + found.cFileName;
        EXPECT_TRUE(TestSupport::IsPendingDeletion(aside));
        TestSupport::ForgetPendingDeletion(aside);
        ::DeleteFileW(aside.c_str());
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
}
