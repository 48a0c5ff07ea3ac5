#pragma once

#include "perfmon/IInstallPerformanceMonitorCounters.h"
#include "win32/RegistryKey.h"

namespace CorvaneTools {
namespace PerfMon {

// Installs counter DLLs for the platform's performance library: validates and copies the
// DLLs, writes the application's Performance (and Linkage) keys and loads the counter
// texts. It keeps no state; everything lives in the registry and the system directories.
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

    // Both return the destination path.
    static std::wstring CopyFileToSystemDirectory(const std::wstring &source, const std::wstring &fileName);
    static std::wstring CopyFileToSysWOW64(const std::wstring &source, const std::wstring &fileName);

private:
    void ValidateParameters(const std::wstring &name);
    static void Register(const std::wstring &name, const std::wstring &library, const std::wstring &iniFilePath,
                         const std::wstring &openFunction, const std::wstring &collectFunction,
                         const std::wstring &closeFunction, const std::wstring &exportName, DWORD openTimeout,
                         DWORD collectTimeout, const std::wstring &schemaChecksum);
    static void WriteRegistryValues(const std::wstring &name, const std::wstring &library,
                                    const std::wstring &openFunction, const std::wstring &collectFunction,
                                    const std::wstring &closeFunction, const std::wstring &exportName,
                                    DWORD openTimeout, DWORD collectTimeout, const std::wstring &schemaChecksum);
    static Win32::CRegistryKey OpenServicesKey();
    // Both created when missing.
    static Win32::CRegistryKey OpenApplicationKey(const std::wstring &name);
    static Win32::CRegistryKey OpenPerformanceKey(const std::wstring &name);
    static Win32::CRegistryKey ReadPerformanceKey(const std::wstring &name);
};

} // namespace PerfMon
} // namespace CorvaneTools
