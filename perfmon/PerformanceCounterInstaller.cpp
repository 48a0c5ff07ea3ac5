#include "perfmon/PerformanceCounterInstaller.h"

#include "perfmon/RawImage.h"
#include "win32/Exception.h"
#include "win32/FileReplacement.h"
#include "win32/FileUtils.h"
#include "win32/SmartHandle.h"
#include "win32/SystemDirectories.h"
#include "win32/SystemInfo.h"
#include "win32/WOW64FileSystemRedirector.h"
#include "win32/Win32Exception.h"

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
// "Creating the Application's Performance Key": Library may be a full path, and as
// REG_EXPAND_SZ it may hold environment variables. By bare name the reader's DLL search,
// not the system directory, would decide which file is loaded.
const wchar_t SystemCopyDirectory[] = L"%SystemRoot%\\System32\\";

// The file read once; its bytes are then checked and written.
struct CFileImage
{
    explicit CFileImage(const std::wstring &path)
        : bytes(Win32::ReadFileBytes(path)), image{path, bytes.data(), bytes.size()}
    {
    }
    std::vector<BYTE> bytes;
    IInstallPerformanceMonitorCounters::CDllImage image;
};

bool FileExists(const std::wstring &path)
{
    CSmartHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.IsValid();
}

// 32-bit code on a 64-bit system sees the 32-bit system directory under the name of the
// 64-bit one unless redirection is switched off.
bool SystemDirectoryIsRedirected()
{
#if defined(_WIN64)
    return false;
#else
    return Win32::Is64bitSystem();
#endif
}

bool HasRedirection()
{
    return Win32::Is64bitSystem() && CWOW64FileSystemRedirector::IsAvailable();
}

bool IsVistaOrLater()
{
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const BOOL known = ::GetVersionExW(&version);
#pragma GCC diagnostic pop
    return known && version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 6;
}

std::vector<wchar_t> CommandLine(const std::wstring &argument)
{
    const std::wstring text = L"NotUsed \"" + argument + L"\"";
    return std::vector<wchar_t>(text.c_str(), text.c_str() + text.size() + 1);
}

std::wstring Quoted(const std::wstring &path)
{
    return L"PerformanceCounterDll: \"" + path + L"\"";
}

// Error of opening a system copy for deletion the way the deletion itself will; 0 when it
// could be deleted.
DWORD DeletionBlocked(const std::wstring &path)
{
    CSmartHandle file(::CreateFileW(path.c_str(), DELETE | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.IsValid() ? 0 : ::GetLastError();
}

// 0 also when there was nothing to delete.
DWORD DeleteCopy(const std::wstring &path)
{
    if (::DeleteFileW(path.c_str()))
    {
        return 0;
    }
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
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
        PlaceInSystemDirectory(file.image, Win32::GetFileNamePart(dllPath));
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

DWORD CPerformanceCounterInstaller::PlaceDLLs(const CDllImage &x86, const CDllImage &x64,
                                              const std::wstring &dllFileName, const std::wstring &openFunction,
                                              const std::wstring &collectFunction, const std::wstring &closeFunction)
{
    DWORD flags = 0;
    if (HasRedirection())
    {
        if (x64.data)
        {
            ValidateImage(x64, true, openFunction, collectFunction, closeFunction);
            PlaceInSystemDirectory(x64, dllFileName);
            flags = InstalledX64;
        }
        if (x86.data)
        {
            ValidateImage(x86, false, openFunction, collectFunction, closeFunction);
            PlaceInSysWOW64(x86, dllFileName);
            flags |= InstalledX86;
        }
    }
    else if (x86.data)
    {
        ValidateImage(x86, false, openFunction, collectFunction, closeFunction);
        PlaceInSystemDirectory(x86, dllFileName);
        flags = InstalledX86;
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
    const std::wstring library = CopiedFileName(GetInstalledCounterDLLName(name));
    if (!library.empty())
    {
        std::vector<std::wstring> candidates(1, Win32::GetSystemDirectory() + L"\\" + library);
        if (HasRedirection())
        {
            candidates.push_back(Win32::GetSystemWow64Directory() + L"\\" + library);
        }
        CWOW64FileSystemRedirector redirector;
        if (SystemDirectoryIsRedirected())
        {
            redirector.Disable();
        }
        for (const std::wstring &candidate : candidates)
        {
            const DWORD error = DeletionBlocked(candidate);
            if (error == ERROR_ACCESS_DENIED && IsVistaOrLater())
            {
                // The caller can ask for elevation and try again.
                throw CWin32Exception(where, error);
            }
            if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
            {
                return error;
            }
        }
        const DWORD error = DeleteCopy(candidates[0]);
        if (error != 0)
        {
            return error;
        }
        if (candidates.size() > 1)
        {
            const DWORD error32 = DeleteCopy(candidates[1]);
            if (error32 != 0)
            {
                throw CWin32Exception(L"CPerformanceCounterInstaller::Uninstall() - Failed to delete: \"" +
                                          candidates[1] + L"\"",
                                      error32);
            }
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

void CPerformanceCounterInstaller::ValidateDLL(const std::wstring &path, bool expectX64,
                                               const std::wstring &openFunction, const std::wstring &collectFunction,
                                               const std::wstring &closeFunction)
{
    const wchar_t where[] = L"CPerformanceCounterInstaller::ValidateDLL()";
    if (!FileExists(path))
    {
        throw CException(where, Quoted(path) + L" does not exist.");
    }
    const CFileImage file(path);
    ValidateImage(file.image, expectX64, openFunction, collectFunction, closeFunction);
}

void CPerformanceCounterInstaller::ValidateImage(const CDllImage &dll, bool expectX64,
                                                 const std::wstring &openFunction,
                                                 const std::wstring &collectFunction,
                                                 const std::wstring &closeFunction)
{
    const wchar_t where[] = L"CPerformanceCounterInstaller::ValidateDLL()";
    const CRawImage image(dll.data, dll.size, false);
    const std::wstring &path = dll.label;
    if (!image.IsValidImage() || !image.IsDLL())
    {
        throw CException(where, Quoted(path) + L" is not a valid dll image file.");
    }
    if (expectX64 && !image.IsX64())
    {
        throw CException(where, Quoted(path) + L" is not an x64 dll.");
    }
    if (!expectX64 && !image.IsX86())
    {
        throw CException(where, Quoted(path) + L" is not a Win32 dll.");
    }
    const std::pair<const std::wstring *, const wchar_t *> entryPoints[] = {
        {&openFunction, L"open"}, {&collectFunction, L"collect"}, {&closeFunction, L"close"}};
    for (const auto &entryPoint : entryPoints)
    {
        if (!image.ExportsFunction(*entryPoint.first))
        {
            throw CException(where, Quoted(path) + L" does not export " + entryPoint.second + L" function: \"" +
                                        *entryPoint.first + L"\"");
        }
    }
}

std::wstring CPerformanceCounterInstaller::PlaceInSystemDirectory(const CDllImage &image,
                                                                  const std::wstring &fileName)
{
    const std::wstring destination = Win32::GetSystemDirectory() + L"\\" + fileName;
    CWOW64FileSystemRedirector redirector;
    if (SystemDirectoryIsRedirected())
    {
        redirector.Disable();
    }
    Win32::ReplaceFileContents(destination, Win32::CByteView{image.data, image.size});
    return destination;
}

std::wstring CPerformanceCounterInstaller::PlaceInSysWOW64(const CDllImage &image, const std::wstring &fileName)
{
    const std::wstring destination = Win32::GetSystemWow64Directory() + L"\\" + fileName;
    Win32::ReplaceFileContents(destination, Win32::CByteView{image.data, image.size});
    return destination;
}

std::wstring CPerformanceCounterInstaller::CopyLibraryValue(const std::wstring &fileName)
{
    return SystemCopyDirectory + fileName;
}

std::wstring CPerformanceCounterInstaller::CopiedFileName(const std::wstring &library)
{
    if (library.find(L'\\') == std::wstring::npos)
    {
        return library;
    }
    const size_t prefix = std::wcslen(SystemCopyDirectory);
    const std::wstring rest = library.size() > prefix ? library.substr(prefix) : std::wstring();
    return ::_wcsnicmp(library.c_str(), SystemCopyDirectory, prefix) == 0 && rest.find(L'\\') == std::wstring::npos
               ? rest
               : std::wstring();
}

void CPerformanceCounterInstaller::ValidateParameters(const std::wstring &name)
{
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
