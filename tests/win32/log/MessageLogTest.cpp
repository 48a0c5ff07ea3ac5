#include "win32/log/DebugTrace.h"
#include "win32/log/SimpleMessageLog.h"

#include "win32/text/StringConverter.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/ScratchDirectory.h"
#include "tests/support/TestNames.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

using namespace CorvaneTools::Win32;

namespace {

const std::string s_header = "****************New Log*****************\r\n";

std::string TempPath(const std::wstring &what)
{
    char folder[MAX_PATH];
    ::GetTempPathA(MAX_PATH, folder);
    std::string name;
    for (wchar_t c : TestSupport::UniqueName(what))
    {
        name += static_cast<char>(c);
    }
    return folder + name;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

// The roll-over line names the previous part without its folder.
std::string PreviousPartName(const std::string &path)
{
    return path.substr(path.find_last_of('\\') + 1) + ".1";
}

std::string Id()
{
    return std::to_string(::GetCurrentThreadId()) + ": ";
}

} // namespace

TEST(MessageLogTest, HeaderIsExactlyFortyCharacters)
{
    EXPECT_EQ(s_header, CSimpleMessageLog::NewLogLine);
    EXPECT_EQ(42u, s_header.size());
}

TEST(MessageLogTest, ExactBytesOfALogFile)
{
    const std::string path = TempPath(L"exact.log");
    {
        CSimpleMessageLog log;
        log.SetLogName(path);
        log.LogMessage("Polling thread started...");
        log.LogMessage(L"wide text");
        log.LogMessage("counted text and more", 12);
        log.LogMessage(L"counted wide and more", 12);
        log.LogMessage(static_cast<const wchar_t *>(nullptr));
        log.LogMessage(std::string("narrow object"));
    }
    EXPECT_EQ(s_header + Id() + "Polling thread started...\r\n" + Id() + "wide text\r\n" + Id() + "counted text\r\n" +
                  Id() + "counted wide\r\n" + Id() + "\r\n" + Id() + "narrow object\r\n",
              ReadFile(path));
    ::DeleteFileA(path.c_str());
}

TEST(MessageLogTest, EachOpeningAppendsAHeader)
{
    const std::string first = TempPath(L"first.log");
    const std::string second = TempPath(L"second.log");
    CSimpleMessageLog log;
    log.SetLogName(first);
    log.LogMessage("one");
    log.SetLogName(std::string());
    log.LogMessage("two");
    log.SetLogName(second);
    log.LogMessage(L"three");
    log.SetLogName(L"");
    EXPECT_EQ(s_header + Id() + "one\r\n" + s_header + Id() + "two\r\n", ReadFile(first));
    EXPECT_EQ(s_header + Id() + "three\r\n", ReadFile(second));

    // Existing content is kept.
    {
        CSimpleMessageLog again;
        again.SetLogName(second);
        again.LogMessage("four");
    }
    EXPECT_EQ(s_header + Id() + "three\r\n" + s_header + Id() + "four\r\n", ReadFile(second));
    ::DeleteFileA(first.c_str());
    ::DeleteFileA(second.c_str());
}

// Read while the log is open, as by an operator following it or after the process was
// killed: no line waits in a buffer.
TEST(MessageLogTest, EachLineIsInTheFileOnceLogged)
{
    const std::string path = TempPath(L"at-once.log");
    {
        CSimpleMessageLog log;
        log.SetLogName(path);
        std::string expected = s_header;
        for (const char *line : {"first", "second", "third"})
        {
            log.LogMessage(line);
            expected += Id() + line + "\r\n";
            EXPECT_EQ(expected, ReadFile(path)) << line;
        }
    }
    ::DeleteFileA(path.c_str());
}

TEST(MessageLogTest, ThreadIdentifiers)
{
    const std::string path = TempPath(L"ids.log");
    CSimpleMessageLog log;
    log.SetLogName(path);
    DWORD otherId = 0;
    std::thread([&] {
        otherId = ::GetCurrentThreadId();
        log.LogMessage("from the other thread");
        log.SetThreadIdentifier(L"ServiceShutdownHandler");
        log.LogMessage("named");
    }).join();
    log.SetThreadIdentifier(std::string("Main"));
    log.LogMessage("main named");
    log.SetLogName(std::string());
    EXPECT_EQ(s_header + std::to_string(otherId) + ": from the other thread\r\nServiceShutdownHandler: named\r\n" +
                  "Main: main named\r\n",
              ReadFile(path));
    ::DeleteFileA(path.c_str());
}

TEST(MessageLogTest, ConcurrentLinesNeverInterleave)
{
    const std::string path = TempPath(L"threads.log");
    const int lines = 2000;
    {
        CSimpleMessageLog log;
        log.SetLogName(path);
        auto writer = [&](const char *name, char fill) {
            log.SetThreadIdentifier(std::string(name));
            for (int i = 0; i < lines; ++i)
            {
                log.LogMessage(std::to_string(i) + " " + std::string(200, fill));
            }
        };
        std::thread a(writer, "A", 'a');
        std::thread b(writer, "B", 'b');
        a.join();
        b.join();
    }
    std::istringstream content(ReadFile(path));
    std::string line;
    std::getline(content, line);
    EXPECT_EQ(s_header.substr(0, 40) + "\r", line);
    int next[2] = {0, 0};
    while (std::getline(content, line))
    {
        ASSERT_GE(line.size(), 4u);
        const int who = line[0] == 'A' ? 0 : 1;
        const std::string expected =
            std::string(who ? "B" : "A") + ": " + std::to_string(next[who]) + " " + std::string(200, who ? 'b' : 'a') + "\r";
        ASSERT_EQ(expected, line);
        ++next[who];
    }
    EXPECT_EQ(lines, next[0]);
    EXPECT_EQ(lines, next[1]);
    ::DeleteFileA(path.c_str());
}

TESSALY_CHILD_MAIN(LogToUnwritableFile)
{
    CSimpleMessageLog log;
    log.SetLogName(std::string("C:\\no\\such\\folder\\x.log"));
    log.LogMessage("console still works");
    log.LogMessage(L"and the debugger too");
    return 0;
}

TEST(MessageLogTest, UnwritableFileLeavesConsoleAndDebuggerOutput)
{
    TestSupport::CChildProcess child(L"LogToUnwritableFile", {}, std::wstring(), true);
    std::vector<std::string> debugOutput;
    ASSERT_EQ(0u, child.WaitDebugging(debugOutput));
    const std::string output = child.Output();
    // Standard output is in text mode: the line feed reaches the file as CR LF.
    EXPECT_NE(std::string::npos, output.find(": console still works\r\n")) << output;
    EXPECT_NE(std::string::npos, output.find(": and the debugger too\r\n")) << output;
    std::vector<std::string> lines;
    for (const auto &text : debugOutput)
    {
        if (text.find("works") != std::string::npos || text.find("debugger too") != std::string::npos)
        {
            lines.push_back(text);
        }
    }
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(": console still works\n", lines[0].substr(lines[0].find(':')));
    EXPECT_EQ(": and the debugger too\n", lines[1].substr(lines[1].find(':')));
}

namespace {

// Logs from its destructor, which runs after the trace has been marked gone.
struct CLateLogger
{
    bool armed = false;
    std::string path;
    ~CLateLogger()
    {
        if (!armed)
        {
            return;
        }
        if (CDebugTrace::IsAvailable())
        {
            CDebugTrace::Instance().LogMessage(L"too late");
        }
        else
        {
            std::fputs("trace unavailable at exit\n", stdout);
        }
    }
};

CLateLogger s_lateLogger;

} // namespace

TESSALY_CHILD_MAIN(LogDuringExit)
{
    s_lateLogger.armed = true;
    if (!CDebugTrace::IsAvailable())
    {
        return 50;
    }
    CDebugTrace::Instance().SetLogName(args.at(0));
    CDebugTrace::Instance().LogMessage(L"still running");
    return 0;
}

TEST(MessageLogTest, NothingIsWrittenOnceTheTraceIsGone)
{
    const std::string path = TempPath(L"exit.log");
    TestSupport::CChildProcess child(L"LogDuringExit", {std::wstring(path.begin(), path.end())});
    ASSERT_EQ(0u, child.Wait());
    const std::string content = ReadFile(path);
    EXPECT_NE(std::string::npos, content.find(": still running\r\n"));
    EXPECT_EQ(std::string::npos, content.find("too late"));
    EXPECT_NE(std::string::npos, child.Output().find("trace unavailable at exit")) << child.Output();
    ::DeleteFileA(path.c_str());
}

// Not the system's ANSI code page: a narrow copy of the name would best-fit the letters
// into others (or "?") and write another file.
TEST(MessageLogTest, TheFileIsOpenedByItsWideName)
{
    wchar_t folder[MAX_PATH];
    ::GetTempPathW(MAX_PATH, folder);
    const std::wstring path = folder + TestSupport::UniqueName(L"\u0416\u4e2d\u0141.log");
    const std::string narrow = CorvaneTools::Win32::CStringConverter::WtoA(path);
    ASSERT_NE(std::wstring(narrow.begin(), narrow.end()), path) << "the code page holds the letters after all";
    {
        CSimpleMessageLog log;
        log.SetLogName(path);
        log.LogMessage("wide");
    }
    EXPECT_EQ(s_header + Id() + "wide\r\n", TestSupport::ReadBytes(path));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesA(narrow.c_str()));
    ::DeleteFileW(path.c_str());
}

TEST(MessageLogTest, TheMaximumSizeIsTenMegabytesAndAtLeastFourKilobytes)
{
    CSimpleMessageLog log;
    EXPECT_EQ(10485760u, log.GetMaximumSize());
    const struct
    {
        DWORD set;
        DWORD expected;
    } cases[] = {{0, 4096}, {1, 4096}, {4095, 4096}, {4096, 4096}, {65536, 65536}, {0xFFFFFFFF, 0xFFFFFFFF}};
    for (const auto &c : cases)
    {
        log.SetMaximumSize(c.set);
        EXPECT_EQ(c.expected, log.GetMaximumSize()) << c.set;
    }
}

// Two threads write past the maximum once: the first part becomes .log.1, the new file
// begins with the roll-over line, and every line is in one of the two, whole and in order.
TEST(MessageLogTest, RollsOverOnceAtTheMaximumSizeLosingNoLine)
{
    const std::string path = TempPath(L"rolled.log");
    const std::string previous = path + ".1";
    TestSupport::WriteBytes(std::wstring(previous.begin(), previous.end()), "an older part, replaced\r\n");
    const int linesEach = 30;
    const std::string fill(80, '.');
    {
        CSimpleMessageLog log;
        log.SetMaximumSize(4096);
        log.SetLogName(path);
        auto writer = [&](const char *name) {
            log.SetThreadIdentifier(std::string(name));
            for (int i = 0; i < linesEach; ++i)
            {
                log.LogMessage(std::to_string(i) + " " + fill);
            }
        };
        std::thread a(writer, "A");
        std::thread b(writer, "B");
        a.join();
        b.join();
    }
    const std::string first = ReadFile(previous);
    const std::string second = ReadFile(path);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesA((path + ".2").c_str()));
    EXPECT_EQ(s_header, first.substr(0, s_header.size()));
    EXPECT_GE(first.size(), 4096u);
    const std::string name = PreviousPartName(path);
    const std::string rolled = CSimpleMessageLog::RolledOverLine(first.size(), std::wstring(name.begin(), name.end()));
    EXPECT_EQ("Log rolled over at " + std::to_string(first.size()) + " bytes; the previous part is " + name + "\r\n",
              rolled);
    ASSERT_EQ(rolled, second.substr(0, rolled.size()));
    // Each thread's lines, counted across both parts.
    std::istringstream lines(first.substr(s_header.size()) + second.substr(rolled.size()));
    int next[2] = {0, 0};
    for (std::string line; std::getline(lines, line);)
    {
        const int who = line[0] == 'A' ? 0 : 1;
        ASSERT_EQ(std::string(who ? "B" : "A") + ": " + std::to_string(next[who]) + " " + fill + "\r", line);
        ++next[who];
    }
    EXPECT_EQ(linesEach, next[0]);
    EXPECT_EQ(linesEach, next[1]);
    ::DeleteFileA(path.c_str());
    ::DeleteFileA(previous.c_str());
}

// The size is counted from what the file held when it was opened.
TEST(MessageLogTest, AFileAlreadyPastTheMaximumRollsOverAtTheFirstLine)
{
    const std::string path = TempPath(L"large.log");
    const std::string old(5000, 'x');
    TestSupport::WriteBytes(std::wstring(path.begin(), path.end()), old);
    {
        CSimpleMessageLog log;
        log.SetMaximumSize(4096);
        log.SetLogName(path);
        log.LogMessage("first");
        log.LogMessage("second");
    }
    const std::string firstPart = old + s_header + Id() + "first\r\n";
    const std::string name = PreviousPartName(path);
    EXPECT_EQ(firstPart, ReadFile(path + ".1"));
    EXPECT_EQ(CSimpleMessageLog::RolledOverLine(firstPart.size(), std::wstring(name.begin(), name.end())) + Id() +
                  "second\r\n",
              ReadFile(path));
    ::DeleteFileA(path.c_str());
    ::DeleteFileA((path + ".1").c_str());
}

// A reader that holds the file without letting it be renamed: the log goes on in the same
// file, says so once, and tries again only after another maximum's worth.
TEST(MessageLogTest, AFileThatCannotBeRenamedGoesOn)
{
    const std::string path = TempPath(L"held.log");
    const std::wstring wide(path.begin(), path.end());
    TestSupport::WriteBytes(wide, std::string(5000, 'x'));
    const HANDLE reader = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    {
        CSimpleMessageLog log;
        log.SetMaximumSize(4096);
        log.SetLogName(path);
        log.LogMessage("first");
        log.LogMessage("second");
    }
    ::CloseHandle(reader);
    const size_t atFirst = 5000 + s_header.size() + Id().size() + 7;
    EXPECT_EQ(std::string(5000, 'x') + s_header + Id() + "first\r\nLog not rolled over at " + std::to_string(atFirst) +
                  " bytes: renaming it to " + PreviousPartName(path) + " failed (error 32)\r\n" + Id() + "second\r\n",
              ReadFile(path));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesA((path + ".1").c_str()));
    ::DeleteFileA(path.c_str());
}
