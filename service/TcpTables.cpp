// The socket headers come before anything that includes windows.h, as the IP helper needs.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include "service/TcpTables.h"

namespace CorvaneTools {
namespace TessalyService {

using CorvaneTools::Win32::FunctionCast;

CPlatformTcpTables::CPlatformTcpTables()
    : m_library(L"iphlpapi.dll"),
      m_getTcp6Table(FunctionCast<GetTcp6TableFunction>(m_library.GetProcAddress(L"GetTcp6Table")))
{
}

DWORD CPlatformTcpTables::GetExtendedTcpTable(void *table, DWORD *size)
{
    return ::GetExtendedTcpTable(table, size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
}

DWORD CPlatformTcpTables::GetTcp6Table(void *table, DWORD *size)
{
    return m_getTcp6Table(table, size, FALSE);
}

bool CPlatformTcpTables::HasTcp6Table() const
{
    return m_getTcp6Table != nullptr;
}

bool CPlatformTcpTables::IsLibraryLoaded() const
{
    return m_library.IsLoaded();
}

} // namespace TessalyService
} // namespace CorvaneTools
