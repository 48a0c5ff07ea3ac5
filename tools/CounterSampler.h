#pragma once

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Tools {

// What a sampling run is asked to do, as the command line gave it.
struct CSamplingOptions
{
    // The value name to query; empty asks for the object alone, by its title index.
    std::wstring query;
    std::wstring application = L"Corvane Tessaly";
    // At least 1.
    DWORD intervalSeconds = 1;
    // 0 samples until the console's Ctrl+C (or Ctrl+Break, or close).
    DWORD count = 0;
    // Empty for standard output.
    std::wstring outputPath;
    bool overwrite = false;

    // The value name the library is asked with: "Global" would have it collect every
    // provider on the machine for one object.
    std::wstring QueryFor(DWORD titleIndex) const
    {
        return query.empty() ? std::to_wstring(titleIndex) : query;
    }
};

// Samples one performance object through the platform's performance library at a fixed
// interval and writes each sample as a CSV row.
class CCounterSampler
{
public:
    explicit CCounterSampler(const CSamplingOptions &options);

    // The process exit code: 0 done or stopped, 1 the object is not in the first sample's
    // data, 2 the counters are not installed or the first query failed, 4 the output cannot
    // be opened or written. Messages go to standard error.
    int Run();

private:
    const CSamplingOptions m_options;
};

} // namespace Tools
} // namespace CorvaneTools
