#include "win32/DebugTrace.h"
#include "win32/SimpleMessageLog.h"

#include "tests/support/ChildProcess.h"
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
