#include "tests/support/LoopbackConnections.h"

#include <iphlpapi.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace TestSupport {

namespace {

void Check(bool succeeded, const char *call)
{
    if (!succeeded)
    {
        throw std::runtime_error(std::string(call) + " failed with " + std::to_string(::WSAGetLastError()));
    }
}

} // namespace

CLoopbackConnections::CLoopbackConnections(int family)
    : m_family(family), m_listener(INVALID_SOCKET), m_address(), m_addressLength(0), m_expected()
{
    WSADATA data;
    Check(::WSAStartup(MAKEWORD(2, 2), &data) == 0, "WSAStartup");
    if (family == AF_INET6)
    {
        sockaddr_in6 &address = reinterpret_cast<sockaddr_in6 &>(m_address);
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        m_addressLength = sizeof(address);
    }
    else
    {
        sockaddr_in &address = reinterpret_cast<sockaddr_in &>(m_address);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_addressLength = sizeof(address);
    }
    m_listener = Open();
    Check(::bind(m_listener, reinterpret_cast<sockaddr *>(&m_address), m_addressLength) == 0, "bind");
    Check(::listen(m_listener, SOMAXCONN) == 0, "listen");
    Check(::getsockname(m_listener, reinterpret_cast<sockaddr *>(&m_address), &m_addressLength) == 0, "getsockname");
    ++m_expected[Listen - 1];
}

CLoopbackConnections::~CLoopbackConnections()
{
    for (SOCKET socket : m_open)
    {
        Reset(socket);
    }
    ::WSACleanup();
}

void CLoopbackConnections::AddListeners(int count)
{
    for (int i = 0; i < count; ++i)
    {
        SOCKET listener = Open();
        sockaddr_storage address = m_address;
        // Any free port of the same address (both families keep the port in one place).
        reinterpret_cast<sockaddr_in &>(address).sin_port = 0;
        Check(::bind(listener, reinterpret_cast<sockaddr *>(&address), m_addressLength) == 0, "bind");
        Check(::listen(listener, 1) == 0, "listen");
        ++m_expected[Listen - 1];
    }
}

void CLoopbackConnections::AddEstablishedPairs(int count)
{
    for (int i = 0; i < count; ++i)
    {
        SOCKET client, server;
        Connect(client, server);
        m_expected[Established - 1] += 2;
    }
}

void CLoopbackConnections::AddTimeWaits(int count)
{
    for (int i = 0; i < count; ++i)
    {
        SOCKET client, server;
        Connect(client, server);
        m_open.pop_back();
        m_open.pop_back();
        Check(::closesocket(client) == 0, "closesocket");
        char byte;
        // The client's FIN has arrived when the server reads the end of the stream.
        Check(::recv(server, &byte, 1, 0) == 0, "recv");
        Check(::closesocket(server) == 0, "closesocket");
        ++m_expected[TimeWait - 1];
    }
}

void CLoopbackConnections::AddHalfClosedPairs(int count)
{
    for (int i = 0; i < count; ++i)
    {
        SOCKET client, server;
        Connect(client, server);
        Check(::shutdown(client, SD_SEND) == 0, "shutdown");
        char byte;
        Check(::recv(server, &byte, 1, 0) == 0, "recv");
        ++m_expected[FinWait2 - 1];
        ++m_expected[CloseWait - 1];
    }
}

const CLoopbackConnections::StateCounts &CLoopbackConnections::Expected() const
{
    return m_expected;
}

CLoopbackConnections::StateCounts CLoopbackConnections::ReadTable(int family)
{
    // The basic table: the owner lookup of the full one is slow on some platforms and not
    // needed to count states.
    std::vector<BYTE> buffer(4096);
    DWORD size = static_cast<DWORD>(buffer.size());
    DWORD result;
    while ((result = ::GetExtendedTcpTable(buffer.data(), &size, FALSE, family, TCP_TABLE_BASIC_ALL, 0)) ==
           ERROR_INSUFFICIENT_BUFFER)
    {
        buffer.resize(size);
    }
    if (result != NO_ERROR)
    {
        throw std::runtime_error("GetExtendedTcpTable failed with " + std::to_string(result));
    }
    StateCounts counts = {};
    DWORD entries;
    std::memcpy(&entries, buffer.data(), sizeof(entries));
    // MIB_TCPROW and MIB_TCP6ROW both begin with the state; rows follow the count at the
    // row type's alignment.
    const size_t rowSize = family == AF_INET6 ? sizeof(MIB_TCP6ROW) : sizeof(MIB_TCPROW);
    const size_t first = family == AF_INET6 ? offsetof(MIB_TCP6TABLE, table) : offsetof(MIB_TCPTABLE, table);
    for (DWORD i = 0; i < entries; ++i)
    {
        DWORD state;
        std::memcpy(&state, buffer.data() + first + i * rowSize, sizeof(state));
        if (state >= 1 && state <= counts.size())
        {
            ++counts[state - 1];
        }
    }
    return counts;
}

bool CLoopbackConnections::WaitForTable(const CLoopbackConnections &ipv4, const CLoopbackConnections &ipv6,
                                        DWORD timeoutMs)
{
    const DWORD start = ::GetTickCount();
    while (ReadTable(AF_INET) != ipv4.Expected() || ReadTable(AF_INET6) != ipv6.Expected())
    {
        if (::GetTickCount() - start > timeoutMs)
        {
            return false;
        }
        ::Sleep(10);
    }
    return true;
}

bool CLoopbackConnections::TableIsEmpty(int family)
{
    const StateCounts counts = ReadTable(family);
    for (DWORD count : counts)
    {
        if (count != 0)
        {
            return false;
        }
    }
    return true;
}

SOCKET CLoopbackConnections::Open()
{
    const SOCKET socket = ::socket(m_family, SOCK_STREAM, IPPROTO_TCP);
    Check(socket != INVALID_SOCKET, "socket");
    m_open.push_back(socket);
    return socket;
}

void CLoopbackConnections::Connect(SOCKET &client, SOCKET &server)
{
    client = Open();
    Check(::connect(client, reinterpret_cast<sockaddr *>(&m_address), m_addressLength) == 0, "connect");
    server = ::accept(m_listener, nullptr, nullptr);
    Check(server != INVALID_SOCKET, "accept");
    m_open.push_back(server);
}

// A zero linger time closes with a reset, which leaves no row behind.
void CLoopbackConnections::Reset(SOCKET socket)
{
    const linger abort = {1, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&abort), sizeof(abort));
    ::closesocket(socket);
}

} // namespace TestSupport
