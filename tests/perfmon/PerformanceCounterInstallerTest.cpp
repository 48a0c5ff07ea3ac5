#include "perfmon/PerformanceCounterInstaller.h"
#include "perfmon/PerformanceDataSchemaFileExporter.h"
#include "win32/errors/Exception.h"
#include "win32/system/SystemDirectories.h"

#include "tests/perfmon/TestDlls.h"
#include "tests/support/CatchException.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/loadperf/CounterTextLoaderNames.h"
#include "tests/support/NativeFileSystem.h"
#include "tests/support/ProviderRegistrationLock.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <vector>

using namespace CorvaneTools::PerfMon;
using CorvaneTools::Win32::CException;
using CorvaneTools::Win32::CRegistryKey;
using CorvaneTools::Win32::CWin32Exception;
using namespace TestSupport;

namespace {

const std::wstring Services = L"SYSTEM\\CurrentControlSet\\Services\\";

// Where the installer puts the copies: the 64-bit system directory (reached from 32-bit
// code with redirection off) and the 32-bit one.
std::wstring System64(const std::wstring &file)
{
    return CorvaneTools::Win32::GetSystemDirectory() + L"\\" + file;
}

std::wstring System32(const std::wstring &file)
{
    return CorvaneTools::Win32::GetSystemWow64Directory() + L"\\" + file;
}

bool KeyExists(const std::wstring &path)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    {
        return false;
    }
    ::RegCloseKey(key);
    return true;
}

// Type REG_NONE when the value is missing. Always the 64-bit view, where the substitute
// lists are kept.
// Sized by the value itself: the text lists outgrow any fixed buffer as counter sets are
// installed.
std::wstring RawValue(const std::wstring &path, const wchar_t *name, DWORD &type)
{
    type = REG_NONE;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    {
        return std::wstring();
    }
    DWORD bytes = 0;
    LONG result = ::RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes);
    std::vector<BYTE> data(bytes + sizeof(wchar_t));
    if (result == ERROR_SUCCESS)
    {
        result = ::RegQueryValueExW(key, name, nullptr, &type, data.data(), &bytes);
    }
    ::RegCloseKey(key);
    if (result != ERROR_SUCCESS)
    {
        type = REG_NONE;
        return std::wstring();
    }
    return std::wstring(reinterpret_cast<const wchar_t *>(data.data()), bytes / sizeof(wchar_t));
}

DWORD DwordValue(const std::wstring &path, const wchar_t *name)
{
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &bytes) !=
        ERROR_SUCCESS)
    {
        return 0xFFFFFFFF;
    }
    return value;
}

// One text of the platform's per-language list, or empty. Wine keeps Perflib\009 for fixed
// lists of its own, so the loader of the test prefix keeps the texts in a substitute key.
std::wstring InstalledText(const wchar_t *list, DWORD index)
{
    DWORD type = REG_NONE;
    std::wstring texts = RawValue(std::wstring(TESSALY_COUNTER_TEXT_LOADER_SUBSTITUTE_LISTS) + L"\\009", list, type);
    if (type == REG_NONE)
    {
        texts = RawValue(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009", list, type);
    }
    const std::wstring wanted = std::to_wstring(index);
    for (size_t at = 0; at < texts.size();)
    {
        const std::wstring number = texts.c_str() + at;
        at += number.size() + 1;
        if (at >= texts.size())
        {
            break;
        }
        const std::wstring text = texts.c_str() + at;
        at += text.size() + 1;
        if (number == wanted)
        {
            return text;
        }
    }
    return std::wstring();
}

// An application name and DLL file name of this test's own; whatever the test leaves
// installed is taken away again.
class PerformanceCounterInstallerTest : public testing::Test
{
protected:
    PerformanceCounterInstallerTest()
        : m_name(UniqueName(L"Counters")), m_fileName(UniqueName(L"Counters.dll")),
          m_performance(Services + m_name + L"\\Performance")
    {
        CPerformanceDataSchema::Object &object = m_schema.AddObject(L"Installer Test Object", L"Object help", 100);
        object.AddCounter(L"First", L"First help", 100, 0, 0x10000);
        object.AddCounter(L"Second", L"Second help", 100, 0, 0x10000);
        m_ini = m_exporter.WriteIniFile(m_name, m_schema);
        m_symbols = m_exporter.WriteSymbolFile(m_name, m_schema);
    }

    ~PerformanceCounterInstallerTest() override
    {
        CPerformanceCounterInstaller installer;
        if (installer.IsInstalled(m_name))
        {
            try
            {
                installer.Uninstall(m_name);
            }
            catch (...)
            {
            }
        }
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (Services + m_name).c_str());
        CNativeFileSystem native;
        ::DeleteFileW(System64(m_fileName).c_str());
        ::DeleteFileW(System32(m_fileName).c_str());
    }

    DWORD InstallBoth(const std::wstring &exportName = std::wstring(), DWORD openTimeout = 10000,
                      DWORD collectTimeout = 10000)
    {
        return m_installer.Install(m_name, TestDll(L"TessalyTestCounters", L"x86"),
                                   TestDll(L"TessalyTestCounters", L"x64"), m_fileName, m_symbols, m_ini, exportName,
                                   openTimeout, collectTimeout, m_schema.GetChecksum());
    }

    CException ValidationFailure(const std::wstring &path, bool expectX64, const std::wstring &open = L"PerfData_Open",
                                 const std::wstring &close = L"PerfData_Close")
    {
        return CatchException<CException>(
            [&] { CPerformanceCounterInstaller::ValidateDLL(path, expectX64, open, L"PerfData_Collect", close); });
    }

    CProviderRegistrationLock m_lock;
    CPerformanceCounterInstaller m_installer;
    const std::wstring m_name;
    const std::wstring m_fileName;
    const std::wstring m_performance;
    CPerformanceDataSchema m_schema{L"009"};
    CPerformanceDataSchemaFileExporter m_exporter;
    std::wstring m_ini;
    std::wstring m_symbols;
};

} // namespace

TEST_F(PerformanceCounterInstallerTest, DLLsThatAreRefused)
{
    const std::wstring x86 = TestDll(L"TessalyTestCounters", L"x86");
    const std::wstring x64 = TestDll(L"TessalyTestCounters", L"x64");
    CException e = ValidationFailure(x86, true);
    EXPECT_EQ(L"CPerformanceCounterInstaller::ValidateDLL()", e.GetWhere());
    EXPECT_EQ(L"PerformanceCounterDll: \"" + x86 + L"\" is not an x64 dll.", e.GetMessage());
    EXPECT_EQ(L"PerformanceCounterDll: \"" + x64 + L"\" is not a Win32 dll.", ValidationFailure(x64, false).GetMessage());
    EXPECT_EQ(L"PerformanceCounterDll: \"" + ThisProgram() + L"\" is not a valid dll image file.",
              ValidationFailure(ThisProgram(), ThisArchitecture() == std::wstring(L"x64")).GetMessage());
    const std::wstring noCollect = TestDll(L"TessalyTestNoCollect", L"x64");
    EXPECT_EQ(L"PerformanceCounterDll: \"" + noCollect + L"\" does not export collect function: \"PerfData_Collect\"",
              ValidationFailure(noCollect, true).GetMessage());
    EXPECT_EQ(L"PerformanceCounterDll: \"" + x64 + L"\" does not export open function: \"perfdata_open\"",
              ValidationFailure(x64, true, L"perfdata_open").GetMessage());
    EXPECT_EQ(L"PerformanceCounterDll: \"" + x86 + L"\" does not export close function: \"Close\"",
              ValidationFailure(x86, false, L"PerfData_Open", L"Close").GetMessage());
    const std::wstring missing = x64 + L".missing";
    EXPECT_EQ(L"PerformanceCounterDll: \"" + missing + L"\" does not exist.", ValidationFailure(missing, true).GetMessage());
    EXPECT_NO_THROW(CPerformanceCounterInstaller::ValidateDLL(x86, false, L"PerfData_Open", L"PerfData_Collect",
                                                              L"PerfData_Close"));

    // The one-DLL install expects the system's own architecture.
    e = CatchException<CException>([&] { m_installer.Install(m_name, x86, true, m_symbols, m_ini, L"", 10000, 10000, L""); });
    EXPECT_EQ(L"PerformanceCounterDll: \"" + x86 + L"\" is not an x64 dll.", e.GetMessage());
    EXPECT_FALSE(KeyExists(Services + m_name));
}

TEST_F(PerformanceCounterInstallerTest, QueriesOfAnApplicationThatIsNotInstalled)
{
    EXPECT_TRUE(m_installer.CanInstall());
    EXPECT_FALSE(m_installer.IsInstalled(m_name));
    const CRegistryKey::Exception noKey =
        CatchException<CRegistryKey::Exception>([&] { m_installer.FirstCounterIndex(m_name); });
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), noKey.GetError());

    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, m_performance.c_str(), L"Other", REG_SZ, L"", sizeof(wchar_t));
    CException e = CatchException<CException>([&] { m_installer.FirstCounterIndex(m_name); });
    EXPECT_EQ(L"CPerformanceCounterInstaller::FirstCounterIndex()", e.GetWhere());
    EXPECT_EQ(L"FirstCounter not found", e.GetMessage());
    e = CatchException<CException>([&] { m_installer.GetSchemaChecksum(m_name); });
    EXPECT_EQ(L"CPerformanceCounterInstaller::GetSchemaChecksum()", e.GetWhere());
    EXPECT_EQ(L"SchemaChecksum not found", e.GetMessage());
    e = CatchException<CException>([&] { m_installer.GetInstalledCounterDLLName(m_name); });
    EXPECT_EQ(L"CPerformanceCounterInstaller::GetInstalledCounterDLLName()", e.GetWhere());
    EXPECT_EQ(L"Library key not found", e.GetMessage());
    EXPECT_FALSE(m_installer.IsInstalled(m_name));
    e = CatchException<CException>([&] { m_installer.Uninstall(m_name); });
    EXPECT_EQ(L"CPerformanceCounterInstaller::Uninstall()", e.GetWhere());
    EXPECT_EQ(L"Performance counters for application: \"" + m_name + L"\" are not currently installed", e.GetMessage());

    // A First Counter of another type is no index.
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, m_performance.c_str(), L"First Counter", REG_SZ, L"12", 3 * sizeof(wchar_t));
    EXPECT_FALSE(m_installer.IsInstalled(m_name));
}

TEST_F(PerformanceCounterInstallerTest, ASecondInstallIsRefusedBeforeAnyFileIsTouched)
{
    const DWORD first = 1234;
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, m_performance.c_str(), L"First Counter", REG_DWORD, &first, sizeof(first));
    EXPECT_TRUE(m_installer.IsInstalled(m_name));
    EXPECT_EQ(1234u, m_installer.FirstCounterIndex(m_name));
    const CException e = CatchException<CException>([&] { InstallBoth(); });
    EXPECT_EQ(L"CPerformanceCounterInstaller::ValidateParameters()", e.GetWhere());
    EXPECT_EQ(L"Performance counters for application: \"" + m_name + L"\" are already installed", e.GetMessage());
    EXPECT_THROW(m_installer.Install(m_name, L"C:\\no such.dll", true, m_symbols, m_ini, L"", 10000, 10000, L""),
                 CException);
    CNativeFileSystem native;
    EXPECT_FALSE(Exists(System64(m_fileName)));
    EXPECT_FALSE(Exists(System32(m_fileName)));
    DWORD type = REG_NONE;
    RawValue(m_performance, L"Library", type);
    EXPECT_EQ(static_cast<DWORD>(REG_NONE), type);
}

TEST_F(PerformanceCounterInstallerTest, RegistryEntriesGoButAServiceKeyWithOtherSubkeysStays)
{
    for (const wchar_t *sub : {L"\\Performance", L"\\Linkage", L"\\Config"})
    {
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, (Services + m_name + sub).c_str(), L"V", REG_SZ, L"", sizeof(wchar_t));
    }
    CPerformanceCounterInstaller::RemoveRegistryEntries(m_name);
    EXPECT_FALSE(KeyExists(Services + m_name + L"\\Performance"));
    EXPECT_FALSE(KeyExists(Services + m_name + L"\\Linkage"));
    EXPECT_TRUE(KeyExists(Services + m_name + L"\\Config"));

    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (Services + m_name + L"\\Config").c_str());
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, m_performance.c_str(), L"V", REG_SZ, L"", sizeof(wchar_t));
    CPerformanceCounterInstaller::RemoveRegistryEntries(m_name);
    EXPECT_FALSE(KeyExists(Services + m_name));
    // Nothing there: nothing happens.
    EXPECT_NO_THROW(CPerformanceCounterInstaller::RemoveRegistryEntries(m_name));
}

TEST_F(PerformanceCounterInstallerTest, AFailedTextLoadTakesTheRegistryEntriesAway)
{
    const std::wstring missingIni = m_exporter.GetDirectory() + L"missing.ini";
    const CWin32Exception e = CatchException<CWin32Exception>([&] {
        m_installer.Install(m_name, TestDll(L"TessalyTestCounters", L"x86"), TestDll(L"TessalyTestCounters", L"x64"),
                            m_fileName, m_symbols, missingIni, L"Export", 5000, 5000, L"sum");
    });
    EXPECT_EQ(L"CPerformanceCounterInstaller::Install()", e.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), e.GetError());
    EXPECT_FALSE(KeyExists(Services + m_name));
    EXPECT_FALSE(m_installer.IsInstalled(m_name));
    // The copies already made stay.
    CNativeFileSystem native;
    EXPECT_TRUE(Exists(System64(m_fileName)));
    EXPECT_TRUE(Exists(System32(m_fileName)));
}

TEST_F(PerformanceCounterInstallerTest, InstallAndUninstallBothDLLs)
{
    ASSERT_EQ(0x11u, InstallBoth());
    EXPECT_TRUE(m_installer.IsInstalled(m_name));
    DWORD type = REG_NONE;
    // The copy by full path, left for the reader to expand: a 32-bit one lands in SysWOW64.
    EXPECT_EQ(L"%SystemRoot%\\System32\\" + m_fileName + L'\0', RawValue(m_performance, L"Library", type));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    EXPECT_EQ(std::wstring(L"PerfData_Open") + L'\0', RawValue(m_performance, L"Open", type));
    EXPECT_EQ(std::wstring(L"PerfData_Collect") + L'\0', RawValue(m_performance, L"Collect", type));
    EXPECT_EQ(std::wstring(L"PerfData_Close") + L'\0', RawValue(m_performance, L"Close", type));
    EXPECT_EQ(m_schema.GetChecksum() + L'\0', RawValue(m_performance, L"SchemaChecksum", type));
    RawValue(m_performance, L"Open Timeout", type);
    EXPECT_EQ(static_cast<DWORD>(REG_NONE), type);
    RawValue(m_performance, L"Collect Timeout", type);
    EXPECT_EQ(static_cast<DWORD>(REG_NONE), type);
    EXPECT_FALSE(KeyExists(Services + m_name + L"\\Linkage"));

    // The loader's title indexes: object and two counters, names even and help odd.
    const DWORD first = DwordValue(m_performance, L"First Counter");
    EXPECT_EQ(0u, first % 2);
    EXPECT_GE(first, 2u);
    EXPECT_EQ(first + 4, DwordValue(m_performance, L"Last Counter"));
    EXPECT_EQ(first + 1, DwordValue(m_performance, L"First Help"));
    EXPECT_EQ(first + 5, DwordValue(m_performance, L"Last Help"));
    EXPECT_EQ(first, m_installer.FirstCounterIndex(m_name));
    EXPECT_EQ(m_schema.GetChecksum(), m_installer.GetSchemaChecksum(m_name));
    EXPECT_EQ(L"%SystemRoot%\\System32\\" + m_fileName, m_installer.GetInstalledCounterDLLName(m_name));
    EXPECT_EQ(L"Installer Test Object", InstalledText(L"Counter", first));
    EXPECT_EQ(L"Second", InstalledText(L"Counter", first + 4));
    EXPECT_EQ(L"Second help", InstalledText(L"Help", first + 5));
    {
        CNativeFileSystem native;
        EXPECT_EQ(ReadBytes(TestDll(L"TessalyTestCounters", L"x64")), ReadBytes(System64(m_fileName)));
        EXPECT_EQ(ReadBytes(TestDll(L"TessalyTestCounters", L"x86")), ReadBytes(System32(m_fileName)));
    }

    const CException again = CatchException<CException>([&] { InstallBoth(); });
    EXPECT_EQ(L"Performance counters for application: \"" + m_name + L"\" are already installed", again.GetMessage());

    EXPECT_EQ(0u, m_installer.Uninstall(m_name));
    EXPECT_FALSE(m_installer.IsInstalled(m_name));
    EXPECT_FALSE(KeyExists(Services + m_name));
    EXPECT_EQ(L"", InstalledText(L"Counter", first));
    EXPECT_EQ(L"", InstalledText(L"Help", first + 5));
    CNativeFileSystem native;
    EXPECT_FALSE(Exists(System64(m_fileName)));
    EXPECT_FALSE(Exists(System32(m_fileName)));
}

TEST_F(PerformanceCounterInstallerTest, OnlyTheDLLsThatExistAreInstalled)
{
    EXPECT_EQ(0u, m_installer.Install(m_name, L"C:\\none32.dll", L"C:\\none64.dll", m_fileName, m_symbols, m_ini, L"",
                                      10000, 10000, L""));
    EXPECT_FALSE(KeyExists(Services + m_name));
    EXPECT_EQ(0x1u, m_installer.Install(m_name, TestDll(L"TessalyTestCounters", L"x86"), L"C:\\none64.dll", m_fileName,
                                        m_symbols, m_ini, L"", 10000, 10000, L""));
    CNativeFileSystem native;
    EXPECT_FALSE(Exists(System64(m_fileName)));
    EXPECT_TRUE(Exists(System32(m_fileName)));
    // No checksum given: none written.
    EXPECT_THROW(m_installer.GetSchemaChecksum(m_name), CException);
}

TEST_F(PerformanceCounterInstallerTest, TimeoutsExportAndALibraryByFullPath)
{
    const std::wstring dll = TestDll(L"TessalyTestCounters", L"x64");
    m_installer.Install(m_name, dll, false, m_symbols, m_ini, L"TessalyExport", 5000, 10000, L"");
    DWORD type = REG_NONE;
    EXPECT_EQ(dll + L'\0', RawValue(m_performance, L"Library", type));
    EXPECT_EQ(5000u, DwordValue(m_performance, L"Open Timeout"));
    RawValue(m_performance, L"Collect Timeout", type);
    EXPECT_EQ(static_cast<DWORD>(REG_NONE), type);
    EXPECT_EQ(std::wstring(L"TessalyExport") + L'\0' + L'\0', RawValue(Services + m_name + L"\\Linkage", L"Export", type));
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
    const DWORD first = m_installer.FirstCounterIndex(m_name);
    EXPECT_EQ(L"First help", InstalledText(L"Help", first + 3));

    // Registered by full path: the file is not the installer's to delete.
    EXPECT_EQ(0u, m_installer.Uninstall(m_name));
    EXPECT_TRUE(Exists(dll));
    EXPECT_FALSE(KeyExists(Services + m_name));
    EXPECT_EQ(L"", InstalledText(L"Counter", first));

    m_installer.Install(m_name, dll, true, m_symbols, m_ini, L"", 10000, 3000, L"");
    EXPECT_EQ(3000u, DwordValue(m_performance, L"Collect Timeout"));
    RawValue(m_performance, L"Open Timeout", type);
    EXPECT_EQ(static_cast<DWORD>(REG_NONE), type);
    EXPECT_EQ(L"%SystemRoot%\\System32\\TessalyTestCounters.dll", m_installer.GetInstalledCounterDLLName(m_name));
    EXPECT_EQ(0u, m_installer.Uninstall(m_name));
    CNativeFileSystem native;
    EXPECT_FALSE(Exists(System64(L"TessalyTestCounters.dll")));
}

TESSALY_CHILD_MAIN(HoldFileOpen)
{
    CNativeFileSystem native;
    const HANDLE file = ::CreateFileW(args.at(0).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                      nullptr);
    HANDLE held = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, args.at(1).c_str());
    HANDLE release = ::OpenEventW(SYNCHRONIZE, FALSE, args.at(2).c_str());
    if (file == INVALID_HANDLE_VALUE || !held || !release)
    {
        return 20;
    }
    ::SetEvent(held);
    const DWORD waited = ::WaitForSingleObject(release, 60000);
    ::CloseHandle(file);
    return waited == WAIT_OBJECT_0 ? 0 : 21;
}

TEST_F(PerformanceCounterInstallerTest, UninstallWhileAnotherProcessHoldsTheCopyChangesNothing)
{
    ASSERT_EQ(0x11u, InstallBoth());
    const DWORD first = m_installer.FirstCounterIndex(m_name);
    const std::wstring heldName = UniqueName(L"held");
    const std::wstring releaseName = UniqueName(L"release");
    const HANDLE held = ::CreateEventW(nullptr, TRUE, FALSE, heldName.c_str());
    const HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str());
    {
        CChildProcess child(L"HoldFileOpen", {System64(m_fileName), heldName, releaseName});
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(held, 60000));

        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), m_installer.Uninstall(m_name));
        EXPECT_TRUE(m_installer.IsInstalled(m_name));
        EXPECT_EQ(first, m_installer.FirstCounterIndex(m_name));
        EXPECT_EQ(L"%SystemRoot%\\System32\\" + m_fileName, m_installer.GetInstalledCounterDLLName(m_name));
        EXPECT_EQ(L"Installer Test Object", InstalledText(L"Counter", first));
        {
            CNativeFileSystem native;
            EXPECT_TRUE(Exists(System64(m_fileName)));
            EXPECT_TRUE(Exists(System32(m_fileName)));
        }
        ::SetEvent(release);
        EXPECT_EQ(0u, child.Wait());
    }
    ::CloseHandle(held);
    ::CloseHandle(release);
    EXPECT_EQ(0u, m_installer.Uninstall(m_name));
    EXPECT_FALSE(m_installer.IsInstalled(m_name));
}

// Which Library values name copies the installer made (and so deletes on uninstall).
TEST(PerformanceCounterInstallerNamesTest, CopiedFileNameOfALibraryValue)
{
    const std::pair<const wchar_t *, const wchar_t *> rows[] = {
        {L"%SystemRoot%\\System32\\Tessaly.dll", L"Tessaly.dll"},
        {L"%systemroot%\\system32\\Tessaly.dll", L"Tessaly.dll"},
        {L"Tessaly.dll", L"Tessaly.dll"},
        {L"%SystemRoot%\\System32\\sub\\Tessaly.dll", L""},
        {L"C:\\Program Files\\Tessaly\\Tessaly.dll", L""},
        {L"%SystemRoot%\\System32\\", L""},
    };
    for (const auto &row : rows)
    {
        EXPECT_EQ(std::wstring(row.second), CPerformanceCounterInstaller::CopiedFileName(row.first)) << row.first;
    }
}
