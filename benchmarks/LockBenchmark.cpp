// What the performance data block's cross-process lock costs: taken and left with nobody
// else about, handed between two threads that both want it (what a contended wait costs
// against the time limit readers wait at most), and taken over from a holder process that
// was killed while it held it.
#include "benchmarks/BenchmarkTiming.h"
#include "perfmon/PerformanceDataBlock.h"
#include "win32/errors/Exception.h"
#include "win32/sync/CriticalSection.h"
#include "win32/sync/Optex.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace CorvaneTools::Win32;
using CorvaneTools::PerfMon::CPerformanceDataBlock;

namespace {

const int s_runs = 21;
const int s_callsPerRun = 100000;
const int s_handOvers = 2000;
const int s_kills = 11;

std::wstring LockName(const wchar_t *what)
{
    return L"TessalyLockBenchmark_" + std::to_wstring(::GetCurrentProcessId()) + L"_" + what;
}

double UncontendedNanoseconds()
{
    COptex lock(CUnqualifiedName(LockName(L"uncontended")), nullptr, CPerformanceDataBlock::SpinCount);
    std::vector<double> perCall;
    for (int run = 0; run < s_runs; ++run)
    {
        const double start = Now();
        for (int call = 0; call < s_callsPerRun; ++call)
        {
            lock.TryEnterFor(CPerformanceDataBlock::LockTimeoutMs);
            lock.Leave();
        }
        perCall.push_back((Now() - start) * 1e9 / s_callsPerRun);
    }
    return Median(perCall);
}

// The turn the counter DLL's exports take in-process, around every call.
double CriticalSectionNanoseconds()
{
    CCriticalSection lock;
    std::vector<double> perCall;
    for (int run = 0; run < s_runs; ++run)
    {
        const double start = Now();
        for (int call = 0; call < s_callsPerRun; ++call)
        {
            lock.Enter();
            lock.Leave();
        }
        perCall.push_back((Now() - start) * 1e9 / s_callsPerRun);
    }
    return Median(perCall);
}

// Two threads each take the lock, hold it a moment and leave, so that most entries find it
// held: microseconds from asking to having it.
double ContendedWaitMicroseconds(double &slowest)
{
    COptex lock(CUnqualifiedName(LockName(L"contended")), nullptr, CPerformanceDataBlock::SpinCount);
    std::vector<double> waits[2];
    std::thread threads[2];
    for (int t = 0; t < 2; ++t)
    {
        threads[t] = std::thread([&, t] {
            for (int i = 0; i < s_handOvers; ++i)
            {
                const double start = Now();
                lock.TryEnterFor(CPerformanceDataBlock::LockTimeoutMs);
                waits[t].push_back((Now() - start) * 1e6);
                const double held = Now();
                while (Now() - held < 20e-6)
                {
                }
                lock.Leave();
            }
        });
    }
    threads[0].join();
    threads[1].join();
    waits[0].insert(waits[0].end(), waits[1].begin(), waits[1].end());
    slowest = *std::max_element(waits[0].begin(), waits[0].end());
    return Median(waits[0]);
}

// A copy of this program takes the lock and waits to be killed; milliseconds from the kill
// to this process holding the lock.
double RecoveryMilliseconds(int round)
{
    const std::wstring name = LockName((L"killed" + std::to_wstring(round)).c_str());
    COptex lock(CUnqualifiedName(name), nullptr, CPerformanceDataBlock::SpinCount);
    wchar_t program[MAX_PATH];
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(program) + L"\" /hold " + name;
    const HANDLE held = ::CreateEventW(nullptr, TRUE, FALSE, (name + L"_held").c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(program, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    {
        throw CException(L"RecoveryMilliseconds()", L"the holder could not be started");
    }
    const HANDLE either[] = {held, process.hProcess};
    if (::WaitForMultipleObjects(2, either, FALSE, 60000) != WAIT_OBJECT_0)
    {
        throw CException(L"RecoveryMilliseconds()", L"the holder did not take the lock");
    }
    ::TerminateProcess(process.hProcess, 99);
    ::WaitForSingleObject(process.hProcess, INFINITE);
    const double start = Now();
    const bool taken = lock.TryEnterFor(CPerformanceDataBlock::LockTimeoutMs);
    const double elapsed = (Now() - start) * 1e3;
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    ::CloseHandle(held);
    if (!taken)
    {
        throw CException(L"RecoveryMilliseconds()", L"the lock was not recovered in time");
    }
    lock.Leave();
    return elapsed;
}

int Hold(const std::wstring &name)
{
    COptex lock(CUnqualifiedName(name), nullptr, 0);
    lock.Enter();
    ::SetEvent(::OpenEventW(EVENT_MODIFY_STATE, FALSE, (name + L"_held").c_str()));
    ::Sleep(60000);
    return 1;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc == 3 && std::wstring(argv[1]) == L"/hold")
    {
        return Hold(argv[2]);
    }
#if defined(_WIN64)
    const char *architecture = "x64";
#else
    const char *architecture = "x86";
#endif
    try
    {
        std::printf("%s optex, uncontended TryEnterFor + Leave: median %.1f ns (%d runs x %d)\n", architecture,
                    UncontendedNanoseconds(), s_runs, s_callsPerRun);
        std::printf("%s critical section (the counter DLL's turn per call), Enter + Leave: median %.1f ns\n",
                    architecture, CriticalSectionNanoseconds());
        double slowest = 0;
        const double contended = ContendedWaitMicroseconds(slowest);
        std::printf("%s optex, two threads wanting it (held 20 us each time): wait median %.1f us, slowest %.0f us, "
                    "time limit %lu ms\n",
                    architecture, contended, slowest, CPerformanceDataBlock::LockTimeoutMs);
        std::vector<double> recoveries;
        for (int round = 0; round < s_kills; ++round)
        {
            recoveries.push_back(RecoveryMilliseconds(round));
        }
        std::printf("%s optex, holder process killed: taken over after median %.1f ms, slowest %.1f ms (%d kills)\n",
                    architecture, Median(recoveries), *std::max_element(recoveries.begin(), recoveries.end()),
                    s_kills);
        return 0;
    }
    catch (const CException &e)
    {
        std::fwprintf(stderr, L"%ls: %ls\n", e.GetWhere().c_str(), e.GetMessage().c_str());
        return 1;
    }
}
