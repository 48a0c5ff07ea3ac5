#pragma once

#include "installer/PlanSteps.h"

#include <windows.h>

#include <string>
#include <vector>

namespace CorvaneTools {
namespace Installer {

// What the package's first action finds: what this run of the package does, its public
// properties and the service as it stands.
struct CPackageState
{
    enum Run
    {
        FirstInstall,
        Upgrade,           // over an older version of the product
        Removal,           // the product taken away
        RemovalByUpgrade,  // the older version, removed by the newer one's upgrade
        Maintenance        // a repair or a change: the registration stays as it is
    };

    Run run = Maintenance;
    std::wstring serviceName;
    std::wstring program;  // the program this package installs (or installed), where it goes
    std::wstring folder;   // the folder it goes to
    std::wstring poll;
    std::wstring logPath;
    std::wstring createLog;
    bool serviceExists = false;
    bool serviceActive = false;      // running, paused or on the way there
    std::wstring registeredProgram;  // the program the installed service starts
    std::vector<CRegistryValue> config;
};

// The data of each deferred action, which is run only when its data is not empty. The
// installer writes a rollback action into its rollback script when the script reaches it,
// and restores the files it replaced ("Rollback Custom Actions"); so the rollback of the
// restore, sequenced before InstallFiles, runs after the older program's files are back,
// and the rollback of the registration, sequenced after it, runs only when /install
// succeeded: a failed /install has taken back what it did, and a /remove then would take
// away what was there before.
struct CPackagePlan
{
    std::wstring stopService;
    std::wstring stopServiceRollback;
    std::wstring restoreRollback;
    std::wstring registerService;
    std::wstring registerServiceRollback;
    std::wstring startService;
    std::wstring unregisterService;
    std::wstring unregisterServiceRollback;
    std::wstring cleanUp;
};

// The package's deferred actions, each named as in the package source, with the part of
// the plan that is its data (the property of the action's name).
struct CPlanAction
{
    const wchar_t *name;
    std::wstring CPackagePlan::*data;
};
extern const CPlanAction PlanActions[9];

// Throws CException ("MakePackagePlan") for a property the program must not be given.
CPackagePlan MakePackagePlan(const CPackageState &state);

// The program's command line for /install with the options the properties ask for.
std::wstring InstallCommandLine(const std::wstring &program, const CPackageState &state);

} // namespace Installer
} // namespace CorvaneTools
