#pragma once

#include "counters/ProcessConnectionsSchema.h"
#include "counters/TcpCounterSchema.h"
#include "service/PerformanceCounters.h"

#include <string>

// Values a test writer publishes through the TCP counter set, in table order: every value
// distinct, the maxima above the current TIME_WAIT counts.
extern const DWORD PublishedValues[CorvaneTools::Counters::NumTcpCounters];

// Instances a test writer publishes through the process connections object, in slot order;
// counter k of instance i holds PublishedInstanceValue(i, k).
extern const wchar_t *const PublishedInstanceNames[6];
inline DWORD PublishedInstanceValue(DWORD instance, DWORD counter)
{
    return 1000 * (instance + 1) + counter;
}

// Publishes them through every setter of the counter set, and the instances.
void PublishValues(CorvaneTools::TessalyService::CPerformanceCounters &counters);

// "v0,v1,...", as a reader child takes its expected values.
std::wstring PublishedValuesText();
