// What one query of the platform's performance library costs with Tessaly's counter DLL
// installed, against the same query with a trivial provider of an object of the same size
// installed instead, each less the query with neither. The performance library loads,
// opens, collects from, closes and unloads every installed provider on every query, so
// the added cost is all of that.
#include "perfmon/PerformanceCounterInstaller.h"
#include "perfmon/PerformanceDataSchemaFileExporter.h"
#include "service/TcpCounterSchema.h"
#include "win32/Exception.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace CorvaneTools::PerfMon;

namespace {

const wchar_t TrivialName[] = L"Tessaly Benchmark Trivial Provider";
const int Queries = 100;
const int Rounds = 5;

std::wstring Folder()
{
    wchar_t path[MAX_PATH];
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

std::wstring Architecture()
{
#if defined(_WIN64)
    return L"x64";
#else
    return L"x86";
#endif
}

double QueryMicroseconds()
{
    static std::vector<BYTE> buffer(1 << 20);
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    std::vector<double> times;
    for (int i = 0; i < Queries; ++i)
    {
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        DWORD bytes = static_cast<DWORD>(buffer.size());
        ::QueryPerformanceCounter(&start);
        const LONG result = ::RegQueryValueExW(HKEY_PERFORMANCE_DATA, L"Global", nullptr, nullptr, buffer.data(), &bytes);
        ::QueryPerformanceCounter(&end);
        if (result != ERROR_SUCCESS)
        {
            std::fprintf(stderr, "query failed: %ld\n", result);
        }
        times.push_back(1e6 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
    }
    ::RegCloseKey(HKEY_PERFORMANCE_DATA);
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int wmain()
{
    try
    {
        CPerformanceCounterInstaller installer;
        for (const wchar_t *name : {TcpCounterSetName, TrivialName})
        {
            if (installer.IsInstalled(name))
            {
                installer.Uninstall(name);
            }
        }
        CPerformanceDataSchema schema(L"009");
        BuildTcpCounterSchema(schema);
        CPerformanceDataSchemaFileExporter exporter;
        const std::wstring tessalyIni = exporter.WriteIniFile(TcpCounterSetName, schema);
        const std::wstring tessalySymbols = exporter.WriteSymbolFile(TcpCounterSetName, schema);
        const std::wstring trivialIni = exporter.WriteIniFile(TrivialName, schema);
        const std::wstring trivialSymbols = exporter.WriteSymbolFile(TrivialName, schema);
        const std::wstring dist = Folder() + L"\\..\\..\\..\\dist\\";
        const std::wstring trivial = Folder() + L"\\TessalyTrivialProvider.dll";

        std::vector<double> none, withTrivial, withTessaly;
        QueryMicroseconds();
        for (int round = 0; round < Rounds; ++round)
        {
            none.push_back(QueryMicroseconds());
            installer.Install(TrivialName, trivial, false, trivialSymbols, trivialIni, L"", 10000, 10000, L"");
            QueryMicroseconds();
            withTrivial.push_back(QueryMicroseconds());
            installer.Uninstall(TrivialName);
            installer.Install(TcpCounterSetName, dist + L"x86\\TessalyCounters.dll", dist + L"x64\\TessalyCounters.dll",
                              L"TessalyCounters.dll", tessalySymbols, tessalyIni, L"", 10000, 10000,
                              schema.GetChecksum());
            QueryMicroseconds();
            withTessaly.push_back(QueryMicroseconds());
            installer.Uninstall(TcpCounterSetName);
        }
        const double base = Median(none);
        const double trivialAdded = Median(withTrivial) - base;
        const double tessalyAdded = Median(withTessaly) - base;
        std::printf("%ls query of \"Global\" through the performance library, median of %d rounds x %d queries:\n",
                    Architecture().c_str(), Rounds, Queries);
        std::printf("  no provider of ours   %10.1f us\n", base);
        std::printf("  trivial provider      %10.1f us (adds %.1f us)\n", Median(withTrivial), trivialAdded);
        std::printf("  Tessaly counter DLL   %10.1f us (adds %.1f us)\n", Median(withTessaly), tessalyAdded);
        std::printf("  ratio of added costs  %10.2f (goal: at most 1.5)\n", tessalyAdded / trivialAdded);
        return 0;
    }
    catch (const CorvaneTools::Win32::CException &e)
    {
        std::fprintf(stderr, "%ls - %ls\n", e.GetWhere().c_str(), e.GetMessage().c_str());
        return 1;
    }
}
