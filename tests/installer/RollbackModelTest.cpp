// Each run of the package, succeeding or failing at each point that can fail, carried out
// in the built package's sequence against the model of Windows Installer's documented
// rollback: a failure leaves the machine as the run found it.
#include "tests/installer/InstallerScriptModel.h"

#include "tests/service/ServiceProgramSupport.h"

#include <gtest/gtest.h>

using namespace CorvaneTools::Installer;
using InstallerModel::CFailure;
using InstallerModel::CMachine;
using InstallerModel::DwordBytes;

namespace {

const std::wstring Older = L"0.9.0";
const std::wstring Newer = L"1.0.0";
const std::map<std::wstring, std::vector<BYTE>> Kept = {
    {L"Poll", DwordBytes(3000)}, {L"Log", DwordBytes(1)}, {L"LogMaxSize", DwordBytes(0x100000)}};

CMachine Installed(const std::wstring &version, bool running)
{
    CMachine machine;
    machine.program = version;
    machine.registered = true;
    machine.registeredBy = version;
    machine.config = Kept;
    machine.running = running;
    return machine;
}

// What the package's first action would find on the machine.
CPackageState StateOf(const CMachine &machine, CPackageState::Run run, const std::wstring &poll)
{
    CPackageState state;
    state.run = run;
    state.serviceName = L"Corvane Tessaly";
    state.program = L"C:\\Program Files\\Corvane Tessaly\\Tessaly.exe";
    state.folder = L"C:\\Program Files\\Corvane Tessaly\\";
    state.poll = poll;
    state.serviceExists = machine.registered;
    state.serviceActive = machine.running;
    state.registeredProgram = machine.registered ? state.program : L"";
    for (const auto &value : machine.config)
    {
        state.config.push_back({value.first, REG_DWORD, value.second});
    }
    return state;
}

} // namespace

TEST(RollbackModelTest, EveryRunSucceedsWholeOrLeavesTheMachineAsItFoundIt)
{
    const std::vector<InstallerModel::CScriptEntry> script =
        InstallerModel::ReadScript(ServiceProgramSupport::Top() + L"\\dist\\x64\\Tessaly.msi");
    ASSERT_FALSE(script.empty());
    CMachine upgraded = Installed(Newer, true);
    CMachine upgradedStopped = Installed(Newer, false);
    CMachine fresh = Installed(Newer, true);
    fresh.config = {{L"Poll", DwordBytes(2000)}, {L"Log", DwordBytes(0)}};
    CMachine removed;
    removed.cleanedUp = true;
    const struct
    {
        const char *what;
        CMachine before;
        CPackageState::Run run;
        const wchar_t *poll;
        CFailure failure;
        bool succeeds;
        CMachine after;
    } rows[] = {
        {"upgrade over a running service", Installed(Older, true), CPackageState::Upgrade, L"", CFailure::None, true,
         upgraded},
        {"upgrade whose /install fails", Installed(Older, true), CPackageState::Upgrade, L"", CFailure::NewInstall,
         false, Installed(Older, true)},
        {"upgrade whose service does not start", Installed(Older, true), CPackageState::Upgrade, L"",
         CFailure::Start, false, Installed(Older, true)},
        {"upgrade whose files cannot be placed", Installed(Older, true), CPackageState::Upgrade, L"",
         CFailure::InstallFiles, false, Installed(Older, true)},
        {"upgrade over a stopped service", Installed(Older, false), CPackageState::Upgrade, L"", CFailure::None, true,
         upgradedStopped},
        {"removal of a running service", Installed(Newer, true), CPackageState::Removal, L"", CFailure::None, true,
         removed},
        {"removal whose files cannot be removed", Installed(Newer, true), CPackageState::Removal, L"",
         CFailure::RemoveFiles, false, Installed(Newer, true)},
        {"first install", CMachine(), CPackageState::FirstInstall, L"2", CFailure::None, true, fresh},
        {"first install whose service does not start", CMachine(), CPackageState::FirstInstall, L"2",
         CFailure::Start, false, CMachine()},
        {"first install whose /install fails", CMachine(), CPackageState::FirstInstall, L"2", CFailure::NewInstall,
         false, CMachine()},
    };
    for (const auto &row : rows)
    {
        SCOPED_TRACE(row.what);
        CMachine machine = row.before;
        const CPackagePlan plan = MakePackagePlan(StateOf(machine, row.run, row.poll));
        EXPECT_EQ(row.succeeds, InstallerModel::RunScript(script, plan, row.run, Newer, row.failure, machine));
        EXPECT_EQ(row.after.program, machine.program);
        EXPECT_EQ(row.after.registered, machine.registered);
        EXPECT_EQ(row.after.registeredBy, machine.registeredBy);
        EXPECT_EQ(row.after.config, machine.config);
        EXPECT_EQ(row.after.running, machine.running);
        EXPECT_EQ(row.after.cleanedUp, machine.cleanedUp);
    }
}
