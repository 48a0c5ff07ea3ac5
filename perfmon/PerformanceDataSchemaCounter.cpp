#include "perfmon/PerformanceDataSchema.h"

namespace CorvaneTools {
namespace PerfMon {

CPerformanceDataSchema::Counter::Counter(const std::wstring &language, const std::wstring &name,
                                         const std::wstring &help, DWORD detailLevel, LONG defaultScale,
                                         DWORD counterType)
    : m_detailLevel(detailLevel), m_defaultScale(defaultScale), m_counterType(counterType), m_language(language)
{
    m_names[language] = std::make_pair(name, help);
}

std::wstring CPerformanceDataSchema::Counter::GetName(const std::wstring &language) const
{
    return TextFor(m_names, language, m_language, false);
}

std::wstring CPerformanceDataSchema::Counter::GetHelp(const std::wstring &language) const
{
    return TextFor(m_names, language, m_language, true);
}

const std::wstring &CPerformanceDataSchema::Counter::GetName() const
{
    return TextFor(m_names, m_language, m_language, false);
}

const std::wstring &CPerformanceDataSchema::Counter::GetHelp() const
{
    return TextFor(m_names, m_language, m_language, true);
}

DWORD CPerformanceDataSchema::Counter::GetDetailLevel() const
{
    return m_detailLevel;
}

LONG CPerformanceDataSchema::Counter::GetDefaultScale() const
{
    return m_defaultScale;
}

DWORD CPerformanceDataSchema::Counter::GetCounterType() const
{
    return m_counterType;
}

DWORD CPerformanceDataSchema::Counter::GetStorageSize() const
{
    return CounterStorageSize;
}

} // namespace PerfMon
} // namespace CorvaneTools
