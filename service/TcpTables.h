#pragma once

#include "win32/system/LibraryLoader.h"

#include <windows.h>

namespace CorvaneTools {
namespace TessalyService {

// The two platform calls that fetch a TCP table, behind one face so that a sample can be
// shown any table or failure. Both fill the table in place and take the size in and out,
// one row per connection with its owning process, unsorted.
class ITcpTables
{
public:
    // IPv4: rows of 24 bytes, state at 0, owner at 20.
    virtual DWORD GetExtendedTcpTable(void *table, DWORD *size) = 0;
    // IPv6: rows of 56 bytes, state at 48, owner at 52; only called when HasTcp6Table.
    virtual DWORD GetExtendedTcp6Table(void *table, DWORD *size) = 0;
    virtual bool HasTcp6Table() const = 0;

protected:
    ~ITcpTables() = default;
};

// The real calls: GetExtendedTcpTable for both families. A system whose "iphlpapi.dll" lacks
// GetTcp6Table has no IPv6 table to ask for; it is looked up only to tell.
class CPlatformTcpTables : public ITcpTables
{
public:
    CPlatformTcpTables();
    CPlatformTcpTables(const CPlatformTcpTables &) = delete;
    CPlatformTcpTables &operator=(const CPlatformTcpTables &) = delete;

    DWORD GetExtendedTcpTable(void *table, DWORD *size) override;
    DWORD GetExtendedTcp6Table(void *table, DWORD *size) override;
    bool HasTcp6Table() const override;

    bool IsLibraryLoaded() const;

private:
    CorvaneTools::Win32::CSystemLibrary m_library;
    bool m_hasTcp6Table;
};

} // namespace TessalyService
} // namespace CorvaneTools
