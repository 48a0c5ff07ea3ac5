// Prints the counters of one performance object as the platform's performance library
// returns them to any reader:
//   TessalyCounterReader [/query:<value name>] [/app:<counter set>] [/details]
// One line per counter, "<name>\t<value>"; with /details also the object's and each
// counter's definition fields as key=value. Exit codes: 0 printed, 1 the object is not in
// the data, 2 the counters are not installed or the query failed, 3 bad arguments.
#include "tools/PerformanceDataReader.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

namespace {

bool ReadFirstCounter(const std::wstring &application, DWORD &first)
{
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + application + L"\\Performance";
    DWORD bytes = sizeof(first);
    return ::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"First Counter", RRF_RT_REG_DWORD, nullptr, &first,
                          &bytes) == ERROR_SUCCESS;
}

std::wstring NameOf(const std::map<DWORD, std::wstring> &names, DWORD index)
{
    const auto found = names.find(index);
    return found == names.end() ? L"#" + std::to_wstring(index) : found->second;
}

bool HeaderTailIsZero(const PERF_OBJECT_TYPE &object)
{
    const BYTE *bytes = reinterpret_cast<const BYTE *>(&object);
    for (size_t at = offsetof(PERF_OBJECT_TYPE, CodePage); at < sizeof(PERF_OBJECT_TYPE); ++at)
    {
        if (bytes[at] != 0)
        {
            return false;
        }
    }
    return true;
}

void PrintDetails(const CPerformanceDataReader &reader, const PERF_OBJECT_TYPE &object)
{
    std::printf("block\tNumObjectTypes=%lu\tTotalByteLength=%lu\tHeaderLength=%lu\tObjectsOffset=%lu\n",
                reader.GetHeader().NumObjectTypes, reader.GetHeader().TotalByteLength,
                reader.GetHeader().HeaderLength, reader.GetObjectsOffset());
    std::printf("object\tTitleIndex=%lu\tHelpIndex=%lu\tTotalByteLength=%lu\tDefinitionLength=%lu\tHeaderLength=%lu"
                "\tDetailLevel=%lu\tNumCounters=%lu\tDefaultCounter=%ld\tNumInstances=%ld\tTailZero=%d"
                "\tCounterBlockLength=%lu\n",
                object.ObjectNameTitleIndex, object.ObjectHelpTitleIndex, object.TotalByteLength,
                object.DefinitionLength, object.HeaderLength, object.DetailLevel, object.NumCounters,
                object.DefaultCounter, object.NumInstances, HeaderTailIsZero(object) ? 1 : 0,
                object.NumInstances == PERF_NO_INSTANCES ? CPerformanceDataReader::GetCounterBlock(object).ByteLength
                                                         : 0);
}

int Run(int argc, wchar_t **argv)
{
    std::wstring query = L"Global";
    std::wstring application = L"Corvane Tessaly";
    bool details = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::wstring argument = argv[i];
        if (argument.compare(0, 7, L"/query:") == 0)
        {
            query = argument.substr(7);
        }
        else if (argument.compare(0, 5, L"/app:") == 0)
        {
            application = argument.substr(5);
        }
        else if (argument == L"/details")
        {
            details = true;
        }
        else
        {
            std::fprintf(stderr, "Unknown argument: %ls\nUsage: TessalyCounterReader [/query:<value name>] "
                                 "[/app:<counter set>] [/details]\n",
                         argument.c_str());
            return 3;
        }
    }
    DWORD first = 0;
    if (!ReadFirstCounter(application, first))
    {
        std::fprintf(stderr, "The counters of \"%ls\" are not installed\n", application.c_str());
        return 2;
    }
    const CPerformanceDataReader reader(query);
    const PERF_OBJECT_TYPE *object = reader.FindObject(first);
    if (!object)
    {
        std::fprintf(stderr, "No object with title index %lu in the data of \"%ls\" (%lu objects)\n", first,
                     query.c_str(), reader.GetHeader().NumObjectTypes);
        return 1;
    }
    const std::map<DWORD, std::wstring> names = CPerformanceDataReader::LoadCounterNames();
    if (details)
    {
        PrintDetails(reader, *object);
    }
    const std::vector<const PERF_COUNTER_DEFINITION *> counters = CPerformanceDataReader::GetCounters(*object);
    if (object->NumInstances != PERF_NO_INSTANCES)
    {
        const BYTE *at = reinterpret_cast<const BYTE *>(object) + object->DefinitionLength;
        for (LONG i = 0; i < object->NumInstances; ++i)
        {
            const PERF_INSTANCE_DEFINITION *instance = reinterpret_cast<const PERF_INSTANCE_DEFINITION *>(at);
            const wchar_t *instanceName = reinterpret_cast<const wchar_t *>(at + instance->NameOffset);
            const PERF_COUNTER_BLOCK *block = reinterpret_cast<const PERF_COUNTER_BLOCK *>(at + instance->ByteLength);
            for (const PERF_COUNTER_DEFINITION *counter : counters)
            {
                std::printf("%ls[%ls]\t%llu\n", NameOf(names, counter->CounterNameTitleIndex).c_str(), instanceName,
                            CPerformanceDataReader::GetValue(*counter, *block));
            }
            at += instance->ByteLength + block->ByteLength;
        }
        return 0;
    }
    const PERF_COUNTER_BLOCK &block = CPerformanceDataReader::GetCounterBlock(*object);
    for (size_t k = 0; k < counters.size(); ++k)
    {
        const PERF_COUNTER_DEFINITION &counter = *counters[k];
        if (details)
        {
            std::printf("counter\t%u\tTitleIndex=%lu\tHelpIndex=%lu\tType=0x%lX\tSize=%lu\tOffset=%lu\tDetailLevel=%lu"
                        "\tScale=%ld\tByteLength=%lu\t",
                        static_cast<unsigned>(k), counter.CounterNameTitleIndex, counter.CounterHelpTitleIndex,
                        counter.CounterType, counter.CounterSize, counter.CounterOffset, counter.DetailLevel,
                        counter.DefaultScale, counter.ByteLength);
        }
        std::printf("%ls\t%llu\n", NameOf(names, counter.CounterNameTitleIndex).c_str(),
                    CPerformanceDataReader::GetValue(counter, block));
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    try
    {
        return Run(argc, argv);
    }
    catch (const std::exception &e)
    {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }
}
