#pragma once

#include "win32/system/LibraryLoader.h"

#include <windows.h>

namespace CorvaneTools {
namespace TessalyService {

// The two platform calls that fetch a TCP table, behind one face so that a sample can be
// shown any table or failure. Both fill the table in place and take the size in and out.
class ITcpTables
{
public:
    // IPv4, one row per connection with its owning process, unsorted.
    virtual DWORD GetExtendedTcpTable(void *table, DWORD *size) = 0;
    // IPv6, unsorted; only called when HasTcp6Table.
    virtual DWORD GetTcp6Table(void *table, DWORD *size) = 0;
    virtual bool HasTcp6Table() const = 0;

protected:
    ~ITcpTables() = default;
};

// The real calls: GetExtendedTcpTable linked, GetTcp6Table looked up in "iphlpapi.dll"
// because older systems lack it.
class CPlatformTcpTables : public ITcpTables
{
public:
    CPlatformTcpTables();
    CPlatformTcpTables(const CPlatformTcpTables &) = delete;
    CPlatformTcpTables &operator=(const CPlatformTcpTables &) = delete;

    DWORD GetExtendedTcpTable(void *table, DWORD *size) override;
    DWORD GetTcp6Table(void *table, DWORD *size) override;
    bool HasTcp6Table() const override;

    bool IsLibraryLoaded() const;

private:
    typedef ULONG(WINAPI *GetTcp6TableFunction)(void *table, ULONG *size, BOOL order);

    CorvaneTools::Win32::CSystemLibrary m_library;
    GetTcp6TableFunction m_getTcp6Table;
};

} // namespace TessalyService
} // namespace CorvaneTools
