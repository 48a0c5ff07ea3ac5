#include "perfmon/PerformanceDataBlockNames.h"

#include "win32/sync/Optex.h"

namespace CorvaneTools {
namespace PerfMon {

CPerformanceDataBlockNames::CPerformanceDataBlockNames(const Win32::IKernelObjectName &block)
    : m_block(block.GetName())
{
}

CPerformanceDataBlockNames::CPerformanceDataBlockNames(const std::wstring &block) : m_block(block)
{
}

Win32::CGlobalName CPerformanceDataBlockNames::CounterSetBlock(const std::wstring &counterSetName)
{
    return Win32::CGlobalName(counterSetName);
}

CPerformanceDataBlockNames CPerformanceDataBlockNames::OfCounterSet(const std::wstring &counterSetName)
{
    return CPerformanceDataBlockNames(CounterSetBlock(counterSetName));
}

std::wstring CPerformanceDataBlockNames::Block() const
{
    return m_block;
}

std::wstring CPerformanceDataBlockNames::Section() const
{
    return m_block + L"_PerfData";
}

std::wstring CPerformanceDataBlockNames::Lock() const
{
    return m_block + L"_PerfData_Lock";
}

std::wstring CPerformanceDataBlockNames::LockState() const
{
    return Win32::COptex::StateMappingName(Lock());
}

std::wstring CPerformanceDataBlockNames::LockOwner() const
{
    return Win32::COptex::OwnerMappingName(Lock());
}

} // namespace PerfMon
} // namespace CorvaneTools
