#pragma once

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace PerfMon {

// Makes a counter DLL known to the platform's performance library under an application
// name, and answers what the running application needs to know about that installation.
class IInstallPerformanceMonitorCounters
{
public:
    // Flags returned by the two-DLL install.
    enum InstalledDLLs : DWORD
    {
        InstalledX86 = 0x1,
        InstalledX64 = 0x10
    };

    // A DLL build already in memory; the label names it in messages. No data: absent.
    struct CDllImage
    {
        std::wstring label;
        const BYTE *data;
        size_t size;
    };

    virtual bool CanInstall() = 0;

    virtual void Install(const std::wstring &name, const std::wstring &dllPath, bool copyToSystemDirectory,
                         const std::wstring &symbolFilePath, const std::wstring &iniFilePath,
                         const std::wstring &openFunction, const std::wstring &collectFunction,
                         const std::wstring &closeFunction, const std::wstring &exportName, DWORD openTimeout,
                         DWORD collectTimeout, const std::wstring &schemaChecksum) = 0;

    virtual void Install(const std::wstring &name, const std::wstring &dllPath, bool copyToSystemDirectory,
                         const std::wstring &symbolFilePath, const std::wstring &iniFilePath,
                         const std::wstring &exportName, DWORD openTimeout, DWORD collectTimeout,
                         const std::wstring &schemaChecksum) = 0;

    virtual DWORD Install(const std::wstring &name, const std::wstring &x86DllPath, const std::wstring &x64DllPath,
                          const std::wstring &dllFileName, const std::wstring &symbolFilePath,
                          const std::wstring &iniFilePath, const std::wstring &openFunction,
                          const std::wstring &collectFunction, const std::wstring &closeFunction,
                          const std::wstring &exportName, DWORD openTimeout, DWORD collectTimeout,
                          const std::wstring &schemaChecksum) = 0;

    virtual DWORD Install(const std::wstring &name, const std::wstring &x86DllPath, const std::wstring &x64DllPath,
                          const std::wstring &dllFileName, const std::wstring &symbolFilePath,
                          const std::wstring &iniFilePath, const std::wstring &exportName, DWORD openTimeout,
                          DWORD collectTimeout, const std::wstring &schemaChecksum) = 0;

    // The two-DLL install with the default entry points and the builds in memory: what is
    // validated is exactly what is written into the system directories.
    virtual DWORD InstallImages(const std::wstring &name, const CDllImage &x86, const CDllImage &x64,
                                const std::wstring &dllFileName, const std::wstring &symbolFilePath,
                                const std::wstring &iniFilePath, const std::wstring &exportName, DWORD openTimeout,
                                DWORD collectTimeout, const std::wstring &schemaChecksum) = 0;

    // 0, or the error that kept a DLL file from being deleted (nothing is removed then).
    virtual DWORD Uninstall(const std::wstring &name) = 0;

    virtual bool IsInstalled(const std::wstring &name) = 0;
    virtual DWORD FirstCounterIndex(const std::wstring &name) = 0;
    virtual std::wstring GetSchemaChecksum(const std::wstring &name) = 0;
    virtual std::wstring GetInstalledCounterDLLName(const std::wstring &name) = 0;

    virtual ~IInstallPerformanceMonitorCounters() = default;
};

} // namespace PerfMon
} // namespace CorvaneTools
