// Holds loopback connections in known states for a while, so that a script can watch the
// service count them:
//   TessalyConnections <seconds> [/established:<pairs>] [/halfclosed:<pairs>]
//                      [/timewait:<count>] [/listen:<count>] [/ipv6]
// Prints the rows per state it made, then waits.
#include "tests/support/LoopbackConnections.h"

#include <cstdio>
#include <cwchar>
#include <exception>
#include <string>

namespace {

const wchar_t *const StateNames[12] = {L"CLOSED",    L"LISTEN",     L"SYN_SENT",  L"SYN_RCVD",
                                       L"ESTABLISHED", L"FIN_WAIT1", L"FIN_WAIT2", L"CLOSE_WAIT",
                                       L"CLOSING",   L"LAST_ACK",   L"TIME_WAIT", L"DELETE_TCB"};

bool Option(const wchar_t *argument, const wchar_t *name, int &value)
{
    const size_t length = std::wcslen(name);
    if (std::wcsncmp(argument, name, length) != 0)
    {
        return false;
    }
    value = std::stoi(argument + length);
    return true;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    try
    {
        int seconds = argc > 1 ? std::stoi(argv[1]) : -1;
        int established = 0, halfClosed = 0, timeWaits = 0, listeners = 0;
        bool ipv6 = false;
        for (int i = 2; i < argc; ++i)
        {
            ipv6 = ipv6 || std::wcscmp(argv[i], L"/ipv6") == 0;
            if (!Option(argv[i], L"/established:", established) && !Option(argv[i], L"/halfclosed:", halfClosed) &&
                !Option(argv[i], L"/timewait:", timeWaits) && !Option(argv[i], L"/listen:", listeners) &&
                std::wcscmp(argv[i], L"/ipv6") != 0)
            {
                seconds = -1;
            }
        }
        if (seconds < 0)
        {
            std::fwprintf(stderr, L"usage: TessalyConnections <seconds> [/established:n] [/halfclosed:n] "
                                  L"[/timewait:n] [/listen:n] [/ipv6]\n");
            return 2;
        }
        TestSupport::CLoopbackConnections connections(ipv6 ? AF_INET6 : AF_INET);
        connections.AddListeners(listeners);
        connections.AddEstablishedPairs(established);
        connections.AddHalfClosedPairs(halfClosed);
        connections.AddTimeWaits(timeWaits);
        for (size_t i = 0; i < 12; ++i)
        {
            if (connections.Expected()[i] != 0)
            {
                std::wprintf(L"%ls %ls: %lu\n", ipv6 ? L"IPv6" : L"IPv4", StateNames[i], connections.Expected()[i]);
            }
        }
        std::fflush(stdout);
        ::Sleep(static_cast<DWORD>(seconds) * 1000);
        return 0;
    }
    catch (const std::exception &e)
    {
        std::fprintf(stderr, "TessalyConnections: %s\n", e.what());
        return 1;
    }
}
