// A reader child that queries the platform's performance library from several threads at
// once and says what it got.
#include "tools/PerformanceDataReader.h"

#include "tests/collector/PublishedValues.h"
#include "tests/collector/ServedBytes.h"
#include "tests/support/ChildProcess.h"

#include <atomic>
#include <iterator>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <thread>

using namespace CorvaneTools::Tools;

namespace {

std::vector<ULONGLONG> ParseValues(const std::wstring &text)
{
    std::vector<ULONGLONG> values;
    std::wistringstream list(text);
    std::wstring value;
    while (std::getline(list, value, L','))
    {
        values.push_back(std::stoull(value));
    }
    return values;
}

bool HasValues(const PERF_OBJECT_TYPE &object, const std::vector<ULONGLONG> &expected)
{
    const auto counters = CPerformanceDataReader::GetCounters(object);
    if (object.NumInstances != PERF_NO_INSTANCES || counters.size() != expected.size())
    {
        return false;
    }
    const PERF_COUNTER_BLOCK &block = CPerformanceDataReader::GetCounterBlock(object);
    for (size_t k = 0; k < counters.size(); ++k)
    {
        if (CPerformanceDataReader::GetValue(*counters[k], block) != expected[k])
        {
            return false;
        }
    }
    return true;
}

// The published instances in slot order, each with its values.
bool HasPublishedInstances(const PERF_OBJECT_TYPE &object)
{
    CCheckedObject checked;
    if (!CPerformanceDataReader::ReadChecked(object, checked) ||
        checked.instances.size() != std::size(PublishedInstanceNames))
    {
        return false;
    }
    for (DWORD i = 0; i < checked.instances.size(); ++i)
    {
        const CCheckedObject::CInstance &instance = checked.instances[i];
        if (instance.name != PublishedInstanceNames[i] ||
            instance.values.size() != CorvaneTools::Counters::NumProcessConnectionsCounters)
        {
            return false;
        }
        for (DWORD k = 0; k < instance.values.size(); ++k)
        {
            if (instance.values[k] != PublishedInstanceValue(i, k))
            {
                return false;
            }
        }
    }
    return true;
}

std::string Describe(const CPerformanceDataReader &reader)
{
    const PERF_DATA_BLOCK &header = reader.GetHeader();
    std::string text = "block total=" + std::to_string(header.TotalByteLength) + " header=" +
                       std::to_string(header.HeaderLength) + " objects=" + std::to_string(header.NumObjectTypes) + "\n";
    for (const PERF_OBJECT_TYPE *object : reader.GetObjects())
    {
        const DWORD block = object->NumInstances == PERF_NO_INSTANCES
                                ? CPerformanceDataReader::GetCounterBlock(*object).ByteLength
                                : 0;
        text += "object title=" + std::to_string(object->ObjectNameTitleIndex) +
                " total=" + std::to_string(object->TotalByteLength) +
                " definition=" + std::to_string(object->DefinitionLength) +
                " counters=" + std::to_string(object->NumCounters) + " block=" + std::to_string(block) + "\n";
    }
    return text;
}

} // namespace

// args: value name, threads, queries per thread, the title index of the object to look for,
// and the values it must hold ("v0,v1,...", or "-" for any). Prints
// "queries <n> failed <n> with-object <n> exact <n> instances <n>" (instances: answers whose
// process object holds the published instances), then what one reading held.
TESSALY_CHILD_MAIN(LibraryQuery)
{
    const std::wstring valueName = args.at(0);
    const int threads = std::stoi(args.at(1));
    const int queries = std::stoi(args.at(2));
    const DWORD titleIndex = std::stoul(args.at(3));
    const std::vector<ULONGLONG> expected = args.at(4) == L"-" ? std::vector<ULONGLONG>() : ParseValues(args.at(4));
    std::atomic<int> failed{0};
    std::atomic<int> withObject{0};
    std::atomic<int> exact{0};
    std::atomic<int> instances{0};
    std::mutex descriptionLock;
    std::string description;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
    {
        workers.emplace_back([&] {
            for (int q = 0; q < queries; ++q)
            {
                try
                {
                    const CPerformanceDataReader reader(valueName);
                    const PERF_OBJECT_TYPE *object = reader.FindObject(titleIndex);
                    withObject += object ? 1 : 0;
                    exact += object && !expected.empty() && HasValues(*object, expected) ? 1 : 0;
                    const PERF_OBJECT_TYPE *process =
                        reader.FindObject(titleIndex + ServedBytes::ProcessObjectTitleOffset);
                    instances += process && HasPublishedInstances(*process) ? 1 : 0;
                    const std::lock_guard<std::mutex> hold(descriptionLock);
                    description = Describe(reader);
                }
                catch (const std::exception &e)
                {
                    std::fprintf(stderr, "%s\n", e.what());
                    ++failed;
                }
            }
        });
    }
    for (std::thread &worker : workers)
    {
        worker.join();
    }
    std::printf("queries %d failed %d with-object %d exact %d instances %d\n%s", threads * queries, failed.load(),
                withObject.load(), exact.load(), instances.load(), description.c_str());
    return 0;
}
