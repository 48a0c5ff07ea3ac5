#include "win32/crash/CrashDumps.h"
#include "win32/crash/MiniDumper.h"
#include "win32/errors/Win32Exception.h"

#include "tests/support/CatchException.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScratchDirectory.h"
#include "tests/support/UnsafeFolders.h"
#include "tests/win32/crash/CrashDumpTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace CorvaneTools::Win32;
using CrashDumpTests::CCapturedLog;
using CrashDumpTests::CFakeDumper;
using CrashDumpTests::Narrow;
using Lines = std::vector<std::string>;

namespace {

int g_tooManyCalls = 0;

void CountTooMany()
{
    ++g_tooManyCalls;
}

} // namespace

TEST(CrashDumpPolicyTest, RefusesBeyondTheMaximumAndCallsBackPastTheThreshold)
{
    TestSupport::CScratchDirectory scratch(L"CrashDumpPolicy");
    CFakeDumper dumper(scratch / L"app.exe");
    CCrashDumpPolicy policy;
    CCapturedLog log;
    g_tooManyCalls = 0;
    policy.InitialiseCrashDumps(&dumper, 2, false, 3, &CountTooMany);

    const bool expectedResults[] = {true, true, false, false, false, false};
    const int expectedCalls[] = {0, 0, 0, 0, 0, 1};
    for (int attempt = 1; attempt <= 6; ++attempt)
    {
        EXPECT_EQ(expectedResults[attempt - 1], policy.GenerateCrashDump(nullptr, true)) << attempt;
        EXPECT_EQ(expectedCalls[attempt - 1], g_tooManyCalls) << attempt;
    }
    EXPECT_EQ(2, dumper.m_writes);
    const std::string prefix = Narrow(scratch / L"app.exe");
    EXPECT_EQ((Lines{"Custom crash dump created: " + prefix + "-1.dmp\"",
                     "Custom crash dump created: " + prefix + "-2.dmp\"",
                     "Did not create crash dump. Already created: 2 (attempt: 3)",
                     "Did not create crash dump. Already created: 2 (attempt: 4)",
                     "Did not create crash dump. Already created: 2 (attempt: 5)",
                     "Did not create crash dump. Already created: 2 (attempt: 6)"}),
              log.Messages());
}

TEST(CrashDumpPolicyTest, OldDumpFilesCountAgainstTheMaximum)
{
    const struct
    {
        int oldFiles;
        long maximum;
        Lines setupLines;
        Lines refusedLines;
    } cases[] = {
        {1, 1, {"Max dumps to produce reduced to 1 due to 1 existing dump files"},
         {"Did not create crash dump. Already created: 1 and 1 already existed"}},
        {3, -1, {"NO CRASH DUMPS MAY NOT BE PRODUCED - Max dumps to produce reduced to 0 due to existing dump files"},
         {"Did not create crash dump. 3 already existed", "Did not create crash dump. 3 already existed"}},
    };
    for (const auto &c : cases)
    {
        TestSupport::CScratchDirectory scratch(L"CrashDumpPolicy");
        CFakeDumper dumper(scratch / L"app.exe");
        Lines expected;
        for (int i = 1; i <= c.oldFiles; ++i)
        {
            TestSupport::WriteBytes(scratch / (L"app.exe-old" + std::to_wstring(i) + L".dmp"), "x");
            expected.push_back("Existing dump file: app.exe-old" + std::to_string(i) + ".dmp");
        }
        TestSupport::WriteBytes(scratch / L"other.exe-1.dmp", "x");
        expected.insert(expected.end(), c.setupLines.begin(), c.setupLines.end());
        CCrashDumpPolicy policy;
        CCapturedLog log;
        policy.InitialiseCrashDumps(&dumper, 2, false, 0, nullptr);
        EXPECT_EQ(c.maximum, policy.GetMaximumDumps());
        EXPECT_EQ(DWORD(c.oldFiles), policy.GetExistingDumps());
        EXPECT_EQ(expected, log.Messages());

        int written = 0;
        for (int attempt = 0; attempt < 2; ++attempt)
        {
            written += policy.GenerateCrashDump(nullptr, true) ? 1 : 0;
        }
        EXPECT_EQ(c.maximum == 1 ? 1 : 0, written);
        Lines all = expected;
        if (c.maximum == 1)
        {
            all.push_back("Custom crash dump created: " + Narrow(scratch / L"app.exe") + "-1.dmp\"");
        }
        all.insert(all.end(), c.refusedLines.begin(), c.refusedLines.end());
        EXPECT_EQ(all, log.Messages()) << c.oldFiles;
    }
}

TEST(CrashDumpPolicyTest, SkippedCheckOrNoLimitLeavesOldFilesUncounted)
{
    TestSupport::CScratchDirectory scratch(L"CrashDumpPolicy");
    TestSupport::WriteBytes(scratch / L"app.exe-1.dmp", "x");
    CFakeDumper dumper(scratch / L"app.exe");
    for (const auto &setup : {std::make_pair(2L, true), std::make_pair(0L, false)})
    {
        CCrashDumpPolicy policy;
        policy.InitialiseCrashDumps(&dumper, setup.first, setup.second, 0, nullptr);
        EXPECT_EQ(setup.first, policy.GetMaximumDumps());
        EXPECT_EQ(0u, policy.GetExistingDumps());
    }
    CCrashDumpPolicy policy;
    const CWin32Exception e = TestSupport::CatchException<CWin32Exception>([&] {
        CFakeDumper missing(scratch / L"missing\\app.exe");
        policy.InitialiseCrashDumps(&missing, 2, false, 0, nullptr);
    });
    EXPECT_EQ(DWORD(ERROR_PATH_NOT_FOUND), e.GetError());
}

TEST(CrashDumpPolicyTest, UncountedRequestsAlwaysWriteAndACustomDumpersFailureStillReturnsTrue)
{
    TestSupport::CScratchDirectory scratch(L"CrashDumpPolicy");
    CFakeDumper dumper(scratch / L"app.exe");
    CCrashDumpPolicy policy;
    CCapturedLog log;
    policy.InitialiseCrashDumps(&dumper, -1, true, 1, nullptr);
    EXCEPTION_POINTERS information = {};
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_TRUE(policy.GenerateCrashDump(&information, false));
    }
    EXPECT_EQ(3, dumper.m_writes);
    EXPECT_EQ(&information, dumper.m_lastInformation);

    CFakeDumper failing(scratch / L"failing.exe", false);
    policy.SetCrashDumper(&failing);
    EXPECT_TRUE(policy.GenerateCrashDump(nullptr, false));
    EXPECT_EQ(1, failing.m_writes);
    EXPECT_EQ(3u, log.Messages().size());
}

TEST(CrashDumpPolicyTest, WithoutACustomDumperAFullDumpLandsBesideTheProgram)
{
    CCrashDumpPolicy policy;
    CCapturedLog log;
    ASSERT_TRUE(policy.GenerateCrashDump(nullptr, false));
    const Lines messages = log.Messages();
    ASSERT_EQ(1u, messages.size());
    const std::string prefix = "Default crash dump created: ";
    const std::string program = Narrow(TestSupport::ThisProgram());
    ASSERT_EQ(prefix + program + "-", messages[0].substr(0, prefix.size() + program.size() + 1));
    ASSERT_EQ(".dmp\"", messages[0].substr(messages[0].size() - 5));
    const std::wstring name(messages[0].begin() + prefix.size(), messages[0].end() - 1);
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    ASSERT_TRUE(::GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data));
    std::printf("full dump: %lu bytes\n", data.nFileSizeLow);
    EXPECT_TRUE(::DeleteFileW(name.c_str()));
    // Full memory holds at least the test program's own image.
    EXPECT_LT(10u * 1024 * 1024, data.nFileSizeLow);
}

// The process-wide policy with no callback ends the process: attempt 3 is 2 past a
// maximum of 1, above the threshold of 1.
TESSALY_CHILD_MAIN(CrashDumpsExitChild)
{
    CorvaneTools::Win32::CDebugTrace::Instance().SetLogName(Narrow(args.at(0)));
    CFakeDumper dumper(args.at(1) + L"\\app.exe");
    InitialiseCrashDumps(&dumper, 1, true, 1, nullptr);
    for (int attempt = 1; attempt <= 5; ++attempt)
    {
        GenerateCrashDump(nullptr, true);
        std::printf("attempt %d done\n", attempt);
        std::fflush(stdout);
    }
    return 0;
}

TEST(CrashDumpPolicyTest, TooManyAttemptsWithoutCallbackEndTheProcessWithExitCodeOne)
{
    TestSupport::CScratchDirectory scratch(L"CrashDumpPolicy");
    CCapturedLog log(CCapturedLog::TempPath());
    const std::wstring logPath(log.Path().begin(), log.Path().end());
    TestSupport::CChildProcess child(L"CrashDumpsExitChild", {logPath, scratch.Path()});
    EXPECT_EQ(1u, child.Wait());
    const std::string output = child.Output();
    EXPECT_NE(std::string::npos, output.find("attempt 2 done"));
    EXPECT_EQ(std::string::npos, output.find("attempt 3 done"));
    const Lines messages = log.Messages();
    ASSERT_EQ(4u, messages.size());
    EXPECT_EQ("Did not create crash dump. Already created: 1 (attempt: 3)", messages[2]);
    EXPECT_EQ("Too many mini dumps created, exiting with exit code 1.", messages[3]);
}

// A file or link planted at the next dump's name stays as it is: the dump takes the name
// after it, or, where the naming has no other name, is not written.
TEST(CrashDumpPolicyTest, ADumpNeverGoesWhereAFileWasPlanted)
{
    const struct
    {
        const char *what;
        DWORD fileNameFlags;
        bool link;
        bool written;
    } cases[] = {
        {"file at the next name", CMiniDumper::FileNameSequence, false, true},
        {"link at the next name", CMiniDumper::FileNameSequence, true, true},
        {"file at the only name", 0, false, false},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.what);
        TestSupport::CScratchDirectory scratch(L"CrashDumpPolicy");
        TestSupport::WriteBytes(scratch / L"elsewhere.txt", "elsewhere");
        CMiniDumper dumper(scratch.Path(), 0, c.fileNameFlags);
        // The sequence is process-wide: the name taken now tells the next one.
        const std::wstring now = dumper.GetDumpFileName();
        const std::wstring prefix = dumper.GetDumpFileNamePrefix();
        const auto named = [&](unsigned long step) {
            return c.fileNameFlags ? prefix + L"-" + std::to_wstring(std::stoul(now.substr(prefix.size() + 1)) + step) +
                                         L".dmp"
                                   : now;
        };
        const std::wstring planted = named(1);
        if (c.link)
        {
            ASSERT_TRUE(TestSupport::MakeLink(planted, scratch / L"elsewhere.txt", false));
        }
        else
        {
            TestSupport::WriteBytes(planted, "planted");
        }
        CCrashDumpPolicy policy;
        CCapturedLog log;
        policy.InitialiseCrashDumps(&dumper, 0, true, 0, nullptr);
        policy.GenerateCrashDump(nullptr, true);

        EXPECT_EQ(c.link ? "elsewhere" : "planted", TestSupport::ReadBytes(planted));
        EXPECT_EQ("elsewhere", TestSupport::ReadBytes(scratch / L"elsewhere.txt"));
        Lines expected = {"Crash dump not written to \"" + Narrow(planted) + "\": a file of that name is there already"};
        expected.push_back(c.written ? "Custom crash dump created: " + Narrow(named(2)) + "\""
                                     : "Crash dump not written: the dump file names give no other name than \"" +
                                           Narrow(planted) + "\"");
        EXPECT_EQ(expected, log.Messages());
        EXPECT_EQ(c.written, TestSupport::Exists(named(2)) && TestSupport::ReadBytes(named(2)).substr(0, 4) == "MDMP");
    }
}
