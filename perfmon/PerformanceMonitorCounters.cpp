#include "perfmon/PerformanceMonitorCounters.h"
#include "perfmon/RecordFields.h"

#include "win32/Exception.h"

#include <cstring>

namespace CorvaneTools {
namespace PerfMon {

using Win32::CException;

namespace {

const DWORD s_noInstances = 0xFFFFFFFF;

} // namespace

CPerformanceMonitorCounters::ObjectIndex::ObjectIndex(const BYTE *record, const BYTE *counterDefinitions,
                                                      const CPerformanceDataSchema::Object &object, BYTE *data)
    : m_record(record), m_data(data)
{
    std::vector<std::wstring> names;
    object.GetCounterNames(names);
    for (size_t k = 0; k < names.size(); ++k)
    {
        if (m_counters.count(names[k]) != 0)
        {
            throw CException(L"CPerformanceMonitorCounters::ObjectIndex::ObjectIndex()",
                             L"Unexpected - schema contains duplicate counter names");
        }
        // CounterOffset counts the 4-byte length word that starts counter data in the platform's format.
        const DWORD counterOffset = Get32(counterDefinitions + 40 * k, 36);
        m_counters[names[k]] = reinterpret_cast<CounterHandle>(m_data + counterOffset - 4);
    }
}

CPerformanceMonitorCounters::CounterHandle CPerformanceMonitorCounters::ObjectIndex::FindCounter(
    const std::wstring &name) const
{
    const auto found = m_counters.find(name);
    if (found == m_counters.end())
    {
        throw CException(L"CPerformanceMonitorCounters::ObjectIndex::FindCounter()",
                         L"Counter not found: \"" + name + L"\"");
    }
    return found->second;
}

bool CPerformanceMonitorCounters::ObjectIndex::HasInstances() const
{
    return Get32(m_record, 40) != s_noInstances;
}

void CPerformanceMonitorCounters::ObjectIndex::Reset() const
{
    // Each slot is zeroed with an atomic store, like every other store into it.
    const DWORD size = Get32(m_record, 56);
    volatile LONG *slot = reinterpret_cast<volatile LONG *>(m_data);
    for (DWORD i = 0; i < size / sizeof(LONG); ++i)
    {
        ::InterlockedExchange(slot + i, 0);
    }
}

CPerformanceMonitorCounters::CPerformanceMonitorCounters(const Win32::IKernelObjectName &name,
                                                         const CPerformanceDataSchema &schema, DWORD firstTitleIndex,
                                                         SECURITY_ATTRIBUTES *securityAttributes)
    : m_block(name, schema, firstTitleIndex, securityAttributes)
{
    BuildObjectIndex(schema);
}

CPerformanceMonitorCounters::~CPerformanceMonitorCounters() = default;

void CPerformanceMonitorCounters::BuildObjectIndex(const CPerformanceDataSchema &schema)
{
    const BYTE *record = m_block.GetObjectDefinitions();
    for (const auto &object : schema)
    {
        const std::wstring &name = object.GetName();
        if (m_objectsByName.count(name) != 0)
        {
            throw CException(L"CPerformanceMonitorCounters::BuildObjectIndex()",
                             L"Unexpected - schema contains duplicate object names");
        }
        const BYTE *counterDefinitions = record + 64;
        const DWORD numInstances = Get32(record, 40);
        BYTE *data = m_block.GetCounterData() + Get32(record, 44);
        auto index = std::make_unique<ObjectIndex>(record, counterDefinitions, object, data);
        DWORD length = 64 + 40 * Get32(record, 32);
        if (numInstances != s_noInstances)
        {
            length += numInstances * (Get32(record, 52) + 24);
        }
        record += length;
        const ObjectId id = index.get();
        m_objectsByName[name] = std::move(index);
        m_objectNamesById[id] = name;
    }
}

const CPerformanceMonitorCounters::ObjectIndex &CPerformanceMonitorCounters::FindObjectByName(
    const std::wstring &name) const
{
    const auto found = m_objectsByName.find(name);
    if (found == m_objectsByName.end())
    {
        throw CException(L"CPerformanceMonitorCounters::FindObjectByName()", L"Object not found: \"" + name + L"\"");
    }
    return *found->second;
}

const CPerformanceMonitorCounters::ObjectIndex &CPerformanceMonitorCounters::ObjectIdToObjectIndex(ObjectId object) const
{
    if (m_objectNamesById.count(object) == 0)
    {
        throw CException(L"CPerformanceMonitorCounters::ObjectIdToObjectIndex()", L"Invalid objectId");
    }
    return *object;
}

CPerformanceMonitorCounters::ObjectId CPerformanceMonitorCounters::GetPerformanceObject(const std::wstring &objectName)
{
    const ObjectIndex &index = FindObjectByName(objectName);
    if (index.HasInstances())
    {
        throw CException(L"CPerformanceMonitorCounters::GetPerformanceObject()",
                         L"Object has instances, use AllocatePerformanceObjectInstance()");
    }
    index.Reset();
    return &index;
}

CPerformanceMonitorCounters::CounterHandle CPerformanceMonitorCounters::GetPerformanceCounter(
    ObjectId object, const std::wstring &counterName) const
{
    return ObjectIdToObjectIndex(object).FindCounter(counterName);
}

void CPerformanceMonitorCounters::ResetPerformanceObject(ObjectId object)
{
    ObjectIdToObjectIndex(object).Reset();
}

bool CPerformanceMonitorCounters::TryEnter()
{
    return m_block.TryEnter();
}

void CPerformanceMonitorCounters::Enter()
{
    m_block.Enter();
}

void CPerformanceMonitorCounters::Leave()
{
    m_block.Leave();
}

bool CPerformanceMonitorCounters::IsLockedByThisThread() const
{
    return m_block.IsLockedByThisThread();
}

const CPerformanceDataBlock &CPerformanceMonitorCounters::GetDataBlock() const
{
    return m_block;
}

} // namespace PerfMon
} // namespace CorvaneTools
