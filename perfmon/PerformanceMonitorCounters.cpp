#include "perfmon/PerformanceMonitorCounters.h"
#include "perfmon/RecordFields.h"

#include "win32/errors/Exception.h"
#include "win32/sync/LockOwner.h"

#include <cstring>

namespace CorvaneTools {
namespace PerfMon {

using Win32::CException;

namespace {

const wchar_t *const s_where = L"CPerformanceMonitorCounters::CPerformanceMonitorCounters()";

} // namespace

CPerformanceMonitorCounters::ObjectIndex::ObjectIndex(const CPerformanceDataBlockLayout::Object &layout, BYTE *record,
                                                      BYTE *data)
    : m_layout(layout), m_hasInstances(layout.hasInstances), m_dataSize(layout.dataSize), m_record(record), m_data(data)
{
    std::vector<std::wstring> names;
    layout.object->GetCounterNames(names);
    DWORD offset = 0;
    for (size_t k = 0; k < names.size(); ++k)
    {
        if (m_counters.count(names[k]) != 0)
        {
            throw CException(L"CPerformanceMonitorCounters::ObjectIndex::ObjectIndex()",
                             L"Unexpected - schema contains duplicate counter names");
        }
        m_counters[names[k]] = reinterpret_cast<CounterHandle>(m_data + offset);
        offset += layout.object->GetCounter(static_cast<DWORD>(k)).GetStorageSize();
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
    return m_hasInstances;
}

void CPerformanceMonitorCounters::ObjectIndex::Reset() const
{
    // Each slot is zeroed with an atomic store, like every other store into it.
    volatile LONG *slot = reinterpret_cast<volatile LONG *>(m_data);
    for (DWORD i = 0; i < m_dataSize / sizeof(LONG); ++i)
    {
        ::InterlockedExchange(slot + i, 0);
    }
}

void CPerformanceMonitorCounters::ObjectIndex::CopyInstances(const CPerformanceInstanceSet *set) const
{
    const DWORD count = set ? set->GetCount() : 0;
    if (set && (set->GetNumSlots() > m_layout.numInstances || set->GetSlotLength() != m_layout.slotLength ||
                set->GetDataSize() != m_dataSize))
    {
        throw CException(L"CPerformanceMonitorCounters::PublishInstances()",
                         L"The instance set does not fit the object's slots");
    }
    BYTE *slot = m_record + m_layout.definitionLength;
    BYTE *data = m_data;
    for (DWORD i = 0; i < m_layout.numInstances; ++i, slot += m_layout.slotLength, data += m_dataSize)
    {
        if (i < count)
        {
            std::memcpy(slot, set->GetSlot(i), m_layout.slotLength);
            std::memcpy(data, set->GetData(i), m_dataSize);
        }
        else if (Get32(slot, InstanceField::ByteLength) != 0)
        {
            // Back to the free slot the block was laid out with.
            std::memset(slot, 0, m_layout.slotLength);
            Put32(slot, InstanceField::UniqueId, 0xFFFFFFFF);
            Put32(slot, InstanceField::NameOffset, InstanceDefinitionLength);
            std::memset(data, 0, m_dataSize);
        }
    }
    Put32(m_record, ObjectField::ActiveInstances, count);
}

CPerformanceMonitorCounters::CPerformanceMonitorCounters(const Win32::IKernelObjectName &name,
                                                         const CPerformanceDataSchema &schema, DWORD firstTitleIndex,
                                                         SECURITY_ATTRIBUTES *securityAttributes)
    : m_block(name, schema, firstTitleIndex, securityAttributes), m_layout(schema, m_block.GetBlockSize(), s_where)
{
    m_layout.Validate(m_block.GetBlock());
    BuildObjectIndex(schema);
}

CPerformanceMonitorCounters::~CPerformanceMonitorCounters() = default;

void CPerformanceMonitorCounters::BuildObjectIndex(const CPerformanceDataSchema &schema)
{
    BYTE *const counterData = m_block.GetBlock() + m_layout.GetCounterDataOffset();
    DWORD index = 0;
    for (const auto &object : schema)
    {
        const std::wstring &name = object.GetName();
        if (m_objectsByName.count(name) != 0)
        {
            throw CException(L"CPerformanceMonitorCounters::BuildObjectIndex()",
                             L"Unexpected - schema contains duplicate object names");
        }
        const CPerformanceDataBlockLayout::Object &layout = m_layout.GetObject(index++);
        auto objectIndex = std::make_unique<ObjectIndex>(layout, m_block.GetBlock() + layout.recordOffset,
                                                         counterData + layout.dataOffset);
        const ObjectId id = objectIndex.get();
        m_objectsByName[name] = std::move(objectIndex);
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

CPerformanceMonitorCounters::ObjectId CPerformanceMonitorCounters::GetInstanceObject(const std::wstring &objectName)
{
    const ObjectIndex &index = FindObjectByName(objectName);
    if (!index.HasInstances())
    {
        throw CException(L"CPerformanceMonitorCounters::GetInstanceObject()",
                         L"Object has no instances, use GetPerformanceObject()");
    }
    return &index;
}

bool CPerformanceMonitorCounters::PublishInstances(ObjectId object, const CPerformanceInstanceSet &set)
{
    const ObjectIndex &index = ObjectIdToObjectIndex(object);
    if (!index.HasInstances())
    {
        throw CException(L"CPerformanceMonitorCounters::PublishInstances()", L"Object has no instances");
    }
    Win32::TTimedLockOwner<CPerformanceDataBlock> lock(m_block, CPerformanceDataBlock::LockTimeoutMs);
    if (!lock.IsHeld())
    {
        return false;
    }
    index.CopyInstances(&set);
    return true;
}

void CPerformanceMonitorCounters::ResetPerformanceObject(ObjectId object)
{
    const ObjectIndex &index = ObjectIdToObjectIndex(object);
    if (!index.HasInstances())
    {
        index.Reset();
        return;
    }
    Win32::TTimedLockOwner<CPerformanceDataBlock> lock(m_block, CPerformanceDataBlock::LockTimeoutMs);
    if (lock.IsHeld())
    {
        index.CopyInstances(nullptr);
    }
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
