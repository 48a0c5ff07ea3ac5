// A counter DLL that does the least a provider of the same objects can do: it answers every
// collect with a copy of prebuilt objects as large as the TCP counter set's answer while no
// sample is published (the service object's 28 counters with their block, the process
// object's 13 without instances), so that the benchmark can tell what the real DLL adds
// beyond being loaded and called.
#include <windows.h>
#include <winperf.h>

#include <cstring>

namespace {

const DWORD ServiceCounters = 28;
const DWORD ProcessCounters = 13;
const DWORD ServiceObjectSize = 1416;
const DWORD ProcessObjectSize = sizeof(PERF_OBJECT_TYPE) + ProcessCounters * sizeof(PERF_COUNTER_DEFINITION);
const DWORD AnswerSize = ServiceObjectSize + ProcessObjectSize;
BYTE s_answer[AnswerSize];

PERF_OBJECT_TYPE *BuildObject(BYTE *at, DWORD size, DWORD titleIndex, DWORD numCounters, LONG numInstances)
{
    PERF_OBJECT_TYPE *object = reinterpret_cast<PERF_OBJECT_TYPE *>(at);
    object->TotalByteLength = size;
    object->DefinitionLength = sizeof(PERF_OBJECT_TYPE) + numCounters * sizeof(PERF_COUNTER_DEFINITION);
    object->HeaderLength = sizeof(PERF_OBJECT_TYPE);
    object->ObjectNameTitleIndex = titleIndex;
    object->ObjectHelpTitleIndex = titleIndex + 1;
    object->DetailLevel = PERF_DETAIL_NOVICE;
    object->NumCounters = numCounters;
    object->DefaultCounter = 0;
    object->NumInstances = numInstances;
    PERF_COUNTER_DEFINITION *counters = reinterpret_cast<PERF_COUNTER_DEFINITION *>(object + 1);
    for (DWORD k = 0; k < numCounters; ++k)
    {
        counters[k].ByteLength = sizeof(PERF_COUNTER_DEFINITION);
        counters[k].CounterType = PERF_COUNTER_RAWCOUNT;
        counters[k].CounterSize = 8;
        counters[k].CounterOffset = 4 + 8 * k;
    }
    return object;
}

void Build()
{
    PERF_OBJECT_TYPE *service = BuildObject(s_answer, ServiceObjectSize, 0x7FFFFFF0, ServiceCounters, PERF_NO_INSTANCES);
    service->DefaultCounter = 10;
    PERF_COUNTER_BLOCK *block = reinterpret_cast<PERF_COUNTER_BLOCK *>(s_answer + service->DefinitionLength);
    block->ByteLength = 4 + 8 * ServiceCounters;
    BuildObject(s_answer + ServiceObjectSize, ProcessObjectSize, 0x7FFFFFF2, ProcessCounters, 0);
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
    if (*bytes < AnswerSize)
    {
        *bytes = 0;
        *objects = 0;
        return ERROR_MORE_DATA;
    }
    std::memcpy(*data, s_answer, AnswerSize);
    *data = static_cast<BYTE *>(*data) + AnswerSize;
    *bytes = AnswerSize;
    *objects = 2;
    return ERROR_SUCCESS;
}

DWORD WINAPI PerfData_Close()
{
    return ERROR_SUCCESS;
}
}
