// What one query of the platform's performance library costs with Tessaly's counter DLL
// installed, against the same query with a trivial provider of objects of the same size
// installed instead, each less the query with neither. The performance library loads,
// opens, collects from, closes and unloads every installed provider on every query, so
// the added cost is all of that.
#include "counters/TcpCounterSchema.h"
#include "perfmon/PerformanceCounterInstaller.h"
#include "perfmon/PerformanceDataSchemaFileExporter.h"
#include "win32/errors/Exception.h"
#include "win32/system/LibraryLoader.h"
#include "win32/system/SystemDirectories.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <vector>

using namespace CorvaneTools::Counters;
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

typedef DWORD(WINAPI *OpenFunction)(LPWSTR);
typedef DWORD(WINAPI *CollectFunction)(LPWSTR, LPVOID *, LPDWORD, LPDWORD);
typedef DWORD(WINAPI *CloseFunction)();

// What the performance library does with a provider on each query, done directly: load,
// open, collect everything, close, unload. Median microseconds.
double ProviderCycleMicroseconds(const std::wstring &path)
{
    static std::vector<BYTE> buffer(65536);
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    std::vector<double> times;
    wchar_t global[] = L"Global";
    for (int i = 0; i < 4 * Queries; ++i)
    {
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        ::QueryPerformanceCounter(&start);
        const HMODULE dll = ::LoadLibraryW(path.c_str());
        if (!dll)
        {
            return -1;
        }
        const auto open = CorvaneTools::Win32::FunctionCast<OpenFunction>(::GetProcAddress(dll, "PerfData_Open"));
        const auto collect = CorvaneTools::Win32::FunctionCast<CollectFunction>(::GetProcAddress(dll, "PerfData_Collect"));
        const auto close = CorvaneTools::Win32::FunctionCast<CloseFunction>(::GetProcAddress(dll, "PerfData_Close"));
        void *data = buffer.data();
        DWORD bytes = static_cast<DWORD>(buffer.size());
        DWORD objects = 0;
        open(nullptr);
        collect(global, &data, &bytes, &objects);
        close();
        ::FreeLibrary(dll);
        ::QueryPerformanceCounter(&end);
        times.push_back(1e6 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Each measurement runs in a process of its own, as the counter DLL stays loaded in every
// process that loaded it once, which would keep its files from being uninstalled.
double Measure(const std::wstring &arguments)
{
    wchar_t program[MAX_PATH];
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(program) + L"\" " + arguments;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    ::CreatePipe(&read, &write, &inherit, 0);
    ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(program, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
    {
        return -1;
    }
    ::CloseHandle(write);
    char text[64] = {};
    DWORD got = 0;
    ::ReadFile(read, text, sizeof(text) - 1, &got, nullptr);
    ::WaitForSingleObject(process.hProcess, INFINITE);
    ::CloseHandle(process.hProcess);
    ::CloseHandle(process.hThread);
    ::CloseHandle(read);
    return std::atof(text);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc == 2 && std::wstring(argv[1]) == L"/queries")
    {
        QueryMicroseconds();
        std::printf("%f\n", QueryMicroseconds());
        return 0;
    }
    if (argc == 3 && std::wstring(argv[1]) == L"/cycle")
    {
        std::printf("%f\n", ProviderCycleMicroseconds(argv[2]));
        return 0;
    }
#if !defined(_WIN64)
    // The installer registers a single DLL for the system's own architecture only.
    std::fprintf(stderr, "run the 64-bit build; this one only measures for it\n");
    return 1;
#endif
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

        std::vector<double> none, withTrivial, withTessaly, trivialCycle, tessalyCycle;
        for (int round = 0; round < Rounds; ++round)
        {
            none.push_back(Measure(L"/queries"));
            installer.Install(TrivialName, trivial, false, trivialSymbols, trivialIni, L"", 10000, 10000, L"");
            withTrivial.push_back(Measure(L"/queries"));
            installer.Uninstall(TrivialName);
            installer.Install(TcpCounterSetName, dist + L"x86\\TessalyCounters.dll", dist + L"x64\\TessalyCounters.dll",
                              L"TessalyCounters.dll", tessalySymbols, tessalyIni, L"", 10000, 10000,
                              schema.GetChecksum());
            withTessaly.push_back(Measure(L"/queries"));
            tessalyCycle.push_back(Measure(L"/cycle \"" + CorvaneTools::Win32::GetSystemDirectory() +
                                           L"\\TessalyCounters.dll\""));
            if (installer.Uninstall(TcpCounterSetName) != 0)
            {
                std::fprintf(stderr, "the counters could not be uninstalled\n");
                return 1;
            }
            trivialCycle.push_back(Measure(L"/cycle \"" + trivial + L"\""));
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
        std::printf("The same provider cycle done directly (load, open, collect \"Global\", close, unload), median of %d:\n",
                    4 * Queries);
        std::printf("  trivial provider      %10.1f us\n", Median(trivialCycle));
        std::printf("  Tessaly counter DLL   %10.1f us\n", Median(tessalyCycle));
        std::printf("  ratio                 %10.2f\n", Median(tessalyCycle) / Median(trivialCycle));
        return 0;
    }
    catch (const CorvaneTools::Win32::CException &e)
    {
        std::fprintf(stderr, "%ls - %ls\n", e.GetWhere().c_str(), e.GetMessage().c_str());
        return 1;
    }
}
