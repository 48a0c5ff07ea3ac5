#pragma once

#include <windows.h>

#include <cstddef>

namespace CorvaneTools {
namespace PerfMon {

// What one value name of the performance library asks for: every object ("Global", in any
// case) or those whose title indexes it lists, blank-separated. Nothing is copied or
// allocated; the value name must outlive the request.
class CPerformanceDataRequest
{
public:
    explicit CPerformanceDataRequest(const wchar_t *valueName);

    // Whether the object whose title index reads key (decimal, keyLength characters) is asked
    // for: " <key> " is found in " <value name> ".
    bool Selects(const wchar_t *key, size_t keyLength) const;

private:
    const wchar_t *const m_list;
    const bool m_everything;
};

} // namespace PerfMon
} // namespace CorvaneTools
