#pragma once

#include "counters/TcpCounterSchema.h"
#include "service/PerformanceCounters.h"

#include <string>

// Values a test writer publishes through the TCP counter set, in table order: every value
// distinct, the maxima above the current TIME_WAIT counts.
extern const DWORD PublishedValues[CorvaneTools::Counters::NumTcpCounters];

// Publishes them through every setter of the counter set.
void PublishValues(CorvaneTools::TessalyService::CPerformanceCounters &counters);

// "v0,v1,...", as a reader child takes its expected values.
std::wstring PublishedValuesText();
