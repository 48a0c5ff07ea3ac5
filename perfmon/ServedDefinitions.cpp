#include "perfmon/ServedDefinitions.h"

#include "perfmon/CounterStorageAllocator.h"
#include "perfmon/RecordFields.h"

#include <cstring>

namespace CorvaneTools {
namespace PerfMon {

namespace {

DWORD RoundUp(DWORD value, DWORD alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

DWORD NaturalAlignment(DWORD size)
{
    DWORD alignment = 1;
    while (alignment < 8 && alignment * 2 <= size)
    {
        alignment *= 2;
    }
    return alignment;
}

struct Built
{
    size_t definitionAt;
    DWORD definitionLength;
    DWORD titleIndex;
    DWORD counterBlockLength;
    size_t firstRun;
    size_t numRuns;
};

} // namespace

CServedDefinitions::CServedDefinitions(const CPerformanceDataSchema &schema, DWORD firstTitleIndex)
{
    schema.ValidateSchema();
    CCounterStorageAllocator allocator(schema.GetCounterDataSize());
    std::vector<Built> built;
    std::vector<BYTE> record;
    DWORD titleIndex = firstTitleIndex;
    for (const auto &object : schema)
    {
        // The schema's own writer makes the record, as it makes the block's; the served copy
        // then differs only where the platform's rules or the reader's view demand it.
        record.assign(object.GetDefinitionSize(), 0);
        Built entry = {m_definitions.size(), 0, titleIndex, 0, m_runs.size(), 0};
        object.WriteTo(record.data(), record.size(), titleIndex, allocator);
        entry.definitionLength = Get32(record.data(), ObjectField::DefinitionLength);
        std::memset(&record[ObjectField::NumInstances], 0, ObjectHeaderLength - ObjectField::NumInstances);
        DWORD served = sizeof(DWORD);
        for (DWORD k = 0; k < object.GetNumCounters(); ++k)
        {
            BYTE *const counter = &record[ObjectHeaderLength + k * CounterDefinitionLength];
            const DWORD size = Get32(counter, CounterField::CounterSize);
            const DWORD from = Get32(counter, CounterField::CounterOffset) - sizeof(DWORD);
            served = RoundUp(served, NaturalAlignment(size));
            Put32(counter, CounterField::CounterOffset, served);
            Run *last = m_runs.size() > entry.firstRun ? &m_runs.back() : nullptr;
            if (last && last->from + last->length == from && last->to + last->length == served)
            {
                last->length += size;
            }
            else
            {
                m_runs.push_back({from, served, size});
            }
            served += size;
        }
        entry.counterBlockLength = RoundUp(served, 8);
        entry.numRuns = m_runs.size() - entry.firstRun;
        Put32(record.data(), ObjectField::TotalByteLength, entry.definitionLength + entry.counterBlockLength);
        m_definitions.insert(m_definitions.end(), record.begin(), record.begin() + entry.definitionLength);
        built.push_back(entry);
    }
    // Pointers are taken once everything has been appended and nothing moves any more.
    for (const Built &entry : built)
    {
        m_objects.push_back({m_definitions.data() + entry.definitionAt, entry.definitionLength, entry.titleIndex,
                             entry.counterBlockLength, m_runs.data() + entry.firstRun,
                             static_cast<DWORD>(entry.numRuns)});
    }
}

DWORD CServedDefinitions::GetNumObjects() const
{
    return static_cast<DWORD>(m_objects.size());
}

const CServedDefinitions::Object &CServedDefinitions::GetObject(DWORD index) const
{
    return m_objects[index];
}

void CServedDefinitions::WriteCounterBlock(const Object &object, const BYTE *data, BYTE *out)
{
    std::memset(out, 0, object.counterBlockLength);
    Put32(out, 0, object.counterBlockLength);
    if (!data)
    {
        return;
    }
    for (DWORD r = 0; r < object.numRuns; ++r)
    {
        const Run &run = object.runs[r];
        std::memcpy(out + run.to, data + run.from, run.length);
    }
}

} // namespace PerfMon
} // namespace CorvaneTools
