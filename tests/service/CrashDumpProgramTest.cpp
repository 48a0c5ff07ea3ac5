// The program's crash dumps, from a build whose table calls fault on purpose, run as a
// process with its log directory: where the dumps go, how many, and what it says.
#include "tests/service/ServiceProgramSupport.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScratchDirectory.h"
#include "tests/support/UnsafeFolders.h"
#include "win32/files/ProtectedFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

namespace {

// What one run of the faulting program left: its exit code, its log lines without
// thread identifiers, and the paths of the dump files in the log directory.
struct FaultRun
{
    DWORD exitCode;
    std::vector<std::string> log;
    std::vector<std::wstring> dumps;
};

const wchar_t FaultProgram[] = L"TessalyFaultTest.exe";

// Without a log directory the dumps are looked for beside the program.
FaultRun RunFaulting(const std::wstring &mode, const TestSupport::CScratchDirectory *logs)
{
    ::SetEnvironmentVariableW(L"TESSALY_FAULT", mode.c_str());
    std::vector<std::wstring> args = {L"/noMessages", L"/run"};
    if (logs)
    {
        args.insert(args.end(), {L"/logPath", logs->Path()});
    }
    TestSupport::CChildProcess program(L"", args, TestSupport::ThisFolder() + L"\\" + FaultProgram);
    FaultRun run;
    run.exitCode = program.Wait(120000);
    ::SetEnvironmentVariableW(L"TESSALY_FAULT", nullptr);
    if (logs)
    {
        const std::wstring logPath = *logs / L"CorvaneTessaly.log";
        run.log = TestSupport::ReadLogLines(std::string(logPath.begin(), logPath.end()), true);
    }
    run.dumps = ServiceProgramSupport::DumpFiles(logs ? logs->Path() : TestSupport::ThisFolder(), FaultProgram);
    return run;
}

size_t Count(const std::vector<std::string> &lines, const std::string &line)
{
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

std::string Narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

bool HasPrefix(const std::vector<std::string> &lines, const std::string &prefix)
{
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string &line) { return line.compare(0, prefix.size(), prefix) == 0; });
}

} // namespace

// A fault on the polling thread: one dump per run, until the dumps already there use up
// the limit of two.
TEST(CrashDumpProgramTest, EachRunDumpsItsFaultUntilTwoDumpsExist)
{
    TestSupport::CScratchDirectory logs(L"TessalyDumps");
    const std::wregex name(L".*\\\\TessalyFaultTest\\.exe-\\d{8}-\\d{6}-\\d+-\\d+-1\\.dmp");
    const struct
    {
        size_t dumps;
        const char *line;
    } runs[] = {
        {1, "Custom crash dump created: "},
        {2, "Max dumps to produce reduced to 1 due to 1 existing dump files"},
        {2, "Did not create crash dump. 2 already existed"},
    };
    size_t runCount = 0;
    for (const auto &expected : runs)
    {
        const FaultRun run = RunFaulting(L"access", &logs);
        ++runCount;
        SCOPED_TRACE(expected.line);
        EXPECT_EQ(expected.dumps, run.dumps.size());
        for (const std::wstring &dump : run.dumps)
        {
            EXPECT_TRUE(std::regex_match(dump, name)) << dump;
        }
        EXPECT_TRUE(HasPrefix(run.log, expected.line));
        // The runs share one log file.
        EXPECT_EQ(runCount, Count(run.log, "Will produce at most: 2 crash dumps"));
    }
    const FaultRun last = RunFaulting(L"access", &logs);
    EXPECT_EQ(2u, Count(last.log, "NO CRASH DUMPS MAY NOT BE PRODUCED - Max dumps to produce reduced to 0 due to "
                                  "existing dump files"))
        << "the third and the fourth run";
    EXPECT_TRUE(HasPrefix(last.log, "Existing dump file: "));
}

// Six faults in one process: two dumps, three refusals, and at the sixth the process ends
// with 666 after one more dump.
TEST(CrashDumpProgramTest, TooManyFaultsEndTheProcessWith666)
{
    TestSupport::CScratchDirectory logs(L"TessalyDumps");
    const FaultRun run = RunFaulting(L"repeat", &logs);
    EXPECT_EQ(666u, run.exitCode);
    EXPECT_EQ(3u, run.dumps.size());
    for (const char *line : {"Did not create crash dump. Already created: 2 (attempt: 3)",
                             "Did not create crash dump. Already created: 2 (attempt: 4)",
                             "Did not create crash dump. Already created: 2 (attempt: 5)",
                             "Too many dumps created. Process is unstable. Shutting down.",
                             "Service shutting down: Errorcode: 666"})
    {
        EXPECT_EQ(1u, Count(run.log, line)) << line;
    }
}

TEST(CrashDumpProgramTest, APureVirtualCallIsDumped)
{
    TestSupport::CScratchDirectory logs(L"TessalyDumps");
    const FaultRun run = RunFaulting(L"purecall", &logs);
    EXPECT_EQ(1u, run.dumps.size());
    EXPECT_TRUE(HasPrefix(run.log, "Custom crash dump created: "));
    EXPECT_EQ(1u, Count(run.log, "Purecall"));
    // The runtime then aborts.
    EXPECT_EQ(1u, Count(run.log, "SIGABRT!"));
    EXPECT_EQ(3u, run.exitCode);
}

// Not in the root of the drive the process runs on.
TEST(CrashDumpProgramTest, WithoutALogTheDumpIsBesideTheProgram)
{
    const auto removeDumps = [] {
        for (const std::wstring &dump : ServiceProgramSupport::DumpFiles(TestSupport::ThisFolder(), FaultProgram))
        {
            ::DeleteFileW(dump.c_str());
        }
    };
    removeDumps();
    const FaultRun run = RunFaulting(L"access", nullptr);
    EXPECT_EQ(1u, run.dumps.size());
    removeDumps();
}

// A copy of the program in a folder everyone may write into, asked for a log and made to
// fault: it takes neither its log nor its dumps there, and says so on the debugger output,
// as no log is open to say it in.
TEST(CrashDumpProgramTest, AProgramFolderOthersMayWriteIntoTakesNeitherLogNorDumps)
{
    TestSupport::CScratchDirectory scratch(L"TessalyOpenFolder");
    const std::wstring folder = scratch / L"open";
    ASSERT_TRUE(TestSupport::MakeFolderWritableByEveryone(folder));
    const std::wstring program = folder + L"\\" + FaultProgram;
    ASSERT_TRUE(::CopyFileW((TestSupport::ThisFolder() + L"\\" + FaultProgram).c_str(), program.c_str(), TRUE));
    ::SetEnvironmentVariableW(L"TESSALY_FAULT", L"access");
    std::vector<std::string> debugOutput;
    DWORD exitCode = STILL_ACTIVE;
    {
        TestSupport::CChildProcess child(L"", {L"/noMessages", L"/run", L"/createLog"}, program, true);
        exitCode = child.WaitDebugging(debugOutput, 120000);
    }
    ::SetEnvironmentVariableW(L"TESSALY_FAULT", nullptr);
    EXPECT_NE(static_cast<DWORD>(STILL_ACTIVE), exitCode);
    const std::wstring why = CorvaneTools::Win32::FindFolderHazard(folder);
    ASSERT_NE(L"", why);
    const std::string refused = "\"" + Narrow(folder) + "\" refused: " + Narrow(why);
    EXPECT_EQ(1u, Count(debugOutput, "Log directory " + refused + "; no log file is written\r\n"));
    EXPECT_EQ(1u, Count(debugOutput, "Crash dump directory " + refused + "; no crash dumps are written\r\n"));
    // The fault happened, and its dump was not written.
    EXPECT_LE(1u, Count(debugOutput, "Crash dump not written: its directory was refused\r\n"));
    EXPECT_TRUE(ServiceProgramSupport::DumpFiles(folder, FaultProgram).empty());
    EXPECT_FALSE(TestSupport::Exists(folder + L"\\CorvaneTessaly.log"));
}
