#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace Tools {

// The performance library's key held open across queries. Each close of it unloads every
// provider and the next query loads them all again, so a reader that queries more than
// once keeps one of these for its whole run; it closes the key once, at its end.
class CPerformanceDataSession
{
public:
    typedef LONG(WINAPI *CloseFunction)(HKEY);

    // Nothing is opened here: the first query opens the key. The close is replaceable so
    // that a test can count closes.
    explicit CPerformanceDataSession(CloseFunction close = &::RegCloseKey) noexcept : m_close(close)
    {
    }

    ~CPerformanceDataSession()
    {
        m_close(HKEY_PERFORMANCE_DATA);
    }

    CPerformanceDataSession(const CPerformanceDataSession &) = delete;
    CPerformanceDataSession &operator=(const CPerformanceDataSession &) = delete;

private:
    const CloseFunction m_close;
};

} // namespace Tools
} // namespace CorvaneTools
