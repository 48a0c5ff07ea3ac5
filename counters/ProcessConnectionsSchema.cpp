#include "counters/ProcessConnectionsSchema.h"

#include "counters/CounterText.h"

namespace CorvaneTools {
namespace Counters {

const wchar_t ProcessConnectionsObjectName[] = L"Corvane Tessaly Process Connections";
const wchar_t UnownedInstanceName[] = L"_Unowned";
const wchar_t OtherInstanceName[] = L"_Other";
const wchar_t TotalInstanceName[] = L"_Total";

namespace {

const CounterText CounterTexts[NumProcessConnectionsCounters] = {
    {L"Connections", L"The number of IPv4 and IPv6 connections owned by the process, in any state"},
    {L"CLOSED", L"The number of IPv4 and IPv6 connections owned by the process in CLOSED state"},
    {L"LISTEN", L"The number of IPv4 and IPv6 connections owned by the process in LISTEN state"},
    {L"SYN_SENT", L"The number of IPv4 and IPv6 connections owned by the process in SYN_SENT state"},
    {L"SYN_RCVD", L"The number of IPv4 and IPv6 connections owned by the process in SYN_RCVD state"},
    {L"ESTABLISHED", L"The number of IPv4 and IPv6 connections owned by the process in ESTABLISHED state"},
    {L"FIN_WAIT1", L"The number of IPv4 and IPv6 connections owned by the process in FIN_WAIT1 state"},
    {L"FIN_WAIT2", L"The number of IPv4 and IPv6 connections owned by the process in FIN_WAIT2 state"},
    {L"CLOSE_WAIT", L"The number of IPv4 and IPv6 connections owned by the process in CLOSE_WAIT state"},
    {L"CLOSING", L"The number of IPv4 and IPv6 connections owned by the process in CLOSING state"},
    {L"LAST_ACK", L"The number of IPv4 and IPv6 connections owned by the process in LAST_ACK state"},
    {L"TIME_WAIT", L"The number of IPv4 and IPv6 connections owned by the process in TIME_WAIT state"},
    {L"DELETE TCB", L"The number of IPv4 and IPv6 connections owned by the process in DELETE_TCB state"},
};

} // namespace

const wchar_t *GetProcessConnectionsCounterName(ProcessConnectionsCounter counter)
{
    return CounterTexts[counter].name;
}

void AddProcessConnectionsObject(PerfMon::CPerformanceDataSchema &schema)
{
    PerfMon::CPerformanceDataSchema::Object &object = schema.AddObject(
        ProcessConnectionsObjectName,
        L"The \"Corvane Tessaly Process Connections\" object type counts the connections in the TCP table by owning "
        L"process, IPv4 and IPv6 together: one instance per process among the 64 with the most connections, "
        L"_Unowned for the rows without an owning process, _Other for the processes beyond those 64, and _Total.",
        100);
    for (int counter = 0; counter < NumProcessConnectionsCounters; ++counter)
    {
        object.AddCounter(CounterTexts[counter].name, CounterTexts[counter].help, 100, 0, 0x10000);
        if (counter == ProcessConnections)
        {
            object.SetDefaultCounter();
        }
    }
    object.SetInstances(ProcessInstanceSlots, ProcessInstanceNameBytes);
}

} // namespace Counters
} // namespace CorvaneTools
