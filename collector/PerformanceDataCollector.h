#pragma once

#include "perfmon/ICollectPerformanceData.h"
#include "perfmon/PerformanceDataCollector.h"
#include "perfmon/PerformanceDataSchema.h"
#include "win32/sync/CriticalSection.h"

#include <memory>
#include <string>

namespace CorvaneTools {
namespace TessalyCounters {

// The counter DLL's collector: the service's schema built here in code, and nothing raised
// inside leaving it. Every failure goes to the debugger output instead.
//
// Open always succeeds: a provider whose Open fails is disabled for the whole machine
// until an administrator intervenes ("Implementing OpenPerformanceData"). What is missing
// at Open (the installed first title index, the block) is looked up again at each collect,
// once, until it is found; each reason it is still missing is reported once.
//
// The performance library may call from several threads at once (it does under Wine, with
// every query opening and closing), so the calls take turns, and opens are counted: the
// first opens, the last close closes, and a collect between any open and its close is
// served whichever thread made them.
class CPerformanceDataCollector : public CorvaneTools::PerfMon::ICollectPerformanceData
{
public:
    // Builds the schema; touches neither the registry nor any kernel object.
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
    // One attempt at the installed registration; false while it is missing.
    bool FindRegistration(const wchar_t *method);
    void ReportBlockError(const wchar_t *method);
    void ReportOnce(const wchar_t *method, const std::wstring &what);

    const std::wstring m_applicationName;
    CorvaneTools::PerfMon::CPerformanceDataSchema m_schema;
    std::unique_ptr<CorvaneTools::PerfMon::CPerformanceDataCollector> m_collector;
    CorvaneTools::Win32::CCriticalSection m_calls;
    DWORD m_opens;
    // The last reason reported, so that a lasting one is said once.
    std::wstring m_reported;
};

// Null, with the reason written to the debugger output, when the collector cannot be made.
CorvaneTools::PerfMon::ICollectPerformanceData *CreatePerformanceDataCollector();

#if defined(TESSALY_TEST_BUILD)
// Test builds fault inside an export on request.
void FaultInExportIfAsked(const wchar_t *valueName);
#endif

} // namespace TessalyCounters
} // namespace CorvaneTools
