#pragma once

#include "counters/TcpCounterSchema.h"
#include "perfmon/PerformanceDataBlock.h"
#include "service/PerformanceCounters.h"
#include "service/TcpTables.h"
#include "win32/handles/KernelObjectName.h"
#include "win32/log/DebugTrace.h"
#include "win32/sync/Event.h"

#include "tests/support/CapturedLog.h"
#include "tests/support/FakeCounterInstallation.h"
#include "tests/support/PublishedCounters.h"
#include "tests/support/TestNames.h"
#include "tests/support/WaitUntil.h"

#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace ApplicationTest {

using CorvaneTools::TessalyService::ITcpTables;
using TestSupport::CPublishedCounters;
using TestSupport::CCapturedLog;

// A sample's first log line, with the time it began.
inline bool IsStartedLine(const std::string &line, const std::string &version)
{
    static const std::regex time("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}");
    const std::string prefix = version + " - Processing - started - ";
    return line.compare(0, prefix.size(), prefix) == 0 && std::regex_match(line.substr(prefix.size()), time);
}

const DWORD ListenState = 2;

// Tables as a test wants them: the given states and owners, the platform's size protocol, a
// table that grows once between the size answer and the next call, or a failure.
class CFakeTcpTables : public ITcpTables
{
public:
    struct Table
    {
        std::vector<DWORD> states;
        // Row i's owning process; 0 for rows beyond.
        std::vector<DWORD> owners;
        DWORD error = NO_ERROR;
        size_t growBy = 0;
        std::vector<DWORD> sizesPassed;
    };

    explicit CFakeTcpTables(bool hasTcp6Table = true) : m_hasTcp6Table(hasTcp6Table), m_ipv4Samples(0), m_ipv6Samples(0)
    {
    }

    DWORD GetExtendedTcpTable(void *table, DWORD *size) override
    {
        const DWORD result = Reply(m_ipv4, {24, 0, 20}, table, size);
        if (result == NO_ERROR)
        {
            m_ticks.push_back(::GetTickCount64());
            ++m_ipv4Samples;
            m_sampled.Set();
        }
        return result;
    }

    DWORD GetExtendedTcp6Table(void *table, DWORD *size) override
    {
        const DWORD result = Reply(m_ipv6, {56, 48, 52}, table, size);
        m_ipv6Samples += result == NO_ERROR;
        return result;
    }

    bool HasTcp6Table() const override
    {
        return m_hasTcp6Table;
    }

    Table m_ipv4;
    Table m_ipv6;
    const bool m_hasTcp6Table;
    std::atomic<int> m_ipv4Samples;
    std::atomic<int> m_ipv6Samples;
    // Set by each IPv4 table handed out.
    CorvaneTools::Win32::CAutoResetEvent m_sampled;
    // When each IPv4 table was handed out; read only once the sampling thread has ended.
    std::vector<ULONGLONG> m_ticks;

    // MIB_TCPROW_OWNER_PID and MIB_TCP6ROW_OWNER_PID.
    struct Row
    {
        DWORD size;
        DWORD stateAt;
        DWORD ownerAt;
    };

private:
    static DWORD Reply(Table &table, Row row, void *buffer, DWORD *size)
    {
        const DWORD rowSize = row.size;
        table.sizesPassed.push_back(*size);
        if (table.error != NO_ERROR)
        {
            return table.error;
        }
        const DWORD required = static_cast<DWORD>(sizeof(DWORD) + table.states.size() * rowSize);
        if (*size < required)
        {
            *size = required;
            table.states.insert(table.states.end(), table.growBy, ListenState);
            table.growBy = 0;
            return ERROR_INSUFFICIENT_BUFFER;
        }
        BYTE *out = static_cast<BYTE *>(buffer);
        const DWORD entries = static_cast<DWORD>(table.states.size());
        std::memcpy(out, &entries, sizeof(entries));
        for (DWORD i = 0; i < entries; ++i)
        {
            // Every field but the state and the owner holds a value no state has.
            BYTE *at = out + sizeof(DWORD) + i * rowSize;
            const DWORD owner = i < table.owners.size() ? table.owners[i] : 0;
            std::memset(at, 0xEE, rowSize);
            std::memcpy(at + row.stateAt, &table.states[i], sizeof(DWORD));
            std::memcpy(at + row.ownerAt, &owner, sizeof(DWORD));
        }
        return NO_ERROR;
    }
};

} // namespace ApplicationTest
