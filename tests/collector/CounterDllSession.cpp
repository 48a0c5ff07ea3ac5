#include "tests/collector/CounterDllSession.h"
#include "tests/collector/CounterDllHost.h"
#include "tests/collector/ServedBytes.h"

#include "counters/TcpCounterSchema.h"
#include "perfmon/PerformanceDataSchema.h"
#include "win32/system/LibraryLoader.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/DebugOutputMonitor.h"
#include "tests/support/TestNames.h"

#include <winperf.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <thread>

namespace CounterDll {

using namespace CorvaneTools::Counters;

namespace {

const BYTE Guard = 0xCD;

std::wstring Folder(bool otherArchitecture)
{
    if (!otherArchitecture)
    {
        return TestSupport::ThisFolder();
    }
    const std::wstring program = TestSupport::OtherArchitectureProgram();
    return program.substr(0, program.find_last_of(L'\\'));
}

// Loaded and unloaded again and again, as the performance library may do.
void Reload(const Exports &dll, const std::wstring &path, int times, std::vector<BYTE> &buffer)
{
    wchar_t global[] = L"Global";
    int served = 0;
    for (int n = 0; n < times; ++n)
    {
        const HMODULE again = ::LoadLibraryW(path.c_str());
        void *data = buffer.data();
        DWORD bytes = BufferSize;
        DWORD objects = 0;
        dll.open(nullptr);
        dll.collect(global, &data, &bytes, &objects);
        dll.close();
        ::FreeLibrary(again);
        served += bytes == ServedBytes::EmptyGlobal && objects == ServedBytes::NumObjects ? 1 : 0;
    }
    std::printf("reload %d served %d\n", times, served);
}

void Collect(const Exports &dll, const std::wstring &step, std::vector<BYTE> &buffer)
{
    const size_t second = step.find(L':', 8);
    std::wstring valueName = step.substr(8, second - 8);
    DWORD bytes = std::stoul(step.substr(second + 1));
    std::memset(buffer.data(), Guard, buffer.size());
    void *data = buffer.data();
    DWORD objects = 555;
    const DWORD result = dll.collect(&valueName[0], &data, &bytes, &objects);
    bool guardKept = true;
    for (size_t at = static_cast<BYTE *>(data) - buffer.data(); at < buffer.size(); ++at)
    {
        guardKept = guardKept && buffer[at] == Guard;
    }
    std::printf("collect %lu bytes=%lu objects=%lu advanced=%lu guard=%d\n", result, bytes, objects,
                static_cast<unsigned long>(static_cast<BYTE *>(data) - buffer.data()), guardKept ? 1 : 0);
}

// "values <result> <bytes> <objects> <milliseconds> <value 0> ... <value 27>"
void Values(const Exports &dll, std::wstring valueName, std::vector<BYTE> &buffer)
{
    std::memset(buffer.data(), 0, buffer.size());
    void *data = buffer.data();
    DWORD bytes = BufferSize;
    DWORD objects = 0;
    const DWORD start = ::GetTickCount();
    const DWORD result = dll.collect(&valueName[0], &data, &bytes, &objects);
    std::printf("values %lu %lu %lu %lu", result, bytes, objects, ::GetTickCount() - start);
    const PERF_OBJECT_TYPE *object = reinterpret_cast<const PERF_OBJECT_TYPE *>(buffer.data());
    if (bytes >= ServedBytes::ServiceObject && object->NumCounters == NumTcpCounters)
    {
        const auto *counters = reinterpret_cast<const PERF_COUNTER_DEFINITION *>(buffer.data() + object->HeaderLength);
        for (int k = 0; k < NumTcpCounters; ++k)
        {
            ULONGLONG value = 0;
            std::memcpy(&value, buffer.data() + object->DefinitionLength + counters[k].CounterOffset, sizeof(value));
            std::printf(" %llu", value);
        }
    }
    std::printf("\n");
}

void Nulls(const Exports &dll, std::vector<BYTE> &buffer)
{
    wchar_t global[] = L"Global";
    void *data = buffer.data();
    DWORD bytes = BufferSize;
    DWORD objects = 7;
    const DWORD noData = dll.collect(global, nullptr, &bytes, &objects);
    const DWORD noBytes = dll.collect(global, &data, nullptr, &objects);
    const DWORD noObjects = dll.collect(global, &data, &bytes, nullptr);
    std::printf("nulls %lu %lu %lu bytes=%lu objects=%lu advanced=%d\n", noData, noBytes, noObjects, bytes, objects,
                data != buffer.data() ? 1 : 0);
}

// Each thread opens, collects one to three times and closes, again and again, in an order
// chosen by a fixed seed; every collect between a thread's own open and close is served.
void Threads(const Exports &dll, int threads, int rounds)
{
    std::atomic<int> asked{0};
    std::atomic<int> served{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
    {
        workers.emplace_back([&, t] {
            std::mt19937 random(1000 + t);
            std::vector<BYTE> buffer(BufferSize);
            wchar_t global[] = L"Global";
            for (int r = 0; r < rounds; ++r)
            {
                dll.open(nullptr);
                const int collects = 1 + static_cast<int>(random() % 3);
                for (int c = 0; c < collects; ++c)
                {
                    void *data = buffer.data();
                    DWORD bytes = BufferSize;
                    DWORD objects = 0;
                    const DWORD result = dll.collect(global, &data, &bytes, &objects);
                    ++asked;
                    served += result == ERROR_SUCCESS && bytes == ServedBytes::EmptyGlobal &&
                                      objects == ServedBytes::NumObjects
                                  ? 1
                                  : 0;
                    if (random() % 3 == 0)
                    {
                        ::Sleep(0);
                    }
                }
                dll.close();
            }
        });
    }
    for (std::thread &worker : workers)
    {
        worker.join();
    }
    std::printf("threads %d x %d served %d of %d\n", threads, rounds, served.load(), asked.load());
}

} // namespace

std::wstring TestCounterDll(bool otherArchitecture)
{
    return Folder(otherArchitecture) + L"\\test-dlls\\TessalyCountersTest.dll";
}

std::wstring TcpChecksum()
{
    CorvaneTools::PerfMon::CPerformanceDataSchema schema(L"009");
    BuildTcpCounterSchema(schema);
    return schema.GetChecksum();
}

std::vector<std::wstring> SessionArgs(const std::wstring &counterSet, const std::vector<std::wstring> &steps,
                                      bool otherArchitecture)
{
    std::vector<std::wstring> args{TestCounterDll(otherArchitecture), counterSet};
    args.insert(args.end(), steps.begin(), steps.end());
    return args;
}

Session RunSession(const std::wstring &counterSet, const std::vector<std::wstring> &steps, bool debug,
                   bool otherArchitecture)
{
    std::unique_ptr<TestSupport::CDebugOutputMonitor> monitor(debug ? nullptr : new TestSupport::CDebugOutputMonitor);
    TestSupport::CChildProcess child(L"CounterDllSession", SessionArgs(counterSet, steps, otherArchitecture),
                                     otherArchitecture ? TestSupport::OtherArchitectureProgram() : std::wstring(),
                                     debug);
    Session session;
    if (debug)
    {
        session.exitCode = child.WaitDebugging(session.debugLines);
    }
    else
    {
        session.exitCode = child.Wait();
        session.debugLines = monitor->From(::GetProcessId(child.Handle()));
    }
    session.output = child.Output();
    // The platform's own debugger chatter is of no interest.
    std::vector<std::string> ours;
    for (std::string &line : session.debugLines)
    {
        if (line.find("CPerformanceDataCollector") != std::string::npos ||
            line.find("CreatePerformanceDataCollector") != std::string::npos)
        {
            ours.push_back(line);
        }
    }
    session.debugLines.swap(ours);
    return session;
}

size_t Count(const std::string &text, const std::string &part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    {
        ++count;
    }
    return count;
}

std::string Lines(std::initializer_list<const char *> lines)
{
    std::string text;
    for (const char *line : lines)
    {
        text += line;
        text += "\r\n";
    }
    return text;
}

} // namespace CounterDll

using namespace CounterDll;

// args: DLL path, counter set, then the steps.
TESSALY_CHILD_MAIN(CounterDllSession)
{
    ::SetEnvironmentVariableW(L"TESSALY_TEST_COUNTER_SET", args.at(1).c_str());
    const HMODULE module = ::LoadLibraryW(args.at(0).c_str());
    if (!module)
    {
        return 30;
    }
    using CorvaneTools::Win32::FunctionCast;
    const Exports dll{FunctionCast<OpenFunction>(::GetProcAddress(module, "PerfData_Open")),
                      FunctionCast<CollectFunction>(::GetProcAddress(module, "PerfData_Collect")),
                      FunctionCast<CloseFunction>(::GetProcAddress(module, "PerfData_Close"))};
    if (!dll.open || !dll.collect || !dll.close)
    {
        return 31;
    }
    std::vector<BYTE> buffer(BufferSize + 64);
    for (size_t i = 2; i < args.size(); ++i)
    {
        const std::wstring &step = args[i];
        if (step.compare(0, 7, L"reload:") == 0)
        {
            Reload(dll, args.at(0), std::stoi(step.substr(7)), buffer);
        }
        else if (step.compare(0, 7, L"values:") == 0)
        {
            Values(dll, step.substr(7), buffer);
        }
        else if (step.compare(0, 8, L"threads:") == 0)
        {
            const size_t second = step.find(L':', 8);
            Threads(dll, std::stoi(step.substr(8, second - 8)), std::stoi(step.substr(second + 1)));
        }
        else if (step.compare(0, 6, L"watch:") == 0)
        {
            // watch:<title index>:<threads>:<events>
            const size_t second = step.find(L':', 6);
            const size_t third = step.find(L':', second + 1);
            Watch(dll, std::stoul(step.substr(6, second - 6)), std::stoi(step.substr(second + 1, third - second - 1)),
                  step.substr(third + 1));
        }
        else if (step == L"privilege")
        {
            std::printf("privilege %d\n", TryGlobalPrivilege() ? 1 : 0);
        }
        else if (step == L"nulls")
        {
            Nulls(dll, buffer);
        }
        else if (step == L"open")
        {
            std::printf("open %lu\n", dll.open(nullptr));
        }
        else if (step == L"close")
        {
            std::printf("close %lu\n", dll.close());
        }
        else
        {
            Collect(dll, step, buffer);
        }
        std::fflush(stdout);
    }
    ::FreeLibrary(module);
    return 0;
}
