// Connects to another process's listeners and sends on every connection, so that its ends
// are reported as its own, and holds them until told to stop:
//   TessalyConnectionMaker <ipv4 port> <ipv6 port> <ipv4 kept> <ipv4 closed> <ipv6 kept>
//                          <ipv6 closed> <ready event> <stop event>
// Each connection sends one byte, 'K' to be kept open by the peer or 'C' to be closed by it
// (which leaves this end in CLOSE_WAIT). Sets the ready event once every byte is sent, then
// waits for the stop event (two minutes at most), closes everything and ends. With "-" for
// both events it just holds them for the two minutes.
//
// Or is that peer, on both loopback addresses, for the given seconds:
//   TessalyConnectionMaker listen <ipv4 port> <ipv6 port> <seconds>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// 127.0.0.1 or ::1; returns the address's length.
int Loopback(int family, unsigned short port, sockaddr_storage &address)
{
    if (family == AF_INET)
    {
        sockaddr_in &in = reinterpret_cast<sockaddr_in &>(address);
        in.sin_family = AF_INET;
        in.sin_port = ::htons(port);
        in.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        return sizeof(in);
    }
    sockaddr_in6 &in6 = reinterpret_cast<sockaddr_in6 &>(address);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = ::htons(port);
    in6.sin6_addr = in6addr_loopback;
    return sizeof(in6);
}

SOCKET Connect(int family, unsigned short port, char byte)
{
    sockaddr_storage address = {};
    const int length = Loopback(family, port, address);
    const SOCKET s = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET || ::connect(s, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        ::send(s, &byte, 1, 0) != 1)
    {
        throw std::runtime_error("connect or send failed: " + std::to_string(::WSAGetLastError()));
    }
    return s;
}

SOCKET Listen(int family, unsigned short port)
{
    sockaddr_storage address = {};
    const int length = Loopback(family, port, address);
    const SOCKET s = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET || ::bind(s, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        ::listen(s, SOMAXCONN) != 0)
    {
        throw std::runtime_error("listen failed: " + std::to_string(::WSAGetLastError()));
    }
    return s;
}

// Keeps or closes each accepted connection as its first byte asks, until the time is up.
int Serve(unsigned short ipv4Port, unsigned short ipv6Port, DWORD seconds)
{
    const SOCKET listeners[2] = {Listen(AF_INET, ipv4Port), Listen(AF_INET6, ipv6Port)};
    std::vector<SOCKET> kept;
    const ULONGLONG end = ::GetTickCount64() + 1000ull * seconds;
    while (::GetTickCount64() < end)
    {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listeners[0], &readable);
        FD_SET(listeners[1], &readable);
        timeval wait = {0, 100000};
        if (::select(0, &readable, nullptr, nullptr, &wait) <= 0)
        {
            continue;
        }
        for (const SOCKET listener : listeners)
        {
            if (!FD_ISSET(listener, &readable))
            {
                continue;
            }
            const SOCKET accepted = ::accept(listener, nullptr, nullptr);
            char byte = 0;
            if (accepted != INVALID_SOCKET && ::recv(accepted, &byte, 1, MSG_WAITALL) == 1 && byte == 'K')
            {
                kept.push_back(accepted);
            }
            else if (accepted != INVALID_SOCKET)
            {
                ::closesocket(accepted);
            }
        }
    }
    for (const SOCKET s : kept)
    {
        ::closesocket(s);
    }
    ::closesocket(listeners[0]);
    ::closesocket(listeners[1]);
    return 0;
}

// Makes the connections argv asks for, holds them, and closes them; the exit code.
int Make(wchar_t **argv)
{
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
        // "-" for both: a script's maker, which holds its connections for the two minutes.
        const bool events = std::wcscmp(argv[7], L"-") != 0;
        const HANDLE ready = events ? ::OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[7]) : nullptr;
        const HANDLE stop = events ? ::OpenEventW(SYNCHRONIZE, FALSE, argv[8]) : nullptr;
        if (events && (!ready || !stop))
        {
            throw std::runtime_error("the events cannot be opened");
        }
        if (events)
        {
            ::SetEvent(ready);
            result = ::WaitForSingleObject(stop, 120000) == WAIT_OBJECT_0 ? 0 : 4;
            ::CloseHandle(ready);
            ::CloseHandle(stop);
        }
        else
        {
            ::Sleep(120000);
        }
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
    return result;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc == 5 && std::wcscmp(argv[1], L"listen") == 0)
    {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        try
        {
            return Serve(static_cast<unsigned short>(std::stoi(argv[2])), static_cast<unsigned short>(std::stoi(argv[3])),
                         static_cast<DWORD>(std::stoul(argv[4])));
        }
        catch (const std::exception &e)
        {
            std::fprintf(stderr, "TessalyConnectionMaker: %s\n", e.what());
            return 1;
        }
    }
    if (argc != 9)
    {
        std::fwprintf(stderr, L"usage: TessalyConnectionMaker <ipv4 port> <ipv6 port> <ipv4 kept> <ipv4 closed> "
                              L"<ipv6 kept> <ipv6 closed> <ready event> <stop event>\n"
                              L"       TessalyConnectionMaker listen <ipv4 port> <ipv6 port> <seconds>\n");
        return 2;
    }
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
    {
        return 3;
    }
    const int result = Make(argv);
    ::WSACleanup();
    return result;
}
