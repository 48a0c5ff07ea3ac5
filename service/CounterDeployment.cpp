#include "service/CounterDeployment.h"

#include "counters/TcpCounterSchema.h"
#include "perfmon/CounterDllFiles.h"
#include "perfmon/PerformanceCounterInstaller.h"
#include "perfmon/PerformanceDataSchemaFileExporter.h"
#include "win32/errors/Exception.h"
#include "win32/files/FileUtils.h"
#include "win32/files/RestartDeletion.h"
#include "win32/log/DebugTrace.h"
#include "win32/text/ToString.h"

namespace CorvaneTools {
namespace TessalyService {

using Counters::BuildTcpCounterSchema;
using Counters::TcpCounterSetName;
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
void RemoveOwnCopies(std::vector<std::wstring> &deletedAtRestart)
{
    for (const std::wstring &path : CorvaneTools::PerfMon::SystemCopyPaths(OwnLibrary()))
    {
        std::wstring aside;
        if (CorvaneTools::Win32::DeleteNowOrAtRestart(path, aside))
        {
            CDebugTrace::Log(aside.empty() ? L"Performance counter DLL removed: \"" + path + L"\""
                                           : L"Performance counter DLL in use: \"" + path + L"\" moved to \"" +
                                                 aside + L"\", which is deleted at the next restart");
        }
        if (!aside.empty())
        {
            deletedAtRestart.push_back(aside);
        }
    }
}

void Report(const std::vector<std::wstring> &found, std::vector<std::wstring> *deletedAtRestart)
{
    for (const std::wstring &aside : found)
    {
        CDebugTrace::Log(L"Performance counter DLL moved aside, deleted at the next restart: \"" + aside + L"\"");
    }
    if (deletedAtRestart)
    {
        deletedAtRestart->insert(deletedAtRestart->end(), found.begin(), found.end());
    }
}

// What a failed install leaves is removed again; what cannot be is said in the log.
void TakeBack(CPerformanceCounterInstaller &installer, std::vector<std::wstring> *deletedAtRestart) noexcept
{
    std::vector<std::wstring> asides;
    try
    {
        if (installer.IsInstalled(TcpCounterSetName))
        {
            const DWORD error = installer.Uninstall(TcpCounterSetName);
            if (error != 0)
            {
                CDebugTrace::Log(L"Performance counters NOT taken back (error " +
                                 CorvaneTools::Win32::ToString(static_cast<unsigned long>(error)) + L")");
                return;
            }
            asides = installer.DeletedAtRestart();
        }
        RemoveOwnCopies(asides);
        CDebugTrace::Log(L"Performance counter installation taken back");
        Report(asides, deletedAtRestart);
    }
    catch (const CorvaneTools::Win32::CException &e)
    {
        CDebugTrace::Log(L"Performance counters NOT taken back: " + e.GetWhere() + L" - " + e.GetMessage());
    }
    catch (...)
    {
        CDebugTrace::Log(L"Performance counters NOT taken back");
    }
}

} // namespace

bool InstallPerformanceCounters(std::wstring &message, std::vector<std::wstring> *deletedAtRestart)
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
        TakeBack(installer, deletedAtRestart);
        throw;
    }
    catch (...)
    {
        TakeBack(installer, deletedAtRestart);
        throw;
    }
    Report(installer.DeletedAtRestart(), deletedAtRestart);
    CDebugTrace::Log(L"Performance counters installed");
    return true;
}

bool RemovePerformanceCounters(std::wstring &message, std::vector<std::wstring> *deletedAtRestart)
{
    CPerformanceCounterInstaller installer;
    std::vector<std::wstring> asides;
    if (!installer.IsInstalled(TcpCounterSetName))
    {
        CDebugTrace::Log(L"Performance counters are not installed, so cannot be removed");
        RemoveOwnCopies(asides);
        Report(asides, deletedAtRestart);
        return false;
    }
    const std::wstring library = installer.GetInstalledCounterDLLName(TcpCounterSetName);
    const DWORD error = installer.Uninstall(TcpCounterSetName);
    if (error != 0)
    {
        // Nothing was removed: a later remove finds it all again, provided the service,
        // whose registry key holds the registration, is still there.
        DWORD held;
        const std::wstring copy =
            CPerformanceCounterInstaller::FindBlockedCopy(CPerformanceCounterInstaller::CopiedFileName(library), held);
        return Refuse(InUseText(copy.empty() ? library : copy, error), message);
    }
    asides = installer.DeletedAtRestart();
    if (::_wcsicmp(CPerformanceCounterInstaller::CopiedFileName(library).c_str(), OwnLibrary().c_str()) != 0)
    {
        RemoveOwnCopies(asides);
    }
    Report(asides, deletedAtRestart);
    CDebugTrace::Log(L"Performance counters removed");
    return true;
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
    const std::wstring copied = CPerformanceCounterInstaller::CopiedFileName(library);
    const std::wstring copy =
        copied.empty() ? std::wstring() : CPerformanceCounterInstaller::FindBlockedCopy(copied, error);
    // Access denied is left to the remove, which asks for elevation where the platform can.
    return copy.empty() || error != ERROR_SHARING_VIOLATION || Refuse(InUseText(copy, error), message);
}

std::wstring RestartNote(const std::vector<std::wstring> &deletedAtRestart)
{
    std::wstring note = L"A program that reads performance data still has the counter DLL loaded. These copies "
                        L"were moved aside and are deleted when Windows restarts:";
    for (const std::wstring &aside : deletedAtRestart)
    {
        note += L"\n\"" + aside + L"\"";
    }
    return note;
}

} // namespace TessalyService
} // namespace CorvaneTools
