#pragma once

#include "counters/TcpCounterSchema.h"
#include "perfmon/PerformanceDataBlock.h"
#include "perfmon/PerformanceDataBlockLayout.h"
#include "perfmon/PerformanceDataBlockNames.h"
#include "service/PerformanceCounters.h"
#include "win32/handles/KernelObjectName.h"

#include "tests/support/FakeCounterInstallation.h"

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace TestSupport {

// A publishing counter set under a name of the test's own, and its values as a reader of
// the shared block finds them.
class CPublishedCounters
{
public:
    CPublishedCounters() : m_installation(100, Checksum()), m_schema(L"009")
    {
        CorvaneTools::Counters::BuildTcpCounterSchema(m_schema);
        m_block.reset(new CorvaneTools::PerfMon::CPerformanceDataBlock(
            CorvaneTools::PerfMon::CPerformanceDataBlockNames::CounterSetBlock(m_installation.Name()), m_schema,
            m_installation.First(), nullptr));
        m_counters.reset(new CorvaneTools::TessalyService::CPerformanceCounters(true, nullptr, m_installation.Name()));
        if (!m_counters->IsPublishing())
        {
            throw std::runtime_error("the counter set does not publish");
        }
    }

    CorvaneTools::TessalyService::CPerformanceCounters &Counters()
    {
        return *m_counters;
    }

    ULONGLONG operator[](int counter) const
    {
        ULONGLONG value;
        std::memcpy(&value, m_block->GetCounterData() + 8 * counter, sizeof(value));
        return value;
    }

    struct Instance
    {
        std::wstring name;
        std::vector<ULONGLONG> values;
    };

    // The instances of the object with instances, in slot order, as the block holds them.
    std::vector<Instance> Instances() const
    {
        using namespace CorvaneTools::PerfMon;
        const CPerformanceDataBlockLayout layout(m_schema, m_block->GetBlockSize(), L"CPublishedCounters");
        const CPerformanceDataBlockLayout::Object &object = layout.GetObject(1);
        const BYTE *record = m_block->GetBlock() + object.recordOffset;
        std::vector<Instance> instances(Get(record, 60));
        for (size_t i = 0; i < instances.size(); ++i)
        {
            const BYTE *slot = record + object.definitionLength + i * object.slotLength;
            const wchar_t *name = reinterpret_cast<const wchar_t *>(slot + Get(slot, 16));
            instances[i].name.assign(name, Get(slot, 20) / sizeof(wchar_t) - 1);
            const BYTE *data = m_block->GetCounterData() + object.dataOffset + i * object.dataSize;
            for (DWORD k = 0; k < object.dataSize / 8; ++k)
            {
                ULONGLONG value;
                std::memcpy(&value, data + 8 * k, sizeof(value));
                instances[i].values.push_back(value);
            }
        }
        return instances;
    }

private:
    static DWORD Get(const BYTE *at, size_t offset)
    {
        DWORD value;
        std::memcpy(&value, at + offset, sizeof(value));
        return value;
    }

    static std::wstring Checksum()
    {
        CorvaneTools::PerfMon::CPerformanceDataSchema schema(L"009");
        CorvaneTools::Counters::BuildTcpCounterSchema(schema);
        return schema.GetChecksum();
    }

    TestSupport::CFakeCounterInstallation m_installation;
    CorvaneTools::PerfMon::CPerformanceDataSchema m_schema;
    std::unique_ptr<CorvaneTools::PerfMon::CPerformanceDataBlock> m_block;
    std::unique_ptr<CorvaneTools::TessalyService::CPerformanceCounters> m_counters;
};

} // namespace TestSupport
