// The socket headers come before anything that includes windows.h, as the IP helper needs.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include "service/TcpTables.h"

namespace CorvaneTools {
namespace TessalyService {

CPlatformTcpTables::CPlatformTcpTables()
    : m_library(L"iphlpapi.dll"), m_hasTcp6Table(m_library.GetProcAddress(L"GetTcp6Table") != nullptr)
{
}

DWORD CPlatformTcpTables::GetExtendedTcpTable(void *table, DWORD *size)
{
    return ::GetExtendedTcpTable(table, size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
}

DWORD CPlatformTcpTables::GetExtendedTcp6Table(void *table, DWORD *size)
{
    return ::GetExtendedTcpTable(table, size, FALSE, AF_INET6, TCP_TABLE_OWNER_PID_ALL, 0);
}

bool CPlatformTcpTables::HasTcp6Table() const
{
    return m_hasTcp6Table;
}

bool CPlatformTcpTables::IsLibraryLoaded() const
{
    return m_library.IsLoaded();
}

} // namespace TessalyService
} // namespace CorvaneTools
