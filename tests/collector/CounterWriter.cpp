// The writer child CWriter starts: publishes the known values under the product's counter
// set until told to stop.
#include "service/PerformanceCounters.h"
#include "win32/errors/Exception.h"

#include "tests/collector/PublishedValues.h"
#include "tests/support/ChildProcess.h"

#include <cstdio>

using CorvaneTools::TessalyService::CPerformanceCounters;

TESSALY_CHILD_MAIN(CounterWriter)
{
    try
    {
        CPerformanceCounters counters(true, nullptr);
        if (!counters.IsPublishing())
        {
            return 40;
        }
        PublishValues(counters);
        HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, args.at(0).c_str());
        HANDLE stop = ::OpenEventW(SYNCHRONIZE, FALSE, args.at(1).c_str());
        if (!ready || !stop)
        {
            return 41;
        }
        ::SetEvent(ready);
        return ::WaitForSingleObject(stop, 120000) == WAIT_OBJECT_0 ? 0 : 42;
    }
    catch (const CorvaneTools::Win32::CException &e)
    {
        std::printf("%ls - %ls\n", e.GetWhere().c_str(), e.GetMessage().c_str());
        return 43;
    }
}
