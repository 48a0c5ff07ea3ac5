#pragma once

#include "perfmon/ICollectPerformanceData.h"
#include "perfmon/PerformanceDataCollector.h"
#include "perfmon/PerformanceDataSchema.h"
#include "win32/CriticalSection.h"
#include "win32/SecurityDescriptor.h"

#include <memory>
#include <string>

// The counter DLL's collector: the service's schema built here in code, the block opened
// with a descriptor that lets every reader in, and nothing raised inside leaving it. Every
// failure goes to the debugger output instead.
//
// The performance library may call from several threads at once (it does under Wine, with
// every query opening and closing), so the calls take turns, and opens are counted: the
// first opens the block, the last close closes it, and a collect between any open and its
// close is served whichever thread made them.
class CPerformanceDataCollector : public CorvaneTools::PerfMon::ICollectPerformanceData
{
public:
    // Reads the installed first title index of the application; throws when there is none.
    explicit CPerformanceDataCollector(const std::wstring &applicationName);
    ~CPerformanceDataCollector() override;

    CPerformanceDataCollector(const CPerformanceDataCollector &) = delete;
    CPerformanceDataCollector &operator=(const CPerformanceDataCollector &) = delete;

    void Open(const wchar_t *deviceNames) override;
    void Close() override;
    // True also after a failure, which has been reported and collected nothing: 0 bytes,
    // 0 object types, the data pointer where it was.
    bool Collect(const wchar_t *valueName, void *&data, DWORD &totalBytes, DWORD &numObjectTypes) override;

private:
    const std::wstring m_applicationName;
    CorvaneTools::PerfMon::CPerformanceDataSchema m_schema;
    CorvaneTools::Win32::CSecurityDescriptorAllowAll m_descriptor;
    SECURITY_ATTRIBUTES m_securityAttributes;
    std::unique_ptr<CorvaneTools::PerfMon::CPerformanceDataCollector> m_collector;
    CorvaneTools::Win32::CCriticalSection m_calls;
    DWORD m_opens;
};

// Null, with the reason written to the debugger output, when the collector cannot be made
// (the counters not installed, above all).
CorvaneTools::PerfMon::ICollectPerformanceData *CreatePerformanceDataCollector();
