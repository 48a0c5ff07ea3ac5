// Times CPerformanceDataCollector::Collect in-process over the TCP counter set: the service
// object of 28 counters, and the process object with every one of its 67 instance slots in use.

#include "perfmon/PerformanceDataCollector.h"
#include "perfmon/PerformanceInstanceSet.h"
#include "perfmon/PerformanceMonitorCounters.h"
#include "win32/errors/Exception.h"

#include "counters/ProcessConnectionsSchema.h"
#include "counters/TcpCounterSchema.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <cstdio>
#include <string>
#include <vector>

using namespace CorvaneTools::Counters;
using namespace CorvaneTools::PerfMon;
using namespace CorvaneTools::Win32;

namespace {

const int s_runs = 21;
const int s_callsPerRun = 10000;
const DWORD s_firstTitleIndex = 1234;

struct Figures
{
    double median;
    double minimum;
    DWORD bytes;
};

Figures Time(CPerformanceDataCollector &collector, const wchar_t *query, DWORD objects, std::vector<BYTE> &buffer)
{
    DWORD served = 0;
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    std::vector<double> perCall;
    for (int run = 0; run < s_runs; ++run)
    {
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        ::QueryPerformanceCounter(&start);
        for (int call = 0; call < s_callsPerRun; ++call)
        {
            void *data = buffer.data();
            DWORD totalBytes = static_cast<DWORD>(buffer.size());
            DWORD numObjectTypes = 0;
            // A result the optimiser cannot drop, and a check that the call did its work.
            if (!collector.Collect(query, data, totalBytes, numObjectTypes) || numObjectTypes != objects ||
                (served != 0 && totalBytes != served))
            {
                throw CException(L"Time()", L"Collect did not return the objects asked for");
            }
            served = totalBytes;
        }
        ::QueryPerformanceCounter(&end);
        perCall.push_back(static_cast<double>(end.QuadPart - start.QuadPart) * 1e9 /
                          static_cast<double>(frequency.QuadPart) / s_callsPerRun);
    }
    std::sort(perCall.begin(), perCall.end());
    return {perCall[perCall.size() / 2], perCall.front(), served};
}

// As many processes as have an instance of their own, then _Unowned, _Other and _Total, each
// with values in every counter.
void PublishEveryInstance(CPerformanceMonitorCounters &writer)
{
    CPerformanceInstanceSet set(ProcessInstanceSlots, ProcessInstanceNameBytes, NumProcessConnectionsCounters);
    for (DWORD p = 0; p < MaxProcessInstances; ++p)
    {
        const std::wstring name = L"benchmark" + std::to_wstring(p) + L":" + std::to_wstring(4000 + 4 * p);
        set.Add(name.c_str(), name.size());
    }
    for (const wchar_t *name : {UnownedInstanceName, OtherInstanceName, TotalInstanceName})
    {
        set.Add(name, std::wcslen(name));
    }
    for (DWORD i = 0; i < set.GetCount(); ++i)
    {
        for (DWORD k = 0; k < NumProcessConnectionsCounters; ++k)
        {
            set.SetValue(i, k, i + k);
        }
    }
    if (!writer.PublishInstances(writer.GetInstanceObject(ProcessConnectionsObjectName), set))
    {
        throw CException(L"PublishEveryInstance()", L"The block's lock was not had");
    }
}

} // namespace

int wmain()
{
    try
    {
        CPerformanceDataSchema schema(L"009");
        BuildTcpCounterSchema(schema);
        const std::wstring name = L"TessalyCollectBenchmark_" + std::to_wstring(::GetCurrentProcessId());
        // The writer's block, which a reader only opens; and a name under which no block exists.
        CPerformanceMonitorCounters writer(CUnqualifiedName(name), schema, s_firstTitleIndex, nullptr);
        PublishEveryInstance(writer);
        CPerformanceDataCollector collector(CUnqualifiedName(name), schema, s_firstTitleIndex, nullptr);
        collector.Open(nullptr);
        CPerformanceDataCollector withoutBlock(CUnqualifiedName(name + L"_none"), schema, s_firstTitleIndex, nullptr);
        withoutBlock.Open(nullptr);
        std::vector<BYTE> buffer(65536);
#if defined(_WIN64)
        const char *architecture = "x64";
#else
        const char *architecture = "x86";
#endif
        const std::wstring index = std::to_wstring(s_firstTitleIndex);
        const std::wstring processIndex =
            std::to_wstring(CServedDefinitions(schema, s_firstTitleIndex).GetObject(1).titleIndex);
        const std::string processLabel(processIndex.begin(), processIndex.end());
        const struct
        {
            std::string label;
            const wchar_t *query;
            DWORD objects;
            CPerformanceDataCollector *collector;
        } queries[] = {{"Global", L"Global", 2, &collector},
                       {"1234", index.c_str(), 1, &collector},
                       {processLabel, processIndex.c_str(), 1, &collector},
                       {"Global\", no block: zeros, one open attempt", L"Global", 2, &withoutBlock}};
        for (const auto &query : queries)
        {
            Time(*query.collector, query.query, query.objects, buffer); // warm-up
            const Figures figures = Time(*query.collector, query.query, query.objects, buffer);
            std::printf("%s Collect(\"%s\"), %lu objects of %lu bytes: median %.0f ns per call, min %.0f ns "
                        "(%d runs x %d calls)\n",
                        architecture, query.label.c_str(), static_cast<unsigned long>(query.objects),
                        static_cast<unsigned long>(figures.bytes), figures.median, figures.minimum, s_runs,
                        s_callsPerRun);
        }
        collector.Close();
        withoutBlock.Close();
        return 0;
    }
    catch (const CException &e)
    {
        std::fwprintf(stderr, L"%ls: %ls\n", e.GetWhere().c_str(), e.GetMessage().c_str());
        return 1;
    }
}
