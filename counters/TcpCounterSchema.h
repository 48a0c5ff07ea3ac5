#pragma once

#include "perfmon/PerformanceDataSchema.h"

namespace CorvaneTools {
namespace Counters {

// The one definition of the TCP counter set. The service and the counter DLL both build
// their schema from it, so the two cannot drift apart; the installed checksum is taken
// of the same text.

// Name of the service's registry key under which the counters are installed, and base of
// the shared block's kernel object names.
extern const wchar_t TcpCounterSetName[];
extern const wchar_t TcpCounterObjectName[];

// The counters, in the order they are added to the object.
enum TcpCounter
{
    IPv4Closed,
    IPv4Listen,
    IPv4SynSent,
    IPv4SynRcvd,
    IPv4Established,
    IPv4FinWait1,
    IPv4FinWait2,
    IPv4CloseWait,
    IPv4Closing,
    IPv4LastAck,
    IPv4TimeWait,
    IPv4MaxTimeWait,
    IPv4DeleteTCB,
    IPv6Closed,
    IPv6Listen,
    IPv6SynSent,
    IPv6SynRcvd,
    IPv6Established,
    IPv6FinWait1,
    IPv6FinWait2,
    IPv6CloseWait,
    IPv6Closing,
    IPv6LastAck,
    IPv6TimeWait,
    IPv6MaxTimeWait,
    IPv6DeleteTCB,
    MaxUserPort,
    TcpTimedWaitDelay,
    NumTcpCounters
};

const wchar_t *GetTcpCounterName(TcpCounter counter);

// Adds the service object and its counters, then the process connections object, to an
// empty schema of language "009".
void BuildTcpCounterSchema(PerfMon::CPerformanceDataSchema &schema);
// The service object alone, the first of the two.
void AddTcpServiceObject(PerfMon::CPerformanceDataSchema &schema);

} // namespace Counters
} // namespace CorvaneTools
