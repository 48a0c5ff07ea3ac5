#include "framework/DebugServiceDispatcher.h"

#include "framework/DebugServiceDispatchThread.h"
#include "win32/sync/ActivityCounter.h"

#include <memory>
#include <vector>

namespace CorvaneTools {
namespace Service {

void CDebugServiceDispatcher::DispatchServices(const SERVICE_TABLE_ENTRYW *table)
{
    size_t count = 0;
    while (table && table[count].lpServiceName && table[count].lpServiceProc)
    {
        ++count;
    }
    if (count == 0)
    {
        return;
    }
    if (count == 1)
    {
        wchar_t *argv[] = {table[0].lpServiceName};
        table[0].lpServiceProc(1, argv);
        return;
    }
    // Declared first, so that it outlives the threads that report to it.
    Win32::CActivityCounter activityCounter;
    std::vector<std::unique_ptr<CDebugServiceDispatchThread>> threads;
    for (size_t i = 0; i < count; ++i)
    {
        threads.push_back(std::make_unique<CDebugServiceDispatchThread>(table[i].lpServiceName,
                                                                        table[i].lpServiceProc, activityCounter));
    }
    activityCounter.GetIdleEvent().Wait();
}

CDebugServiceDispatcher &CDebugServiceDispatcher::Instance()
{
    static CDebugServiceDispatcher instance;
    return instance;
}

} // namespace Service
} // namespace CorvaneTools
