// Times CPerformanceDataCollector::Collect in-process over the 28-counter object.

#include "perfmon/PerformanceDataCollector.h"
#include "win32/errors/Exception.h"

#include "counters/TcpCounterSchema.h"

#include <windows.h>

#include <algorithm>
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
};

Figures Time(CPerformanceDataCollector &collector, const wchar_t *query, std::vector<BYTE> &buffer)
{
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
            if (!collector.Collect(query, data, totalBytes, numObjectTypes) || totalBytes != 1416 ||
                numObjectTypes != 1)
            {
                throw CException(L"Time()", L"Collect did not return the object");
            }
        }
        ::QueryPerformanceCounter(&end);
        perCall.push_back(static_cast<double>(end.QuadPart - start.QuadPart) * 1e9 /
                          static_cast<double>(frequency.QuadPart) / s_callsPerRun);
    }
    std::sort(perCall.begin(), perCall.end());
    return {perCall[perCall.size() / 2], perCall.front()};
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
        const CPerformanceDataBlock block(CUnqualifiedName(name), schema, s_firstTitleIndex, nullptr);
        CPerformanceDataCollector collector(CUnqualifiedName(name), schema, s_firstTitleIndex, nullptr);
        collector.Open(nullptr);
        CPerformanceDataCollector withoutBlock(CUnqualifiedName(name + L"_none"), schema, s_firstTitleIndex, nullptr);
        withoutBlock.Open(nullptr);
        std::vector<BYTE> buffer(4096);
#if defined(_WIN64)
        const char *architecture = "x64";
#else
        const char *architecture = "x86";
#endif
        const std::wstring index = std::to_wstring(s_firstTitleIndex);
        const struct
        {
            const char *label;
            const wchar_t *query;
            CPerformanceDataCollector *collector;
        } queries[] = {{"Global", L"Global", &collector},
                       {"1234", index.c_str(), &collector},
                       {"Global\", no block: zeros, one open attempt", L"Global", &withoutBlock}};
        for (const auto &query : queries)
        {
            Time(*query.collector, query.query, buffer); // warm-up
            const Figures figures = Time(*query.collector, query.query, buffer);
            std::printf("%s Collect(\"%s\"): median %.0f ns per call, min %.0f ns (%d runs x %d calls)\n",
                        architecture, query.label, figures.median, figures.minimum, s_runs, s_callsPerRun);
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
