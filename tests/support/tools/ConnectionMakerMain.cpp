// Connects to another process's listeners and sends on every connection, so that its ends
// are reported as its own, and holds them until told to stop:
//   TessalyConnectionMaker <ipv4 port> <ipv6 port> <ipv4 kept> <ipv4 closed> <ipv6 kept>
//                          <ipv6 closed> <ready event> <stop event>
// Each connection sends one byte, 'K' to be kept open by the peer or 'C' to be closed by it
// (which leaves this end in CLOSE_WAIT). Sets the ready event once every byte is sent, then
// waits for the stop event (two minutes at most), closes everything and ends.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

SOCKET Connect(int family, unsigned short port, char byte)
{
    sockaddr_storage address = {};
    int length = 0;
    if (family == AF_INET)
    {
        sockaddr_in &in = reinterpret_cast<sockaddr_in &>(address);
        in.sin_family = AF_INET;
        in.sin_port = ::htons(port);
        in.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        length = sizeof(in);
    }
    else
    {
        sockaddr_in6 &in6 = reinterpret_cast<sockaddr_in6 &>(address);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = ::htons(port);
        in6.sin6_addr = in6addr_loopback;
        length = sizeof(in6);
    }
    const SOCKET s = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET || ::connect(s, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        ::send(s, &byte, 1, 0) != 1)
    {
        throw std::runtime_error("connect or send failed: " + std::to_string(::WSAGetLastError()));
    }
    return s;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 9)
    {
        std::fwprintf(stderr, L"usage: TessalyConnectionMaker <ipv4 port> <ipv6 port> <ipv4 kept> <ipv4 closed> "
                              L"<ipv6 kept> <ipv6 closed> <ready event> <stop event>\n");
        return 2;
    }
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
    {
        return 3;
    }
    std::vector<SOCKET> open;
    int result = 0;
    try
    {
        const struct
        {
            int family;
            unsigned short port;
            int count;
            char byte;
        } kinds[] = {
            {AF_INET, static_cast<unsigned short>(std::stoi(argv[1])), std::stoi(argv[3]), 'K'},
            {AF_INET, static_cast<unsigned short>(std::stoi(argv[1])), std::stoi(argv[4]), 'C'},
            {AF_INET6, static_cast<unsigned short>(std::stoi(argv[2])), std::stoi(argv[5]), 'K'},
            {AF_INET6, static_cast<unsigned short>(std::stoi(argv[2])), std::stoi(argv[6]), 'C'},
        };
        for (const auto &kind : kinds)
        {
            for (int i = 0; i < kind.count; ++i)
            {
                open.push_back(Connect(kind.family, kind.port, kind.byte));
            }
        }
        const HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[7]);
        const HANDLE stop = ::OpenEventW(SYNCHRONIZE, FALSE, argv[8]);
        if (!ready || !stop)
        {
            throw std::runtime_error("the events cannot be opened");
        }
        ::SetEvent(ready);
        result = ::WaitForSingleObject(stop, 120000) == WAIT_OBJECT_0 ? 0 : 4;
        ::CloseHandle(ready);
        ::CloseHandle(stop);
    }
    catch (const std::exception &e)
    {
        std::fprintf(stderr, "TessalyConnectionMaker: %s\n", e.what());
        result = 1;
    }
    for (const SOCKET s : open)
    {
        ::closesocket(s);
    }
    ::WSACleanup();
    return result;
}
