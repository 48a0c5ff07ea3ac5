#pragma once

// Stands in for Windows Installer's execution of a package's script as "Rollback Custom
// Actions" and "Rollback Installation" document it, which this platform's msiexec does not
// follow: it runs every rollback action of a failed script, reached or not, and restores
// no replaced file. Here, in the order of the built package's InstallExecuteSequence,
// deferred actions run; a rollback action enters the rollback script when execution
// reaches it; InstallFiles and RemoveFiles save the program file they replace or delete;
// a failure runs the rollback script backwards; commit actions run only after success.
// The package's plan is carried out against a model machine, not the real one.

#include "installer/PackagePlan.h"

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace InstallerModel {

// The machine as far as the package changes it.
struct CMachine
{
    std::wstring program;  // the version of the file at the program's path; empty: none
    bool registered = false;
    std::wstring registeredBy;  // the version of the program that registered the service
    std::map<std::wstring, std::vector<BYTE>> config;  // value name -> data
    bool running = false;
    bool cleanedUp = false;
};

inline std::vector<BYTE> DwordBytes(DWORD value)
{
    const BYTE *bytes = reinterpret_cast<const BYTE *>(&value);
    return std::vector<BYTE>(bytes, bytes + sizeof(value));
}

// Where the run fails: the newer program's /install, the start of the service, or a
// standard action of that name.
enum class CFailure
{
    None,
    NewInstall,
    Start,
    InstallFiles,
    RemoveFiles
};

struct CScriptEntry
{
    std::wstring action;
    enum Kind
    {
        Standard,
        Deferred,
        Rollback,
        Commit,
        Other
    } kind;
};

// The script part of the package's InstallExecuteSequence, in order, read from the package.
std::vector<CScriptEntry> ReadScript(const std::wstring &package);

// Carries out one run of the package of newVersion; true when it succeeded. Every command
// line runs the program file at the program's path, of the version that file has then.
bool RunScript(const std::vector<CScriptEntry> &script, const CorvaneTools::Installer::CPackagePlan &plan,
               CorvaneTools::Installer::CPackageState::Run run, const std::wstring &newVersion, CFailure failure,
               CMachine &machine);

} // namespace InstallerModel
