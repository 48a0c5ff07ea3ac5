#pragma once

#include "tools/CounterPath.h"

#include <windows.h>

#include <string>
#include <vector>

namespace CorvaneTools {
namespace Tools {

// What a sampling run is asked to do, as the command line gave it.
struct CSamplingOptions
{
    // The value name to query; empty asks for the objects named, by their title indexes.
    std::wstring query;
    // The counters to sample, in their columns' order; none samples every counter of the
    // service object.
    std::vector<CCounterPath> paths;
    std::wstring application = L"Corvane Tessaly";
    // At least 1.
    DWORD intervalSeconds = 1;
    // 0 samples until the console's Ctrl+C (or Ctrl+Break, or close).
    DWORD count = 0;
    // Empty for standard output.
    std::wstring outputPath;
    bool overwrite = false;

    // The value name the library is asked with: "Global" would have it collect every
    // provider on the machine for the counter set's objects.
    std::wstring QueryFor(const std::vector<DWORD> &titleIndexes) const
    {
        if (!query.empty())
        {
            return query;
        }
        std::wstring list;
        for (const DWORD titleIndex : titleIndexes)
        {
            list += (list.empty() ? L"" : L" ") + std::to_wstring(titleIndex);
        }
        return list;
    }
};

// Samples counters of the counter set through the platform's performance library at a
// fixed interval and writes each sample as a CSV row.
class CCounterSampler
{
public:
    explicit CCounterSampler(const CSamplingOptions &options);

    // The process exit code: 0 done or stopped, 1 an object named is not in the first
    // sample's data or a wildcard finds no instance there, 2 the counters are not installed
    // or the first query failed, 3 a path names no counter of the set, 4 the output cannot
    // be opened or written. Messages go to standard error.
    int Run();

private:
    const CSamplingOptions m_options;
};

} // namespace Tools
} // namespace CorvaneTools
