#pragma once

#include "perfmon/IInstallPerformanceMonitorCounters.h"
#include "win32/registry/RegistryKey.h"

#include <string>
#include <vector>

namespace CorvaneTools {
namespace PerfMon {

// Installs counter DLLs for the platform's performance library: validates and copies the
// DLLs, writes the application's Performance (and Linkage) keys and loads the counter
// texts. Everything lives in the registry and the system directories; the installer keeps
// only what its last operation left for the next restart to delete.
class CPerformanceCounterInstaller : public IInstallPerformanceMonitorCounters
{
public:
    bool CanInstall() override;

    void Install(const std::wstring &name, const std::wstring &dllPath, bool copyToSystemDirectory,
                 const std::wstring &symbolFilePath, const std::wstring &iniFilePath, const std::wstring &openFunction,
                 const std::wstring &collectFunction, const std::wstring &closeFunction,
                 const std::wstring &exportName, DWORD openTimeout, DWORD collectTimeout,
                 const std::wstring &schemaChecksum) override;

    void Install(const std::wstring &name, const std::wstring &dllPath, bool copyToSystemDirectory,
                 const std::wstring &symbolFilePath, const std::wstring &iniFilePath, const std::wstring &exportName,
                 DWORD openTimeout, DWORD collectTimeout, const std::wstring &schemaChecksum) override;

    DWORD Install(const std::wstring &name, const std::wstring &x86DllPath, const std::wstring &x64DllPath,
                  const std::wstring &dllFileName, const std::wstring &symbolFilePath, const std::wstring &iniFilePath,
                  const std::wstring &openFunction, const std::wstring &collectFunction,
                  const std::wstring &closeFunction, const std::wstring &exportName, DWORD openTimeout,
                  DWORD collectTimeout, const std::wstring &schemaChecksum) override;

    DWORD Install(const std::wstring &name, const std::wstring &x86DllPath, const std::wstring &x64DllPath,
                  const std::wstring &dllFileName, const std::wstring &symbolFilePath, const std::wstring &iniFilePath,
                  const std::wstring &exportName, DWORD openTimeout, DWORD collectTimeout,
                  const std::wstring &schemaChecksum) override;

    DWORD InstallImages(const std::wstring &name, const CDllImage &x86, const CDllImage &x64,
                        const std::wstring &dllFileName, const std::wstring &symbolFilePath,
                        const std::wstring &iniFilePath, const std::wstring &exportName, DWORD openTimeout,
                        DWORD collectTimeout, const std::wstring &schemaChecksum) override;

    DWORD Uninstall(const std::wstring &name) override;

    bool IsInstalled(const std::wstring &name) override;
    DWORD FirstCounterIndex(const std::wstring &name) override;
    std::wstring GetSchemaChecksum(const std::wstring &name) override;
    std::wstring GetInstalledCounterDLLName(const std::wstring &name) override;

    // Removes the application's Performance and Linkage keys and then its own key unless
    // something else still lives there; registry failures end it silently.
    static void RemoveRegistryEntries(const std::wstring &name);

    static void ValidateDLL(const std::wstring &path, bool expectX64, const std::wstring &openFunction,
                            const std::wstring &collectFunction, const std::wstring &closeFunction);
    static void ValidateImage(const CDllImage &image, bool expectX64, const std::wstring &openFunction,
                              const std::wstring &collectFunction, const std::wstring &closeFunction);

    // Both return the destination path; the copy there is replaced in one step or not at all.
    // An old copy a reader still has loaded is moved aside; its name is added to the list.
    static std::wstring PlaceInSystemDirectory(const CDllImage &image, const std::wstring &fileName,
                                               std::vector<std::wstring> &deletedAtRestart);
    static std::wstring PlaceInSysWOW64(const CDllImage &image, const std::wstring &fileName,
                                        std::vector<std::wstring> &deletedAtRestart);
    // The error that keeps a copy from being removed now or at restart; 0 when it can go
    // (also when it is not there).
    static DWORD RemovalBlocked(const std::wstring &path);
    // The first copy of fileName in the system directories that cannot be removed, with
    // its error; empty with error 0 when every copy can go.
    static std::wstring FindBlockedCopy(const std::wstring &fileName, DWORD &error);
    // The old copies the last install or uninstall moved aside, which the system deletes at
    // its next restart because readers still had them loaded.
    const std::vector<std::wstring> &DeletedAtRestart() const;

    // The Library value of a copy in the system directories: its full path, with the
    // system root left for the reader to expand (a 32-bit reader lands in SysWOW64).
    static std::wstring CopyLibraryValue(const std::wstring &fileName);
    // The file name of the copies a Library value names, or empty when it names a DLL by
    // a path of its own (not the installer's to delete). Bare names are older installs.
    static std::wstring CopiedFileName(const std::wstring &library);

private:
    void ValidateParameters(const std::wstring &name);
    DWORD RemoveCopies(const std::wstring &fileName);
    DWORD PlaceDLLs(const CDllImage &x86, const CDllImage &x64, const std::wstring &dllFileName,
                           const std::wstring &openFunction, const std::wstring &collectFunction,
                           const std::wstring &closeFunction);
    static void Register(const std::wstring &name, const std::wstring &library, DWORD libraryType,
                         const std::wstring &iniFilePath,
                         const std::wstring &openFunction, const std::wstring &collectFunction,
                         const std::wstring &closeFunction, const std::wstring &exportName, DWORD openTimeout,
                         DWORD collectTimeout, const std::wstring &schemaChecksum);
    static void WriteRegistryValues(const std::wstring &name, const std::wstring &library, DWORD libraryType,
                                    const std::wstring &openFunction, const std::wstring &collectFunction,
                                    const std::wstring &closeFunction, const std::wstring &exportName,
                                    DWORD openTimeout, DWORD collectTimeout, const std::wstring &schemaChecksum);
    static Win32::CRegistryKey OpenServicesKey();
    // Both created when missing.
    static Win32::CRegistryKey OpenApplicationKey(const std::wstring &name);
    static Win32::CRegistryKey OpenPerformanceKey(const std::wstring &name);
    static Win32::CRegistryKey ReadPerformanceKey(const std::wstring &name);

    std::vector<std::wstring> m_deletedAtRestart;
};

} // namespace PerfMon
} // namespace CorvaneTools
