#pragma once

#include "perfmon/PerformanceDataSchema.h"

namespace TestSupport {

// Two objects of two and three counters: symbol offsets 0, 2, 4 and 6, 8, 10, 12.
inline void AddTwoObjects(CorvaneTools::PerfMon::CPerformanceDataSchema &schema)
{
    CorvaneTools::PerfMon::CPerformanceDataSchema::Object &first = schema.AddObject(L"First Object", L"First help", 100);
    first.AddCounter(L"A", L"a help", 100, 0, 0x10000);
    first.AddCounter(L"B", L"b help", 100, 0, 0x10000);
    CorvaneTools::PerfMon::CPerformanceDataSchema::Object &second = schema.AddObject(L"Second", L"Second help", 100);
    second.AddCounter(L"C", L"c help", 100, 0, 0x10000);
    second.AddCounter(L"D", L"d help", 100, 0, 0x10000);
    second.AddCounter(L"E", L"e help", 100, 0, 0x10000);
}

} // namespace TestSupport
