#include "tests/collector/PublishedValues.h"

#include <cwchar>

using namespace CorvaneTools::Counters;
using CorvaneTools::TessalyService::CPerformanceCounters;

const DWORD PublishedValues[NumTcpCounters] = {101, 102, 103, 104, 105, 106, 107, 108, 109, 110,
                                               111, 511, 113, 201, 202, 203, 204, 205, 206, 207,
                                               208, 209, 210, 211, 611, 213, 65534, 240};

const wchar_t *const PublishedInstanceNames[6] = {L"w3wp:4312", L"svchost:912", L"unknown:8",
                                                  UnownedInstanceName, OtherInstanceName, TotalInstanceName};

void PublishValues(CPerformanceCounters &counters)
{
    typedef void (CPerformanceCounters::*StateSetter)(DWORD, bool);
    const std::pair<StateSetter, TcpCounter> states[] = {
        {&CPerformanceCounters::SetClosed, IPv4Closed},           {&CPerformanceCounters::SetListen, IPv4Listen},
        {&CPerformanceCounters::SetSynSent, IPv4SynSent},         {&CPerformanceCounters::SetSynRcvd, IPv4SynRcvd},
        {&CPerformanceCounters::SetEstablished, IPv4Established}, {&CPerformanceCounters::SetFinWait1, IPv4FinWait1},
        {&CPerformanceCounters::SetFinWait2, IPv4FinWait2},       {&CPerformanceCounters::SetCloseWait, IPv4CloseWait},
        {&CPerformanceCounters::SetClosing, IPv4Closing},         {&CPerformanceCounters::SetLastAck, IPv4LastAck},
        {&CPerformanceCounters::SetDeleteTCB, IPv4DeleteTCB},
    };
    for (const auto &state : states)
    {
        (counters.*state.first)(PublishedValues[state.second], true);
        (counters.*state.first)(PublishedValues[state.second + IPv6Closed], false);
    }
    counters.SetTimeWait(static_cast<int>(PublishedValues[IPv4MaxTimeWait]), true);
    counters.SetTimeWait(static_cast<int>(PublishedValues[IPv4TimeWait]), true);
    counters.SetTimeWait(static_cast<int>(PublishedValues[IPv6MaxTimeWait]), false);
    counters.SetTimeWait(static_cast<int>(PublishedValues[IPv6TimeWait]), false);
    counters.SetMaxUserPort(PublishedValues[MaxUserPort]);
    counters.SetTcpTimedWaitDelay(PublishedValues[TcpTimedWaitDelay]);
    CorvaneTools::PerfMon::CPerformanceInstanceSet instances(ProcessInstanceSlots, ProcessInstanceNameBytes,
                                                             NumProcessConnectionsCounters);
    for (const wchar_t *name : PublishedInstanceNames)
    {
        const DWORD instance = instances.Add(name, std::wcslen(name));
        for (DWORD k = 0; k < NumProcessConnectionsCounters; ++k)
        {
            instances.SetValue(instance, k, PublishedInstanceValue(instance, k));
        }
    }
    counters.PublishProcessConnections(instances);
}

std::wstring PublishedValuesText()
{
    std::wstring text;
    for (const DWORD value : PublishedValues)
    {
        text += (text.empty() ? L"" : L",") + std::to_wstring(value);
    }
    return text;
}
