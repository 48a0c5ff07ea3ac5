#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <array>
#include <vector>

namespace TestSupport {

// TCP connections on one loopback address in states a test asks for, and the count of
// rows per state (index = state value - 1) they put into the kernel's table. Everything
// still open is reset on destruction, so only the TIME_WAIT rows made on purpose
// outlive the object (for the kernel's 60 s).
class CLoopbackConnections
{
public:
    typedef std::array<DWORD, 12> StateCounts;

    static const DWORD Listen = 2;
    static const DWORD Established = 5;
    static const DWORD FinWait2 = 7;
    static const DWORD CloseWait = 8;
    static const DWORD TimeWait = 11;

    // AF_INET (127.0.0.1) or AF_INET6 (::1). Opens the one listener that accepts the
    // other connections; it is counted.
    explicit CLoopbackConnections(int family);
    ~CLoopbackConnections();
    CLoopbackConnections(const CLoopbackConnections &) = delete;
    CLoopbackConnections &operator=(const CLoopbackConnections &) = delete;

    // Throw std::runtime_error naming the socket call that failed.
    void AddListeners(int count);
    void AddEstablishedPairs(int count);
    // Closed by the client first and by the server after the client's FIN: one TIME_WAIT
    // on the client's side per connection once the server's FIN is acknowledged.
    void AddTimeWaits(int count);
    // The client shuts its sending side: FIN_WAIT2 for it, CLOSE_WAIT for the server.
    void AddHalfClosedPairs(int count);

    const StateCounts &Expected() const;

    // This family's rows of the kernel's table, counted per state.
    static StateCounts ReadTable(int family);
    // Waits until the table of both families shows what they made (transient closing
    // states gone); false after timeoutMs.
    static bool WaitForTable(const CLoopbackConnections &ipv4, const CLoopbackConnections &ipv6,
                             DWORD timeoutMs = 5000);
    // True when this family's table has no row at all.
    static bool TableIsEmpty(int family);

private:
    SOCKET Open();
    void Connect(SOCKET &client, SOCKET &server);
    static void Reset(SOCKET socket);

    const int m_family;
    SOCKET m_listener;
    sockaddr_storage m_address;
    int m_addressLength;
    std::vector<SOCKET> m_open;
    StateCounts m_expected;
};

} // namespace TestSupport
