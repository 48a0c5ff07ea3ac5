#pragma once

#include <cstdlib>
#include <cstring>

namespace TestSupport {

// The environment variable `make soak` sets for the long versions of the load, fault and
// fuzz runs; without it they run their short versions, the ones `make test` runs.
inline bool LongRuns()
{
    const char *value = std::getenv("TESSALY_LONG_RUNS");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

// The short or the long figure of a run, as the switch above says.
template <typename T> T ShortOrLong(T shortRun, T longRun)
{
    return LongRuns() ? longRun : shortRun;
}

} // namespace TestSupport
