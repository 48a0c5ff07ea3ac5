#include "perfmon/PerformanceCounterInstaller.h"

#include "perfmon/CounterDllFiles.h"
#include "win32/errors/Exception.h"
#include "win32/errors/Win32Exception.h"
#include "win32/files/FileUtils.h"
#include "win32/handles/SmartHandle.h"
#include "win32/system/SystemDirectories.h"
#include "win32/system/SystemInfo.h"
#include "win32/system/WOW64FileSystemRedirector.h"

#include <loadperf.h>

#include <cwchar>
#include <memory>
#include <vector>

namespace CorvaneTools {
namespace PerfMon {

using Win32::CException;
using Win32::CRegistryKey;
using Win32::CSmartHandle;
using Win32::CWin32Exception;
using Win32::CWOW64FileSystemRedirector;

namespace {

const wchar_t ServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services\\";
const DWORD DefaultTimeout = 10000;

std::vector<wchar_t> CommandLine(const std::wstring &argument)
{
    const std::wstring text = L"NotUsed \"" + argument + L"\"";
    return std::vector<wchar_t>(text.c_str(), text.c_str() + text.size() + 1);
}

} // namespace

bool CPerformanceCounterInstaller::CanInstall()
{
    try
    {
        OpenServicesKey();
        return true;
    }
    catch (const CRegistryKey::Exception &)
    {
        return false;
    }
}

void CPerformanceCounterInstaller::Install(const std::wstring &name, const std::wstring &dllPath,
                                           bool copyToSystemDirectory, const std::wstring &symbolFilePath,
                                           const std::wstring &iniFilePath, const std::wstring &openFunction,
                                           const std::wstring &collectFunction, const std::wstring &closeFunction,
                                           const std::wstring &exportName, DWORD openTimeout, DWORD collectTimeout,
                                           const std::wstring &schemaChecksum)
{
    (void)symbolFilePath;
    ValidateParameters(name);
    ValidateDLL(dllPath, Win32::Is64bitSystem(), openFunction, collectFunction, closeFunction);
    std::wstring library = dllPath;
    DWORD libraryType = REG_SZ;
    if (copyToSystemDirectory)
    {
        const CFileImage file(dllPath);
        ValidateImage(file.image, Win32::Is64bitSystem(), openFunction, collectFunction, closeFunction);
        PlaceInSystemDirectory(file.image, Win32::GetFileNamePart(dllPath), m_deletedAtRestart);
        library = CopyLibraryValue(Win32::GetFileNamePart(dllPath));
        libraryType = REG_EXPAND_SZ;
    }
    Register(name, library, libraryType, iniFilePath, openFunction, collectFunction, closeFunction, exportName, openTimeout,
             collectTimeout, schemaChecksum);
}

void CPerformanceCounterInstaller::Install(const std::wstring &name, const std::wstring &dllPath,
                                           bool copyToSystemDirectory, const std::wstring &symbolFilePath,
                                           const std::wstring &iniFilePath, const std::wstring &exportName,
                                           DWORD openTimeout, DWORD collectTimeout,
                                           const std::wstring &schemaChecksum)
{
    Install(name, dllPath, copyToSystemDirectory, symbolFilePath, iniFilePath, L"PerfData_Open", L"PerfData_Collect",
            L"PerfData_Close", exportName, openTimeout, collectTimeout, schemaChecksum);
}

DWORD CPerformanceCounterInstaller::Install(const std::wstring &name, const std::wstring &x86DllPath,
                                            const std::wstring &x64DllPath, const std::wstring &dllFileName,
                                            const std::wstring &symbolFilePath, const std::wstring &iniFilePath,
                                            const std::wstring &openFunction, const std::wstring &collectFunction,
                                            const std::wstring &closeFunction, const std::wstring &exportName,
                                            DWORD openTimeout, DWORD collectTimeout,
                                            const std::wstring &schemaChecksum)
{
    (void)symbolFilePath;
    ValidateParameters(name);
    // Read once each: the bytes checked are the bytes written.
    std::unique_ptr<CFileImage> x86;
    std::unique_ptr<CFileImage> x64;
    const bool bothKinds = HasRedirection();
    if (bothKinds && FileExists(x64DllPath))
    {
        x64.reset(new CFileImage(x64DllPath));
    }
    if (FileExists(x86DllPath))
    {
        x86.reset(new CFileImage(x86DllPath));
    }
    const CDllImage none = {std::wstring(), nullptr, 0};
    const DWORD flags = PlaceDLLs(x86 ? x86->image : none, x64 ? x64->image : none, dllFileName, openFunction,
                                  collectFunction, closeFunction);
    if (flags != 0)
    {
        Register(name, CopyLibraryValue(dllFileName), REG_EXPAND_SZ, iniFilePath, openFunction, collectFunction,
                 closeFunction, exportName, openTimeout, collectTimeout, schemaChecksum);
    }
    return flags;
}

DWORD CPerformanceCounterInstaller::InstallImages(const std::wstring &name, const CDllImage &x86,
                                                  const CDllImage &x64, const std::wstring &dllFileName,
                                                  const std::wstring &symbolFilePath, const std::wstring &iniFilePath,
                                                  const std::wstring &exportName, DWORD openTimeout,
                                                  DWORD collectTimeout, const std::wstring &schemaChecksum)
{
    (void)symbolFilePath;
    ValidateParameters(name);
    const DWORD flags = PlaceDLLs(x86, x64, dllFileName, L"PerfData_Open", L"PerfData_Collect", L"PerfData_Close");
    if (flags != 0)
    {
        Register(name, CopyLibraryValue(dllFileName), REG_EXPAND_SZ, iniFilePath, L"PerfData_Open",
                 L"PerfData_Collect", L"PerfData_Close", exportName, openTimeout, collectTimeout, schemaChecksum);
    }
    return flags;
}

DWORD CPerformanceCounterInstaller::Install(const std::wstring &name, const std::wstring &x86DllPath,
                                            const std::wstring &x64DllPath, const std::wstring &dllFileName,
                                            const std::wstring &symbolFilePath, const std::wstring &iniFilePath,
                                            const std::wstring &exportName, DWORD openTimeout, DWORD collectTimeout,
                                            const std::wstring &schemaChecksum)
{
    return Install(name, x86DllPath, x64DllPath, dllFileName, symbolFilePath, iniFilePath, L"PerfData_Open",
                   L"PerfData_Collect", L"PerfData_Close", exportName, openTimeout, collectTimeout, schemaChecksum);
}

DWORD CPerformanceCounterInstaller::Uninstall(const std::wstring &name)
{
    const wchar_t where[] = L"CPerformanceCounterInstaller::Uninstall()";
    if (!IsInstalled(name))
    {
        throw CException(where, L"Performance counters for application: \"" + name + L"\" are not currently installed");
    }
    m_deletedAtRestart.clear();
    const std::wstring library = CopiedFileName(GetInstalledCounterDLLName(name));
    if (!library.empty())
    {
        // Nothing is removed while a copy cannot go; a copy a reader has loaded goes aside.
        const DWORD blocked = RemoveCopies(library);
        if (blocked != 0)
        {
            return blocked;
        }
    }
    std::vector<wchar_t> commandLine = CommandLine(name);
    const DWORD result = ::UnloadPerfCounterTextStringsW(commandLine.data(), TRUE);
    if (result != 0)
    {
        throw CWin32Exception(where, result);
    }
    RemoveRegistryEntries(name);
    return 0;
}

bool CPerformanceCounterInstaller::IsInstalled(const std::wstring &name)
{
    try
    {
        FirstCounterIndex(name);
        return true;
    }
    catch (...)
    {
        return false;
    }
}

DWORD CPerformanceCounterInstaller::FirstCounterIndex(const std::wstring &name)
{
    DWORD index = 0;
    if (!ReadPerformanceKey(name).QueryValue(L"First Counter", index))
    {
        throw CException(L"CPerformanceCounterInstaller::FirstCounterIndex()", L"FirstCounter not found");
    }
    return index;
}

std::wstring CPerformanceCounterInstaller::GetSchemaChecksum(const std::wstring &name)
{
    std::wstring checksum;
    if (!ReadPerformanceKey(name).QueryValue(L"SchemaChecksum", checksum))
    {
        throw CException(L"CPerformanceCounterInstaller::GetSchemaChecksum()", L"SchemaChecksum not found");
    }
    return checksum;
}

std::wstring CPerformanceCounterInstaller::GetInstalledCounterDLLName(const std::wstring &name)
{
    std::wstring library;
    if (!ReadPerformanceKey(name).QueryValue(L"Library", library))
    {
        throw CException(L"CPerformanceCounterInstaller::GetInstalledCounterDLLName()", L"Library key not found");
    }
    return library;
}

void CPerformanceCounterInstaller::RemoveRegistryEntries(const std::wstring &name)
{
    try
    {
        CRegistryKey services = OpenServicesKey();
        CRegistryKey application = services.OpenKey(name.c_str(), KEY_WRITE);
        try
        {
            application.DeleteKey(L"Performance");
        }
        catch (const CRegistryKey::Exception &)
        {
        }
        try
        {
            application.DeleteKey(L"Linkage");
        }
        catch (const CRegistryKey::Exception &)
        {
        }
        services.DeleteKey(name.c_str());
    }
    catch (const CRegistryKey::Exception &)
    {
    }
}

void CPerformanceCounterInstaller::ValidateParameters(const std::wstring &name)
{
    m_deletedAtRestart.clear();
    if (IsInstalled(name))
    {
        throw CException(L"CPerformanceCounterInstaller::ValidateParameters()",
                         L"Performance counters for application: \"" + name + L"\" are already installed");
    }
}

void CPerformanceCounterInstaller::Register(const std::wstring &name, const std::wstring &library,
                                            DWORD libraryType, const std::wstring &iniFilePath, const std::wstring &openFunction,
                                            const std::wstring &collectFunction, const std::wstring &closeFunction,
                                            const std::wstring &exportName, DWORD openTimeout, DWORD collectTimeout,
                                            const std::wstring &schemaChecksum)
{
    WriteRegistryValues(name, library, libraryType, openFunction, collectFunction, closeFunction, exportName, openTimeout,
                        collectTimeout, schemaChecksum);
    std::vector<wchar_t> commandLine = CommandLine(iniFilePath);
    const DWORD result = ::LoadPerfCounterTextStringsW(commandLine.data(), TRUE);
    if (result != 0)
    {
        RemoveRegistryEntries(name);
        throw CWin32Exception(L"CPerformanceCounterInstaller::Install()", result);
    }
}

void CPerformanceCounterInstaller::WriteRegistryValues(const std::wstring &name, const std::wstring &library,
                                                       DWORD libraryType,
                                                       const std::wstring &openFunction,
                                                       const std::wstring &collectFunction,
                                                       const std::wstring &closeFunction,
                                                       const std::wstring &exportName, DWORD openTimeout,
                                                       DWORD collectTimeout, const std::wstring &schemaChecksum)
{
    CRegistryKey performance = OpenPerformanceKey(name);
    performance.SetValue(L"Library", library.c_str(), libraryType);
    performance.SetValue(L"Open", openFunction.c_str());
    performance.SetValue(L"Collect", collectFunction.c_str());
    performance.SetValue(L"Close", closeFunction.c_str());
    if (!exportName.empty())
    {
        CRegistryKey linkage =
            OpenApplicationKey(name).CreateOrOpenKey(L"Linkage", nullptr, L"", REG_OPTION_NON_VOLATILE, KEY_WRITE);
        linkage.SetMultiStringValue(L"Export", std::vector<std::wstring>(1, exportName));
    }
    if (openTimeout != DefaultTimeout)
    {
        performance.SetValue(L"Open Timeout", openTimeout);
    }
    if (collectTimeout != DefaultTimeout)
    {
        performance.SetValue(L"Collect Timeout", collectTimeout);
    }
    if (!schemaChecksum.empty())
    {
        performance.SetValue(L"SchemaChecksum", schemaChecksum.c_str());
    }
}

CRegistryKey CPerformanceCounterInstaller::OpenServicesKey()
{
    return CRegistryKey(HKEY_LOCAL_MACHINE, ServicesKey, KEY_CREATE_SUB_KEY);
}

CRegistryKey CPerformanceCounterInstaller::OpenApplicationKey(const std::wstring &name)
{
    return OpenServicesKey().CreateOrOpenKey(name.c_str(), nullptr, L"", REG_OPTION_NON_VOLATILE, KEY_WRITE);
}

CRegistryKey CPerformanceCounterInstaller::OpenPerformanceKey(const std::wstring &name)
{
    return OpenApplicationKey(name).CreateOrOpenKey(L"Performance", nullptr, L"", REG_OPTION_NON_VOLATILE, KEY_WRITE);
}

CRegistryKey CPerformanceCounterInstaller::ReadPerformanceKey(const std::wstring &name)
{
    return CRegistryKey(HKEY_LOCAL_MACHINE, (ServicesKey + name + L"\\Performance").c_str(), KEY_READ);
}

} // namespace PerfMon
} // namespace CorvaneTools
