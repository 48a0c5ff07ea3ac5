#pragma once

#include "perfmon/PerformanceDataSchema.h"

#include <windows.h>

namespace CorvaneTools {
namespace Counters {

// The TCP counter set's second object: the rows of both TCP tables by owning process, one
// instance per process among the busiest, and three instances of the set's own.
extern const wchar_t ProcessConnectionsObjectName[];
extern const wchar_t UnownedInstanceName[];
extern const wchar_t OtherInstanceName[];
extern const wchar_t TotalInstanceName[];

// The counters, in the order they are added; a state's counter is its state value.
enum ProcessConnectionsCounter
{
    ProcessConnections,
    ProcessClosed,
    ProcessTimeWait = ProcessClosed + 10,
    ProcessDeleteTCB,
    NumProcessConnectionsCounters
};

// Processes with an instance of their own; the rest share _Other.
const DWORD MaxProcessInstances = 64;
// Those, then _Unowned, _Other and _Total.
const DWORD ProcessInstanceSlots = MaxProcessInstances + 3;
// Room for a name of 63 characters and its terminator; a slot (24 + this) stays a
// multiple of 8.
const DWORD ProcessInstanceNameBytes = 128;
const DWORD ProcessInstanceNameChars = ProcessInstanceNameBytes / sizeof(wchar_t) - 1;

const wchar_t *GetProcessConnectionsCounterName(ProcessConnectionsCounter counter);

// Adds the object and its counters after the service object.
void AddProcessConnectionsObject(PerfMon::CPerformanceDataSchema &schema);

} // namespace Counters
} // namespace CorvaneTools
