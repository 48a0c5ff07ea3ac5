#pragma once

#include "perfmon/PerformanceDataSchema.h"

#include <windows.h>

#include <vector>

namespace CorvaneTools {
namespace PerfMon {

// The object and counter definitions a reader is served, built once from the schema and the
// installed first title index, never from the shared block: whatever another process writes
// there, the titles, detail levels and default counter served are the program's own.
//
// The served counter block follows the platform's rules, not the block's packing: its
// length is a multiple of 8 and each counter sits at an offset aligned to its size
// ("You must ensure that the size of the counter block is aligned to an 8-byte boundary",
// PERF_COUNTER_BLOCK). Values are moved there from the block's data in runs.
class CServedDefinitions
{
public:
    struct Run
    {
        DWORD from; // in one instance's data in the block
        DWORD to;   // in the served counter block
        DWORD length;
    };

    struct Object
    {
        const BYTE *definition; // header and counter definitions; instance fields left 0
        DWORD definitionLength;
        DWORD titleIndex;
        DWORD counterBlockLength; // a multiple of 8
        const Run *runs;
        DWORD numRuns;
    };

    CServedDefinitions(const CPerformanceDataSchema &schema, DWORD firstTitleIndex);

    CServedDefinitions(const CServedDefinitions &) = delete;
    CServedDefinitions &operator=(const CServedDefinitions &) = delete;

    DWORD GetNumObjects() const;
    const Object &GetObject(DWORD index) const;

    // One counter block at out: its length, then the values of data (one instance's data in
    // the block; null for zeros), padding zero.
    static void WriteCounterBlock(const Object &object, const BYTE *data, BYTE *out);

private:
    std::vector<BYTE> m_definitions;
    std::vector<Run> m_runs;
    std::vector<Object> m_objects;
};

} // namespace PerfMon
} // namespace CorvaneTools
