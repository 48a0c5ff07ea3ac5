// Tessaly.exe sampling back to back (/poll 0) with the smallest LogMaxSize its Config key
// takes: the log rolls over again and again and neither part grows past the bound.
#include "tests/service/ServiceProgramSupport.h"
#include "tests/support/ProviderRegistrationLock.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

using namespace ServiceProgramSupport;

namespace {

// A sample's longest line is well under this.
const size_t LongestLine = 512;

unsigned long long SizeOf(const std::wstring &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
    {
        return 0;
    }
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

} // namespace

TEST(LogRollOverTest, SamplingBackToBackKeepsTheLogWithinLogMaxSize)
{
    const TestSupport::CProviderRegistrationLock lock;
    const TestSupport::CScratchDirectory logs(L"TessalyRollOver");
    RunProgram({L"/noMessages", L"/remove"});
    ASSERT_EQ(0u, RunProgram({L"/noMessages", L"/install"}));
    // Raised to the smallest size, 4096 bytes.
    const DWORD tiny = 1;
    SetValue(ConfigKey, L"LogMaxSize", REG_DWORD, &tiny, sizeof(tiny));
    const std::wstring log = logs / L"CorvaneTessaly.log";
    const std::wstring previous = log + L".1";
    const HANDLE shutdown = ::CreateEventW(nullptr, TRUE, FALSE, L"Global\\CorvaneToolsServerShutdown");
    {
        TestSupport::CChildProcess program(
            L"", {L"/noMessages", L"/run", L"/poll", L"0", L"/logPath", logs.Path()}, Program());
        // A roll seen to happen: the log shrinks while a previous part is there.
        unsigned long long written = 0;
        EXPECT_TRUE(TestSupport::WaitUntil(
            [&] {
                written = std::max(written, SizeOf(log));
                return TestSupport::Exists(previous) && SizeOf(log) < written;
            },
            20000));
        ::PulseEvent(shutdown);
        EXPECT_EQ(0u, program.Wait(20000));
    }
    ::CloseHandle(shutdown);
    EXPECT_EQ(0u, RunProgram({L"/noMessages", L"/remove"}));

    const unsigned long long previousSize = SizeOf(previous);
    std::printf("previous part %llu bytes, log %llu bytes\n", previousSize, SizeOf(log));
    EXPECT_GE(previousSize, 4096u);
    EXPECT_LT(previousSize, 4096u + LongestLine);
    EXPECT_LT(SizeOf(log), 4096u + LongestLine);
    EXPECT_FALSE(TestSupport::Exists(log + L".2"));
    const std::vector<std::string> lines = TestSupport::ReadLogLines(std::string(log.begin(), log.end()), false);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("Log rolled over at " + std::to_string(previousSize) +
                  " bytes; the previous part is CorvaneTessaly.log.1",
              lines.front());
    // The last line may have been the one that rolled the log over.
    EXPECT_TRUE(Contains(LogMessages(log), "Service shut down complete") ||
                Contains(LogMessages(previous), "Service shut down complete"));
}
