// The counter DLL the platform's performance library loads into every process that reads
// performance data. Nothing raised inside may reach the caller, so each export catches
// everything, hardware faults included.
#include "collector/PerformanceDataCollector.h"
#include "win32/crash/SEHException.h"
#include "win32/crash/SEHTranslator.h"

#include <windows.h>

using CorvaneTools::PerfMon::ICollectPerformanceData;
using CorvaneTools::TessalyCounters::CreatePerformanceDataCollector;
using CorvaneTools::Win32::CSEHException;
using CorvaneTools::Win32::CSEHTranslator;

#if defined(TESSALY_TEST_BUILD)
using CorvaneTools::TessalyCounters::FaultInExportIfAsked;
#endif

namespace {

// Made at the first call, not at load: DllMain runs under the loader lock, where registry
// calls and most of what building the collector needs are off limits ("Dynamic-Link
// Library Best Practices").
INIT_ONCE s_made = INIT_ONCE_STATIC_INIT;
ICollectPerformanceData *s_collector = nullptr;

BOOL CALLBACK MakeCollector(PINIT_ONCE, PVOID, PVOID *)
{
    s_collector = CreatePerformanceDataCollector();
    return TRUE;
}

ICollectPerformanceData *Collector()
{
    ::InitOnceExecuteOnce(&s_made, &MakeCollector, nullptr, nullptr);
    return s_collector;
}

} // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    switch (reason)
    {
    case DLL_PROCESS_ATTACH: {
        ::DisableThreadLibraryCalls(instance);
        // The performance library may load and unload the DLL on every query (it does under
        // Wine). Each load of the statically linked C++ runtime takes a thread-local slot it
        // never gives back, so after about a thousand queries the reader would die; once
        // loaded, the DLL therefore stays until the process ends.
        HMODULE self = nullptr;
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                             reinterpret_cast<LPCWSTR>(&DllMain), &self);
        break;
    }
    case DLL_PROCESS_DETACH: {
        ICollectPerformanceData *const collector = s_collector;
        s_collector = nullptr;
        delete collector;
        break;
    }
    default:
        break;
    }
    return TRUE;
}

// Always ERROR_SUCCESS: any other answer makes the performance library disable this
// provider for the whole machine ("Implementing OpenPerformanceData"); what failed has gone
// to the debugger output, and collects then answer with what there is.
DWORD WINAPI PerfData_Open(LPWSTR deviceNames)
{
    try
    {
        CSEHTranslator translator(&CSEHException::Translate);
        if (ICollectPerformanceData *const collector = Collector())
        {
            collector->Open(deviceNames);
        }
    }
    catch (...)
    {
    }
    return ERROR_SUCCESS;
}

DWORD WINAPI PerfData_Collect(LPWSTR valueName, LPVOID *data, LPDWORD totalBytes, LPDWORD numObjectTypes)
{
    // The performance library never passes null; a caller that does is told so, and
    // nothing is written.
    if (!data || !totalBytes || !numObjectTypes)
    {
        return ERROR_INVALID_PARAMETER;
    }
    // Whatever fails, the answer is "nothing collected": the library takes the byte count of
    // a successful call as what was written, and the providers after this one need the rest.
    LPVOID const start = *data;
    try
    {
        CSEHTranslator translator(&CSEHException::Translate);
#if defined(TESSALY_TEST_BUILD)
        FaultInExportIfAsked(valueName);
#endif
        if (ICollectPerformanceData *const collector = Collector())
        {
            return collector->Collect(valueName, *data, *totalBytes, *numObjectTypes) ? ERROR_SUCCESS
                                                                                       : ERROR_MORE_DATA;
        }
    }
    catch (...)
    {
    }
    *data = start;
    *totalBytes = 0;
    *numObjectTypes = 0;
    return ERROR_SUCCESS;
}

DWORD WINAPI PerfData_Close()
{
    try
    {
        CSEHTranslator translator(&CSEHException::Translate);
        if (ICollectPerformanceData *const collector = Collector())
        {
            collector->Close();
        }
    }
    catch (...)
    {
    }
    return ERROR_SUCCESS;
}
}
