// A counter DLL that does the least a provider of the same object can do: it answers every
// collect with a copy of one prebuilt object as large as the TCP counter set's, so that
// the benchmark can tell what the real DLL adds beyond being loaded and called.
#include <windows.h>
#include <winperf.h>

#include <cstring>

namespace {

const DWORD NumCounters = 28;
const DWORD ObjectSize = 1416;
BYTE s_object[ObjectSize];

void Build()
{
    PERF_OBJECT_TYPE *object = reinterpret_cast<PERF_OBJECT_TYPE *>(s_object);
    object->TotalByteLength = ObjectSize;
    object->DefinitionLength = sizeof(PERF_OBJECT_TYPE) + NumCounters * sizeof(PERF_COUNTER_DEFINITION);
    object->HeaderLength = sizeof(PERF_OBJECT_TYPE);
    object->ObjectNameTitleIndex = 0x7FFFFFF0;
    object->ObjectHelpTitleIndex = 0x7FFFFFF1;
    object->DetailLevel = PERF_DETAIL_NOVICE;
    object->NumCounters = NumCounters;
    object->DefaultCounter = 10;
    object->NumInstances = PERF_NO_INSTANCES;
    PERF_COUNTER_DEFINITION *counters = reinterpret_cast<PERF_COUNTER_DEFINITION *>(object + 1);
    for (DWORD k = 0; k < NumCounters; ++k)
    {
        counters[k].ByteLength = sizeof(PERF_COUNTER_DEFINITION);
        counters[k].CounterType = PERF_COUNTER_RAWCOUNT;
        counters[k].CounterSize = 8;
        counters[k].CounterOffset = 4 + 8 * k;
    }
    PERF_COUNTER_BLOCK *block = reinterpret_cast<PERF_COUNTER_BLOCK *>(s_object + object->DefinitionLength);
    block->ByteLength = 4 + 8 * NumCounters;
}

} // namespace

extern "C" {

DWORD WINAPI PerfData_Open(LPWSTR)
{
    Build();
    return ERROR_SUCCESS;
}

DWORD WINAPI PerfData_Collect(LPWSTR, LPVOID *data, LPDWORD bytes, LPDWORD objects)
{
    if (*bytes < ObjectSize)
    {
        *bytes = 0;
        *objects = 0;
        return ERROR_MORE_DATA;
    }
    std::memcpy(*data, s_object, ObjectSize);
    *data = static_cast<BYTE *>(*data) + ObjectSize;
    *bytes = ObjectSize;
    *objects = 1;
    return ERROR_SUCCESS;
}

DWORD WINAPI PerfData_Close()
{
    return ERROR_SUCCESS;
}
}
