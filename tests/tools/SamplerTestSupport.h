#pragma once

// What the reader tool's tests share: its runs as a child process, and the CSV it writes,
// read back with a parser of the tests' own.
#include "tests/collector/CounterWriter.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace TestSupport {

typedef std::vector<std::vector<std::string>> Rows;

inline std::string Narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

// Every cell quoted, quotes inside doubled, every row ended by CR LF; nothing else parses.
inline std::optional<Rows> ParseCsv(const std::string &text)
{
    Rows rows;
    size_t at = 0;
    while (at < text.size())
    {
        std::vector<std::string> row;
        for (;;)
        {
            if (text[at] != '"')
            {
                return std::nullopt;
            }
            std::string cell;
            for (++at; at < text.size() && (text[at] != '"' || text.compare(at, 2, "\"\"") == 0); ++at)
            {
                cell += text[at];
                at += text[at] == '"' ? 1 : 0;
            }
            if (at++ >= text.size())
            {
                return std::nullopt;
            }
            row.push_back(cell);
            if (text.compare(at, 2, "\r\n") == 0)
            {
                at += 2;
                break;
            }
            if (at >= text.size() || text[at++] != ',')
            {
                return std::nullopt;
            }
        }
        rows.push_back(row);
    }
    return rows;
}

inline size_t RowsIn(const std::wstring &path)
{
    const std::optional<Rows> rows = ParseCsv(ReadBytes(path));
    return rows ? rows->size() : 0;
}

struct SRun
{
    DWORD exitCode;
    std::string output;
};

inline SRun RunReader(const std::vector<std::wstring> &args, const wchar_t *architecture = ThisArchitecture(),
                      DWORD timeoutMs = 60000)
{
    CChildProcess reader(L"", args, Reader(architecture));
    const DWORD exitCode = reader.Wait(timeoutMs);
    return {exitCode, reader.Output()};
}

inline std::string ThisComputer()
{
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    ::GetComputerNameW(computer, &length);
    return Narrow(computer);
}

// The first cell of a header row.
inline std::string ZoneCell()
{
    TIME_ZONE_INFORMATION zone = {};
    ::GetTimeZoneInformation(&zone);
    return "(PDH-CSV 4.0) (" + Narrow(zone.StandardName) + ")(" + std::to_string(zone.Bias) + ")";
}

typedef std::function<std::vector<std::string>(const std::string &)> RowAt;

// The rows up to changedAfter hold the cells before a change, those from settledFrom the
// cells after it; the rows sampled while it happened may be either, but change only once.
inline void ExpectPhases(const Rows &rows, size_t changedAfter, size_t settledFrom, const RowAt &before,
                         const RowAt &after)
{
    bool changed = false;
    for (size_t n = 1; n < rows.size(); ++n)
    {
        SCOPED_TRACE(n);
        const std::string &time = rows[n].at(0);
        changed = changed || n >= settledFrom || rows[n] != before(time);
        EXPECT_TRUE(n > changedAfter || !changed);
        EXPECT_EQ(changed ? after(time) : before(time), rows[n]);
    }
}

// The product's counters installed for the whole suite, a writer publishing for each test.
class CPublishingTest : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_counters = new CInstalledProductCounters;
    }

    static void TearDownTestSuite()
    {
        EXPECT_EQ(0u, s_counters->Uninstall());
        delete s_counters;
        s_counters = nullptr;
    }

    void SetUp() override
    {
        ASSERT_EQ(0x11u, s_counters->Installed());
        ASSERT_TRUE(m_writer.Started()) << m_writer.Stop() << m_writer.Output();
    }

    static inline CInstalledProductCounters *s_counters = nullptr;
    const CScratchDirectory m_scratch{L"sampler"};
    const std::wstring m_file = m_scratch / L"samples.csv";
    CWriter m_writer;
};

} // namespace TestSupport
