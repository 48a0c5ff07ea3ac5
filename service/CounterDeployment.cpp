#include "service/CounterDeployment.h"

#include "perfmon/PerformanceCounterInstaller.h"
#include "perfmon/PerformanceDataSchemaFileExporter.h"
#include "service/TcpCounterSchema.h"
#include "win32/DebugTrace.h"
#include "win32/Exception.h"
#include "win32/FileUtils.h"
#include "win32/SmartHandle.h"
#include "win32/SystemDirectories.h"
#include "win32/ToString.h"

using CorvaneTools::PerfMon::CPerformanceCounterInstaller;
using CorvaneTools::PerfMon::CPerformanceDataSchema;
using CorvaneTools::PerfMon::CPerformanceDataSchemaFileExporter;
using CorvaneTools::Win32::CDebugTrace;

namespace {

const wchar_t s_productName[] = L"Tessaly";
const DWORD s_defaultTimeout = 10000;

// The name of the copies in the system directories.
std::wstring OwnLibrary()
{
    return std::wstring(s_productName) + L".dll";
}

bool Refuse(const std::wstring &text, std::wstring &message)
{
    message = text;
    CDebugTrace::Log(message);
    return false;
}

// The installer's own test: a copy that cannot be opened for deletion is held by a reader.
// Returns the held copy's path, or empty when none is held.
std::wstring HeldCopy(const std::wstring &library, DWORD &error)
{
    for (const std::wstring &directory :
         {CorvaneTools::Win32::GetSystemDirectory(), CorvaneTools::Win32::GetSystemWow64Directory()})
    {
        const std::wstring path = directory + L"\\" + CPerformanceCounterInstaller::CopiedFileName(library);
        const CorvaneTools::Win32::CSmartHandle copy(::CreateFileW(path.c_str(), DELETE | GENERIC_WRITE,
                                                                   FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        error = copy.IsValid() ? ERROR_SUCCESS : ::GetLastError();
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
        {
            return path;
        }
    }
    return std::wstring();
}

std::wstring InUseText(const std::wstring &copy, DWORD error)
{
    return L"Performance counters NOT removed: \"" + copy +
           L"\" is in use by a program that reads performance data (error " +
           CorvaneTools::Win32::ToString(static_cast<unsigned long>(error)) +
           L"). Close every program that reads performance data, such as a performance monitor, then run /remove "
           L"again.";
}

// One of the DLL builds the program carries, as the bytes of its resource: never written
// anywhere but its place in the system directories.
CPerformanceCounterInstaller::CDllImage CarriedBuild(const wchar_t *resourceName)
{
    const CorvaneTools::Win32::CByteView bytes =
        CorvaneTools::Win32::GetResourceBytes(resourceName, L"DLL", ::GetModuleHandleW(nullptr));
    return CPerformanceCounterInstaller::CDllImage{resourceName, bytes.data, bytes.size};
}

// Everything made here is gone again when it returns, in the reverse order of making.
void DeployAndRegister(CPerformanceCounterInstaller &installer)
{
    // The 64-bit program runs only on a 64-bit system, where readers of both kinds exist.
    const CPerformanceCounterInstaller::CDllImage x86 = CarriedBuild(L"PerfMonDll86");
    const CPerformanceCounterInstaller::CDllImage x64 = CarriedBuild(L"PerfMonDll64");
    CPerformanceDataSchema schema(L"009");
    BuildTcpCounterSchema(schema);
    const CPerformanceDataSchemaFileExporter exporter;
    const std::wstring checksum = schema.GetChecksum();
    const std::wstring iniFile = exporter.WriteIniFile(TcpCounterSetName, schema);
    const std::wstring symbolFile = exporter.WriteSymbolFile(TcpCounterSetName, schema);
    const DWORD installed = installer.InstallImages(TcpCounterSetName, x86, x64, OwnLibrary(), symbolFile, iniFile,
                                                    L"", s_defaultTimeout, s_defaultTimeout, checksum);
    if (installed != (CPerformanceCounterInstaller::InstalledX86 | CPerformanceCounterInstaller::InstalledX64))
    {
        throw CorvaneTools::Win32::CException(L"InstallPerformanceCounters()",
                                              L"Not every counter DLL was installed (flags " +
                                                  CorvaneTools::Win32::ToString(static_cast<unsigned long>(installed)) +
                                                  L")");
    }
}

// A registration damaged after install (no readable first counter, a library naming another
// file) no longer leads the removal to the copies this product put there; they go anyway.
// Appends to the message what could not be deleted.
void RemoveOwnCopies(std::wstring &message)
{
    for (const std::wstring &directory :
         {CorvaneTools::Win32::GetSystemDirectory(), CorvaneTools::Win32::GetSystemWow64Directory()})
    {
        const std::wstring path = directory + L"\\" + OwnLibrary();
        if (::DeleteFileW(path.c_str()))
        {
            CDebugTrace::Log(L"Performance counter DLL removed: \"" + path + L"\"");
            continue;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
        {
            const std::wstring text = L"Performance counter DLL NOT removed: \"" + path + L"\" (error " +
                                      CorvaneTools::Win32::ToString(static_cast<unsigned long>(error)) + L")";
            CDebugTrace::Log(text);
            message += (message.empty() ? L"" : L"\n") + text;
        }
    }
}

} // namespace

bool InstallPerformanceCounters(std::wstring &message)
{
    CPerformanceCounterInstaller installer;
    if (installer.IsInstalled(TcpCounterSetName))
    {
        return Refuse(L"Performance counters are already installed", message);
    }
    try
    {
        DeployAndRegister(installer);
    }
    catch (const CorvaneTools::Win32::CException &e)
    {
        // The framework reports it too, but only in a message nobody may see.
        CDebugTrace::Log(L"Performance counters NOT installed: " + e.GetWhere() + L" - " + e.GetMessage());
        throw;
    }
    CDebugTrace::Log(L"Performance counters installed");
    return true;
}

bool RemovePerformanceCounters(std::wstring &message)
{
    CPerformanceCounterInstaller installer;
    if (!installer.IsInstalled(TcpCounterSetName))
    {
        Refuse(L"Performance counters are not installed, so cannot be removed", message);
        RemoveOwnCopies(message);
        return false;
    }
    const std::wstring library = installer.GetInstalledCounterDLLName(TcpCounterSetName);
    const DWORD error = installer.Uninstall(TcpCounterSetName);
    if (error != 0)
    {
        // Nothing was removed: a later remove finds it all again, provided the service,
        // whose registry key holds the registration, is still there.
        DWORD held;
        const std::wstring copy = HeldCopy(library, held);
        return Refuse(InUseText(copy.empty() ? library : copy, error), message);
    }
    std::wstring left;
    if (::_wcsicmp(CPerformanceCounterInstaller::CopiedFileName(library).c_str(), OwnLibrary().c_str()) != 0)
    {
        RemoveOwnCopies(left);
    }
    CDebugTrace::Log(L"Performance counters removed");
    if (left.empty())
    {
        return true;
    }
    message = left;
    return false;
}

bool PerformanceCountersCanBeRemoved(std::wstring &message)
{
    CPerformanceCounterInstaller installer;
    if (!installer.IsInstalled(TcpCounterSetName))
    {
        return true;
    }
    std::wstring library;
    try
    {
        library = installer.GetInstalledCounterDLLName(TcpCounterSetName);
    }
    catch (const CorvaneTools::Win32::CException &)
    {
        // A registration without a library is the remove's to report.
        return true;
    }
    DWORD error = ERROR_SUCCESS;
    const std::wstring copy =
        CPerformanceCounterInstaller::CopiedFileName(library).empty() ? std::wstring() : HeldCopy(library, error);
    // Access denied is left to the remove, which asks for elevation where the platform can.
    return copy.empty() || error != ERROR_SHARING_VIOLATION || Refuse(InUseText(copy, error), message);
}
