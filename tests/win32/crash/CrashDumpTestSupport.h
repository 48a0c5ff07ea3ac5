#pragma once

#include "win32/crash/ICreateMiniDumps.h"
#include "win32/log/DebugTrace.h"

#include "tests/support/CapturedLog.h"

#include <windows.h>

#include <string>
#include <vector>

namespace CrashDumpTests {

using TestSupport::CCapturedLog;

// Names its dumps prefix-1.dmp, prefix-2.dmp, ... and only counts the writes.
class CFakeDumper : public CorvaneTools::Win32::ICreateMiniDumps
{
public:
    explicit CFakeDumper(const std::wstring &prefix, bool succeeds = true) : m_prefix(prefix), m_succeeds(succeeds)
    {
    }

    std::wstring GetDumpFileNamePrefix() override
    {
        return m_prefix;
    }

    std::wstring GetDumpFileName() override
    {
        return m_prefix + L"-" + std::to_wstring(++m_names) + L".dmp";
    }

    bool CreateMiniDump(const std::wstring &, EXCEPTION_POINTERS *information) override
    {
        ++m_writes;
        m_lastInformation = information;
        return m_succeeds;
    }

    bool CreateMiniDump(EXCEPTION_POINTERS *information) override
    {
        return CreateMiniDump(GetDumpFileName(), information);
    }

    int m_names = 0;
    int m_writes = 0;
    EXCEPTION_POINTERS *m_lastInformation = nullptr;

private:
    std::wstring m_prefix;
    bool m_succeeds;
};

inline std::string Narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

} // namespace CrashDumpTests
