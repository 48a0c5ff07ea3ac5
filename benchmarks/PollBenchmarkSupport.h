#pragma once

// What the poll benchmark measures with: the trace switched on and off, the bare platform
// calls a poll makes, and their last tables handed out again from memory.
#include "service/ProcessIdentities.h"
#include "service/TcpTables.h"
#include "win32/log/DebugTrace.h"
#include "win32/log/LogMessages.h"

#include "tests/support/TestNames.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <stdexcept>
#include <string>
#include <vector>

namespace PollBenchmark {

// A table handed out by the platform's size protocol: too small a buffer is told the size.
inline DWORD Reply(const std::vector<BYTE> &from, void *table, DWORD *size)
{
    if (*size < from.size())
    {
        *size = static_cast<DWORD>(from.size());
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(table, from.data(), from.size());
    return NO_ERROR;
}

using CorvaneTools::TessalyService::ITcpTables;
using CorvaneTools::Win32::CDebugTrace;

// The trace's file while this lives, in the temporary folder; deleted afterwards.
class CTemporaryLog
{
public:
    CTemporaryLog()
    {
        char folder[MAX_PATH];
        ::GetTempPathA(MAX_PATH, folder);
        const std::wstring name = TestSupport::UniqueName(L"PollBenchmark.log");
        m_path = folder + std::string(name.begin(), name.end());
        On();
    }

    ~CTemporaryLog()
    {
        Off();
        ::DeleteFileA(m_path.c_str());
    }

    CTemporaryLog(const CTemporaryLog &) = delete;
    CTemporaryLog &operator=(const CTemporaryLog &) = delete;

    void On()
    {
        if (m_previous)
        {
            CDebugTrace::Instance().SetTarget(*m_previous);
            m_previous = nullptr;
        }
        CDebugTrace::Instance().SetLogName(m_path);
    }

    // As the service runs without a log file: the trace points at a log that discards.
    void Off()
    {
        if (!m_previous)
        {
            m_previous = &CDebugTrace::Instance().SetTarget(m_null);
        }
    }

private:
    std::string m_path;
    CorvaneTools::Win32::CNullMessageLog m_null;
    CorvaneTools::Win32::ILogMessages *m_previous = nullptr;
};

// The two calls a poll makes, each into a buffer kept from the call before.
class CBareCalls
{
public:
    CBareCalls() = default;

    CBareCalls(const CBareCalls &) = delete;
    CBareCalls &operator=(const CBareCalls &) = delete;

    void Call()
    {
        Fetch(m_ipv4, [](void *table, ULONG *size, CBareCalls &) {
            return ::GetExtendedTcpTable(table, size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
        });
        Fetch(m_ipv6, [](void *table, ULONG *size, CBareCalls &) {
            return ::GetExtendedTcpTable(table, size, FALSE, AF_INET6, TCP_TABLE_OWNER_PID_ALL, 0);
        });
    }

    const std::vector<BYTE> &Table(bool isIPv4) const
    {
        return isIPv4 ? m_ipv4 : m_ipv6;
    }

private:
    template <typename TableCall> void Fetch(std::vector<BYTE> &buffer, TableCall call)
    {
        for (;;)
        {
            ULONG size = static_cast<ULONG>(buffer.size());
            const ULONG result = call(buffer.data(), &size, *this);
            if (result == NO_ERROR)
            {
                return;
            }
            if (result != ERROR_INSUFFICIENT_BUFFER)
            {
                throw std::runtime_error("a TCP table call failed with " + std::to_string(result));
            }
            buffer.resize(size);
        }
    }

    std::vector<BYTE> m_ipv4;
    std::vector<BYTE> m_ipv6;
};

// The tables the bare calls last fetched, handed out again from memory: a poll over these
// costs only its own work (and a copy), which the platform calls' noise would hide.
class CReplayedTables : public ITcpTables
{
public:
    explicit CReplayedTables(const CBareCalls &bare) : m_ipv4(bare.Table(true)), m_ipv6(bare.Table(false))
    {
    }

    DWORD GetExtendedTcpTable(void *table, DWORD *size) override
    {
        return Reply(m_ipv4, table, size);
    }

    DWORD GetExtendedTcp6Table(void *table, DWORD *size) override
    {
        return Reply(m_ipv6, table, size);
    }

    bool HasTcp6Table() const override
    {
        return !m_ipv6.empty();
    }

protected:
    std::vector<BYTE> m_ipv4;
    std::vector<BYTE> m_ipv6;
};

// The same tables with every row owned by one of `owners` processes, in turn, as a server's
// table is: the owners' own work at scale, which this platform's tables (owner 0 for every
// end that has not sent) cannot show.
class CPlantedOwnerTables : public CReplayedTables
{
public:
    CPlantedOwnerTables(const CBareCalls &bare, DWORD owners) : CReplayedTables(bare)
    {
        Plant(m_ipv4, 24, 20, owners);
        Plant(m_ipv6, 56, 52, owners);
    }

private:
    static void Plant(std::vector<BYTE> &table, DWORD rowSize, DWORD ownerAt, DWORD owners)
    {
        DWORD entries = 0;
        if (table.size() >= sizeof(entries))
        {
            std::memcpy(&entries, table.data(), sizeof(entries));
        }
        for (DWORD i = 0; i < entries && sizeof(DWORD) + (i + 1) * rowSize <= table.size(); ++i)
        {
            const DWORD pid = 4 * (1 + i % owners);
            std::memcpy(table.data() + sizeof(DWORD) + i * rowSize + ownerAt, &pid, sizeof(pid));
        }
    }
};

// A server's tables without making its sockets: `rows` IPv4 rows, mostly ESTABLISHED and
// TIME_WAIT as a busy server's are, each owned by one of `owners` processes in turn (none
// when 0) except the TIME_WAIT rows, which have no owner; an empty IPv6 table.
class CSyntheticTables : public ITcpTables
{
public:
    CSyntheticTables(DWORD rows, DWORD owners) : m_ipv4(sizeof(DWORD) + rows * 24), m_ipv6(sizeof(DWORD), 0)
    {
        std::memcpy(m_ipv4.data(), &rows, sizeof(rows));
        for (DWORD i = 0; i < rows; ++i)
        {
            BYTE *row = m_ipv4.data() + sizeof(DWORD) + i * 24;
            const DWORD state = i % 10 < 6 ? 5 : i % 10 < 9 ? 11 : 1 + i % 12;
            const DWORD pid = owners == 0 || state == 11 ? 0 : 4 * (1 + i % owners);
            std::memcpy(row, &state, sizeof(state));
            std::memcpy(row + 20, &pid, sizeof(pid));
        }
    }

    DWORD GetExtendedTcpTable(void *table, DWORD *size) override
    {
        return Reply(m_ipv4, table, size);
    }

    DWORD GetExtendedTcp6Table(void *table, DWORD *size) override
    {
        return Reply(m_ipv6, table, size);
    }

    bool HasTcp6Table() const override
    {
        return true;
    }

private:
    std::vector<BYTE> m_ipv4;
    std::vector<BYTE> m_ipv6;
};

// Processes that all open and have a name, without asking the platform: what a lookup
// costs is not the poll's steady state.
class CNamedProcesses : public CorvaneTools::TessalyService::IProcessIdentities
{
public:
    HANDLE Open(DWORD pid) override
    {
        return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(pid) + 1);
    }

    void Close(HANDLE) override
    {
    }

    bool GetCreationTime(HANDLE, ULONGLONG &time) override
    {
        time = 1;
        return true;
    }

    bool GetImagePath(HANDLE process, wchar_t *path, DWORD &length) override
    {
        const int written = std::swprintf(path, length, L"C:\\Servers\\owner%llu.exe",
                                          static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(process)));
        length = static_cast<DWORD>(written);
        return written > 0;
    }
};


} // namespace PollBenchmark
