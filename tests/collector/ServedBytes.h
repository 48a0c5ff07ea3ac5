#pragma once

#include "counters/ProcessConnectionsSchema.h"
#include "counters/TcpCounterSchema.h"
#include "perfmon/RecordFields.h"

#include "tests/collector/PublishedValues.h"

#include <cwchar>

// What the counter DLL serves of the TCP counter set, in bytes, worked out from the records
// a reader walks rather than from the DLL's own sizing.
namespace ServedBytes {

// The process object's title index comes after the service object's name and help and the
// name and help of each of its counters.
const DWORD ProcessObjectTitleOffset = 2 * (1 + CorvaneTools::Counters::NumTcpCounters);
// Objects in the set: the service object, then the process object.
const DWORD NumObjects = 2;

// An object's header and its counter definitions.
constexpr DWORD Definition(DWORD counters)
{
    return CorvaneTools::PerfMon::ObjectHeaderLength + counters * CorvaneTools::PerfMon::CounterDefinitionLength;
}

// A counter block: its length, padded to the first counter's 8-byte alignment, then the
// counters' 8-byte values.
constexpr DWORD CounterBlock(DWORD counters)
{
    return 8 + counters * 8;
}

// 64 + 28 x 40 + 8 + 28 x 8 = 1416.
const DWORD ServiceObject =
    Definition(CorvaneTools::Counters::NumTcpCounters) + CounterBlock(CorvaneTools::Counters::NumTcpCounters);
// Without instances (no block, or none published): 64 + 13 x 40 = 584.
const DWORD EmptyProcessObject = Definition(CorvaneTools::Counters::NumProcessConnectionsCounters);
// "Global" while no sample is published: 2000.
const DWORD EmptyGlobal = ServiceObject + EmptyProcessObject;

// With the published instances, each its definition and its name with the terminator,
// padded to 8, then its counter block: 584 + (4 x 48 + 2 x 40) + 6 x 112 = 1528.
inline DWORD PublishedProcessObject()
{
    DWORD bytes = EmptyProcessObject;
    for (const wchar_t *name : PublishedInstanceNames)
    {
        const DWORD instance = static_cast<DWORD>(CorvaneTools::PerfMon::InstanceDefinitionLength +
                                                  (std::wcslen(name) + 1) * sizeof(wchar_t));
        bytes += (instance + 7) / 8 * 8 + CounterBlock(CorvaneTools::Counters::NumProcessConnectionsCounters);
    }
    return bytes;
}

} // namespace ServedBytes
