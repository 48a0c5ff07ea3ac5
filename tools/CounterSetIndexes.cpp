#include "tools/CounterSetIndexes.h"

#include "counters/ProcessConnectionsSchema.h"
#include "counters/TcpCounterSchema.h"
#include "perfmon/RecordFields.h"

#include <stdexcept>

namespace CorvaneTools {
namespace Tools {

CCounterSetIndexes::CCounterSetIndexes(DWORD first)
{
    PerfMon::CPerformanceDataSchema schema(L"009");
    Counters::BuildTcpCounterSchema(schema);
    DWORD titleIndex = first;
    for (const PerfMon::CPerformanceDataSchema::Object &object : schema)
    {
        m_objects.push_back({object.GetName(), titleIndex, object.GetNumCounters(),
                             object.GetNumInstances() != PerfMon::NoInstances});
        titleIndex += 2 * (1 + object.GetNumCounters());
    }
}

const std::vector<CCounterSetIndexes::CObject> &CCounterSetIndexes::GetObjects() const
{
    return m_objects;
}

const CCounterSetIndexes::CObject &CCounterSetIndexes::GetServiceObject() const
{
    return Named(Counters::TcpCounterObjectName);
}

const CCounterSetIndexes::CObject &CCounterSetIndexes::GetProcessConnectionsObject() const
{
    return Named(Counters::ProcessConnectionsObjectName);
}

const CCounterSetIndexes::CObject &CCounterSetIndexes::Named(const wchar_t *name) const
{
    for (const CObject &object : m_objects)
    {
        if (object.name == name)
        {
            return object;
        }
    }
    throw std::logic_error("the counter set has no such object");
}

} // namespace Tools
} // namespace CorvaneTools
