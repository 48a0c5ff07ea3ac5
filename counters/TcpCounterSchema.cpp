#include "counters/TcpCounterSchema.h"

#include "counters/CounterText.h"
#include "counters/ProcessConnectionsSchema.h"

namespace CorvaneTools {
namespace Counters {

const wchar_t TcpCounterSetName[] = L"Corvane Tessaly";
const wchar_t TcpCounterObjectName[] = L"Corvane Tessaly Service";

namespace {

const CounterText CounterTexts[NumTcpCounters] = {
    {L"IPv4: CLOSED", L"The total number of IPv4 connections in CLOSED state"},
    {L"IPv4: LISTEN", L"The total number of IPv4 connections in LISTEN state"},
    {L"IPv4: SYN_SENT", L"The total number of IPv4 connections in SYN_SENT state"},
    {L"IPv4: SYN_RCVD", L"The total number of IPv4 connections in SYN_RCVD state"},
    {L"IPv4: ESTABLISHED", L"The total number of IPv4 connections in ESTABLISHED state"},
    {L"IPv4: FIN_WAIT1", L"The total number of IPv4 connections in FIN_WAIT1 state"},
    {L"IPv4: FIN_WAIT2", L"The total number of IPv4 connections in FIN_WAIT2 state"},
    {L"IPv4: CLOSE_WAIT", L"The total number of IPv4 connections in CLOSE_WAIT state"},
    {L"IPv4: CLOSING", L"The total number of IPv4 connections in CLOSING state"},
    {L"IPv4: LAST_ACK", L"The total number of IPv4 connections in LAST_ACK state"},
    {L"IPv4: TIME_WAIT", L"The total number of IPv4 connections in TIME_WAIT state"},
    {L"IPv4: Max TIME_WAIT", L"The maximum number of IPv4 connections ever in TIME_WAIT state"},
    {L"IPv4: DELETE TCB", L"The total number of IPv4 connections in DELETE_TCB state"},
    {L"IPv6: CLOSED", L"The total number of IPv6 connections in CLOSED state"},
    {L"IPv6: LISTEN", L"The total number of IPv6 connections in LISTEN state"},
    {L"IPv6: SYN_SENT", L"The total number of IPv6 connections in SYN_SENT state"},
    {L"IPv6: SYN_RCVD", L"The total number of IPv6 connections in SYN_RCVD state"},
    {L"IPv6: ESTABLISHED", L"The total number of IPv6 connections in ESTABLISHED state"},
    {L"IPv6: FIN_WAIT1", L"The total number of IPv6 connections in FIN_WAIT1 state"},
    {L"IPv6: FIN_WAIT2", L"The total number of IPv6 connections in FIN_WAIT2 state"},
    {L"IPv6: CLOSE_WAIT", L"The total number of IPv6 connections in CLOSE_WAIT state"},
    {L"IPv6: CLOSING", L"The total number of IPv6 connections in CLOSING state"},
    {L"IPv6: LAST_ACK", L"The total number of IPv6 connections in LAST_ACK state"},
    {L"IPv6: TIME_WAIT", L"The total number of IPv6 connections in TIME_WAIT state"},
    {L"IPv6: Max TIME_WAIT", L"The maximum number of IPv6 connections ever in TIME_WAIT state"},
    {L"IPv6: DELETE TCB", L"The total number of IPv6 connections in DELETE_TCB state"},
    {L"MaxUserPort", L"The value of HKLM\\SYSTEM\\CurrentControlSet\\Services\\TcpIp\\Parameters\\MaxUserPort"},
    {L"TcpTimedWaitDelay",
     L"The value of HKLM\\SYSTEM\\CurrentControlSet\\Services\\TcpIp\\Parameters\\TcpTimedWaitDelay"},
};

} // namespace

const wchar_t *GetTcpCounterName(TcpCounter counter)
{
    return CounterTexts[counter].name;
}

void BuildTcpCounterSchema(PerfMon::CPerformanceDataSchema &schema)
{
    AddTcpServiceObject(schema);
    AddProcessConnectionsObject(schema);
}

void AddTcpServiceObject(PerfMon::CPerformanceDataSchema &schema)
{
    PerfMon::CPerformanceDataSchema::Object &object = schema.AddObject(
        TcpCounterObjectName,
        L"The \"Corvane Tessaly Service\" object type defines counters that monitor the state of the TCP subsystem.",
        100);
    for (int counter = 0; counter < NumTcpCounters; ++counter)
    {
        object.AddCounter(CounterTexts[counter].name, CounterTexts[counter].help, 100, 0, 0x10000);
        // The default is whichever counter was added last.
        if (counter == IPv4TimeWait)
        {
            object.SetDefaultCounter();
        }
    }
}

} // namespace Counters
} // namespace CorvaneTools
