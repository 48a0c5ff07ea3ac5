#pragma once

#include "counters/TcpCounterSchema.h"
#include "perfmon/PerformanceDataBlock.h"
#include "perfmon/PerformanceDataBlockNames.h"
#include "service/PerformanceCounters.h"
#include "win32/handles/KernelObjectName.h"

#include "tests/support/FakeCounterInstallation.h"

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

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

private:
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
