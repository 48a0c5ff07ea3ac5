// What each run of the package plans for its deferred actions, from the properties and the
// service as it stands, and the steps' text surviving its way through the action data.
#include "installer/PackagePlan.h"
#include "win32/errors/Exception.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace CorvaneTools::Installer;

namespace {

const wchar_t *const Service = L"Corvane Tessaly";
const wchar_t *const NewProgram = L"C:\\Program Files\\Corvane Tessaly\\Tessaly.exe";
const wchar_t *const OldProgram = L"C:\\Old Place\\Tessaly.exe";
const std::wstring New = L"\"C:\\Program Files\\Corvane Tessaly\\Tessaly.exe\" /noMessages ";
const std::wstring Old = L"\"C:\\Old Place\\Tessaly.exe\" /noMessages ";

CRegistryValue Dword(const wchar_t *name, DWORD value)
{
    const BYTE *bytes = reinterpret_cast<const BYTE *>(&value);
    return {name, REG_DWORD, std::vector<BYTE>(bytes, bytes + sizeof(value))};
}

const CRegistryValue Poll = Dword(L"Poll", 3000);
const CRegistryValue Log = Dword(L"Log", 1);
const CRegistryValue Extra = {L"Extra", REG_BINARY, {0x09, 0x0a, 0x00}};

CPackageState State(CPackageState::Run run, bool exists, bool active)
{
    CPackageState state;
    state.run = run;
    state.serviceName = Service;
    state.program = NewProgram;
    state.folder = L"C:\\Program Files\\Corvane Tessaly\\";
    state.serviceExists = exists;
    state.serviceActive = active;
    if (exists)
    {
        state.registeredProgram = OldProgram;
        state.config = {Poll, Log, Extra};
    }
    return state;
}

CPlanSteps Values(CPlanSteps steps, std::vector<CRegistryValue> values)
{
    for (const CRegistryValue &value : values)
    {
        steps.Value(Service, value);
    }
    return steps;
}

struct CPlanRow
{
    const char *what;
    CPackageState state;
    CPackagePlan expected;
};

} // namespace

TEST(PackagePlanTest, EachRunPlansItsDeferredActions)
{
    CPackageState first = State(CPackageState::FirstInstall, false, false);
    first.poll = L"2";
    first.createLog = L"1";
    CPackageState logged = State(CPackageState::FirstInstall, false, false);
    logged.logPath = L"D:\\Logs \"here\"";
    logged.createLog = L"0";
    CPackageState pollAnew = State(CPackageState::Upgrade, true, false);
    pollAnew.poll = L"5";
    const std::wstring rollback = CPlanSteps().Stop(Service).Try(New + L"/remove").Text();
    const std::wstring restore =
        Values(CPlanSteps().Try(Old + L"/remove").Run(Old + L"/install"), {Poll, Log, Extra}).Text();
    const std::wstring clean = CPlanSteps().CleanUp(L"C:\\Program Files\\Corvane Tessaly\\", L"Tessaly.exe").Text();

    const std::wstring start = CPlanSteps().Start(Service).Text();
    const std::wstring stop = CPlanSteps().Stop(Service).Text();
    const CPlanRow rows[] = {
        {"first install with a poll interval and a log", first,
         {L"", L"", L"", CPlanSteps().Run(New + L"/install /poll 2 /createLog").Text(), rollback, start, L"", L"",
          L""}},
        {"a log path implies the log, whatever CREATELOG says", logged,
         {L"", L"", L"", CPlanSteps().Run(New + L"/install /logPath \"D:\\Logs \\\"here\\\"\"").Text(), rollback,
          start, L"", L"", L""}},
        {"upgrade over a running service keeps all of Config and starts it again",
         State(CPackageState::Upgrade, true, true),
         {stop, start, restore, CPlanSteps().Try(New + L"/remove").Run(New + L"/install").Text(), rollback,
          Values(CPlanSteps(), {Poll, Log, Extra}).Start(Service).Text(), L"", L"", L""}},
        {"upgrade over a stopped service with POLL set anew", pollAnew,
         {stop, L"", restore, CPlanSteps().Try(New + L"/remove").Run(New + L"/install /poll 5").Text(), rollback,
          Values(CPlanSteps(), {Log, Extra}).Text(), L"", L"", L""}},
        {"upgrade of a product whose service was removed by hand", State(CPackageState::Upgrade, false, false),
         {L"", L"", L"", CPlanSteps().Try(New + L"/remove").Run(New + L"/install").Text(), rollback, L"", L"", L"",
          L""}},
        {"removal of a running service", State(CPackageState::Removal, true, true),
         {stop, start, L"", L"", L"", L"", CPlanSteps().Run(New + L"/remove").Text(),
          Values(CPlanSteps().Run(New + L"/install"), {Poll, Log, Extra}).Text(), clean}},
        {"removal after the service was removed by hand", State(CPackageState::Removal, false, false),
         {L"", L"", L"", L"", L"", L"", L"", L"", clean}},
        {"the older version's removal by an upgrade", State(CPackageState::RemovalByUpgrade, true, true), {}},
        {"a repair", State(CPackageState::Maintenance, true, true), {}},
    };
    for (const CPlanRow &row : rows)
    {
        SCOPED_TRACE(row.what);
        const CPackagePlan plan = MakePackagePlan(row.state);
        EXPECT_EQ(row.expected.stopService, plan.stopService);
        EXPECT_EQ(row.expected.stopServiceRollback, plan.stopServiceRollback);
        EXPECT_EQ(row.expected.restoreRollback, plan.restoreRollback);
        EXPECT_EQ(row.expected.registerService, plan.registerService);
        EXPECT_EQ(row.expected.registerServiceRollback, plan.registerServiceRollback);
        EXPECT_EQ(row.expected.startService, plan.startService);
        EXPECT_EQ(row.expected.unregisterService, plan.unregisterService);
        EXPECT_EQ(row.expected.unregisterServiceRollback, plan.unregisterServiceRollback);
        EXPECT_EQ(row.expected.cleanUp, plan.cleanUp);
    }
}

TEST(PackagePlanTest, RefusesPropertiesAndStatesItCannotCarryOut)
{
    const struct
    {
        std::function<void(CPackageState &)> change;
        std::wstring message;
    } rows[] = {
        {[](CPackageState &s) { s.poll = L"2s"; }, L"POLL must be a whole number of seconds, such as 2, not \"2s\""},
        {[](CPackageState &s) { s.poll = L" 2"; }, L"POLL must be a whole number of seconds, such as 2, not \" 2\""},
        {[](CPackageState &s) { s.poll = L"-1"; }, L"POLL must be a whole number of seconds, such as 2, not \"-1\""},
        {[](CPackageState &s) { s.poll = L"12345678"; },
         L"POLL must be a whole number of seconds, such as 2, not \"12345678\""},
        {[](CPackageState &s) { s.createLog = L"yes"; }, L"CREATELOG must be 1 (write a log) or 0, not \"yes\""},
        {[](CPackageState &s) { s.logPath = L"C:\\a\nb"; }, L"LOGPATH must be one line of text"},
        {[](CPackageState &s) { s.serviceExists = true; },
         L"The service \"Corvane Tessaly\" is already installed, but not by this package. Remove it first with its "
         L"program's /remove, then install the package."},
    };
    for (const auto &row : rows)
    {
        CPackageState state = State(CPackageState::FirstInstall, false, false);
        row.change(state);
        try
        {
            MakePackagePlan(state);
            ADD_FAILURE() << "accepted: " << std::string(row.message.begin(), row.message.end());
        }
        catch (const CorvaneTools::Win32::CException &e)
        {
            EXPECT_EQ(row.message, e.GetMessage());
        }
    }
    CPackageState upgrade = State(CPackageState::Upgrade, true, true);
    upgrade.poll = L"1234567";
    EXPECT_NO_THROW(MakePackagePlan(upgrade)) << "seven digits is the longest accepted";
}

TEST(PackagePlanTest, StepsComeBackFromTheirTextAndMalformedTextIsRefused)
{
    CPlanSteps steps;
    steps.Stop(Service).Start(Service).Run(New + L"/install").Try(New + L"/remove");
    steps.Value(Service, Extra).Value(Service, {L"", REG_SZ, {}}).CleanUp(L"C:\\Folder\\", L"Tessaly.exe");
    const std::vector<CPlanStep> parsed = CPlanSteps::Parse(steps.Text());
    ASSERT_EQ(7u, parsed.size());
    const CPlanStep::Verb verbs[] = {CPlanStep::Stop, CPlanStep::Start, CPlanStep::Run,    CPlanStep::Try,
                                     CPlanStep::Value, CPlanStep::Value, CPlanStep::CleanUp};
    for (size_t k = 0; k < parsed.size(); ++k)
    {
        EXPECT_EQ(verbs[k], parsed[k].verb) << k;
    }
    EXPECT_EQ(New + L"/install", parsed[2].text);
    EXPECT_EQ(Extra, parsed[4].value);
    EXPECT_EQ(Service, parsed[4].text);
    EXPECT_EQ(std::wstring(), parsed[5].value.name);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), parsed[5].value.type);
    EXPECT_EQ(L"C:\\Folder\\", parsed[6].text);
    EXPECT_EQ(L"Tessaly.exe", parsed[6].program);
    EXPECT_TRUE(CPlanSteps::Parse(L"").empty());

    for (const wchar_t *malformed : {L"bogus\tx", L"run", L"run\ta\tb", L"value\ts\tzz\t1\t00", L"value\ts\t6100\t1\t0",
                                     L"value\ts\t6100\tone\t00", L"clean\tC:\\"})
    {
        EXPECT_THROW(CPlanSteps::Parse(malformed), CorvaneTools::Win32::CException)
            << std::wstring(malformed).size();
    }
}
