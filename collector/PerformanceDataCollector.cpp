#include "collector/PerformanceDataCollector.h"

#include "counters/TcpCounterSchema.h"
#include "perfmon/PerformanceCounterInstaller.h"
#include "perfmon/PerformanceDataBlockNames.h"
#include "win32/crash/SEHException.h"
#include "win32/crash/SEHTranslator.h"
#include "win32/errors/Exception.h"
#include "win32/handles/KernelObjectName.h"
#include "win32/sync/CriticalSection.h"
#include "win32/sync/Optex.h"

namespace CorvaneTools {
namespace TessalyCounters {

using Counters::BuildTcpCounterSchema;
using Counters::TcpCounterSetName;
using CorvaneTools::Win32::CException;
using CorvaneTools::Win32::CSEHException;
using CorvaneTools::Win32::CSEHTranslator;

namespace {

void Report(const wchar_t *method, const std::wstring &where, const std::wstring &message)
{
    const std::wstring line = std::wstring(method) + L" -  Exception: " + where + L" - " + message;
    ::OutputDebugStringW(line.c_str());
}

void ReportUnexpected(const wchar_t *method)
{
    ::OutputDebugStringW((std::wstring(method) + L" - Unexpected exception").c_str());
}

// Runs an action with hardware faults turned into exceptions, and reports whatever it
// throws instead of letting it out. False when it failed.
template <typename Action>
bool Guarded(const wchar_t *method, Action action)
{
    try
    {
        CSEHTranslator translator(&CSEHException::Translate);
        action();
        return true;
    }
    catch (const CException &e)
    {
        Report(method, e.GetWhere(), e.GetMessage());
    }
    catch (const CSEHException &e)
    {
        Report(method, e.GetWhere(), e.GetMessage());
    }
    catch (...)
    {
        ReportUnexpected(method);
    }
    return false;
}

std::wstring ApplicationName()
{
#if defined(TESSALY_TEST_BUILD)
    // Test builds serve a counter set of the test's choosing, so that tests running side by
    // side never share the installed one.
    wchar_t name[256];
    const DWORD length = ::GetEnvironmentVariableW(L"TESSALY_TEST_COUNTER_SET", name, 256);
    if (length > 0 && length < 256)
    {
        return name;
    }
#endif
    return TcpCounterSetName;
}

#if defined(TESSALY_TEST_BUILD)
// Test builds fault on request, to show that a fault never leaves the DLL.
void FaultIfAsked(const wchar_t *valueName, const wchar_t *request)
{
    if (valueName && ::lstrcmpW(valueName, request) == 0)
    {
        // Through a volatile pointer, so that the compiler emits a real store and not a trap.
        volatile int *volatile target = nullptr;
        *target = 0;
    }
}

// Test builds also hold the block's lock inside a collect on request: for ever, to be
// killed there, or for longer than any other reader waits for it. The lock is the
// writer's; a reader only opens it.
void HoldLockIfAsked(const wchar_t *valueName, const std::wstring &applicationName)
{
    using CorvaneTools::PerfMon::CPerformanceDataBlock;
    const bool forever = valueName && ::lstrcmpW(valueName, L"StopInCollect") == 0;
    if (!forever && !(valueName && ::lstrcmpW(valueName, L"HoldInCollect") == 0))
    {
        return;
    }
    const CorvaneTools::Win32::CUnqualifiedName name(
        CorvaneTools::PerfMon::CPerformanceDataBlockNames::OfCounterSet(applicationName).Lock());
    CorvaneTools::Win32::COptex lock(name, nullptr, 0, CorvaneTools::Win32::OpenOnly);
    lock.Enter();
    // Long enough for a reader started after it to meet it even on a loaded machine.
    ::Sleep(forever ? INFINITE : 10 * CPerformanceDataBlock::LockTimeoutMs);
    lock.Leave();
}
#endif

} // namespace

CPerformanceDataCollector::CPerformanceDataCollector(const std::wstring &applicationName)
    : m_applicationName(applicationName), m_schema(L"009"), m_opens(0)
{
    BuildTcpCounterSchema(m_schema);
    m_schema.ValidateSchema();
}

CPerformanceDataCollector::~CPerformanceDataCollector() = default;

bool CPerformanceDataCollector::FindRegistration(const wchar_t *method)
{
    if (m_collector)
    {
        return true;
    }
    std::wstring why;
    try
    {
        const DWORD first = CorvaneTools::PerfMon::CPerformanceCounterInstaller().FirstCounterIndex(m_applicationName);
        std::unique_ptr<CorvaneTools::PerfMon::CPerformanceDataCollector> collector(
            new CorvaneTools::PerfMon::CPerformanceDataCollector(
                CorvaneTools::PerfMon::CPerformanceDataBlockNames::CounterSetBlock(m_applicationName), m_schema,
                first));
        // Asked for only while open, so it is opened at once.
        collector->Open(nullptr);
        m_collector = std::move(collector);
    }
    catch (const CException &e)
    {
        why = e.GetWhere() + L" - " + e.GetMessage();
    }
    ReportOnce(method, why);
    return m_collector != nullptr;
}

void CPerformanceDataCollector::ReportBlockError(const wchar_t *method)
{
    ReportOnce(method, m_collector->GetBlockError());
}

void CPerformanceDataCollector::ReportOnce(const wchar_t *method, const std::wstring &what)
{
    if (what == m_reported)
    {
        return;
    }
    m_reported = what;
    if (!what.empty())
    {
        ::OutputDebugStringW((std::wstring(method) + L" -  Exception: " + what).c_str());
    }
}

void CPerformanceDataCollector::Open(const wchar_t *)
{
    CorvaneTools::Win32::ICriticalSection::Owner turn(m_calls);
    if (m_opens++ > 0)
    {
        return;
    }
    const wchar_t method[] = L"CPerformanceDataCollector::Open()";
    Guarded(method, [&] {
        if (FindRegistration(method))
        {
            ReportBlockError(method);
        }
    });
}

void CPerformanceDataCollector::Close()
{
    CorvaneTools::Win32::ICriticalSection::Owner turn(m_calls);
    if (m_opens > 1)
    {
        --m_opens;
        return;
    }
    Guarded(L"CPerformanceDataCollector::Close()", [&] {
        if (m_opens == 0)
        {
            throw CException(L"CPerformanceDataCollector::Close()", L"Error: collector has not been opened");
        }
        m_opens = 0;
        // Made again at the next open, so that counters installed anew are found anew.
        std::unique_ptr<CorvaneTools::PerfMon::CPerformanceDataCollector> collector(std::move(m_collector));
        if (collector)
        {
            collector->Close();
        }
    });
}

bool CPerformanceDataCollector::Collect(const wchar_t *valueName, void *&data, DWORD &totalBytes,
                                        DWORD &numObjectTypes)
{
    CorvaneTools::Win32::ICriticalSection::Owner turn(m_calls);
    void *const start = data;
    bool fitted = true;
    bool served = false;
    const wchar_t method[] = L"CPerformanceDataCollector::Collect()";
    const bool collected = Guarded(method, [&] {
        if (m_opens == 0)
        {
            throw CException(method, L"Error: collector has not been opened");
        }
#if defined(TESSALY_TEST_BUILD)
        FaultIfAsked(valueName, L"FaultInCollect");
        HoldLockIfAsked(valueName, m_applicationName);
#endif
        if (FindRegistration(method))
        {
            fitted = m_collector->Collect(valueName, data, totalBytes, numObjectTypes);
            served = true;
            ReportBlockError(method);
        }
    });
    if (!collected || !served)
    {
        data = start;
        totalBytes = 0;
        numObjectTypes = 0;
        return true;
    }
    return fitted;
}

CorvaneTools::PerfMon::ICollectPerformanceData *CreatePerformanceDataCollector()
{
    const wchar_t method[] = L"CreatePerformanceDataCollector()";
    CorvaneTools::PerfMon::ICollectPerformanceData *collector = nullptr;
    Guarded(method, [&] { collector = new CPerformanceDataCollector(ApplicationName()); });
    return collector;
}

#if defined(TESSALY_TEST_BUILD)
void FaultInExportIfAsked(const wchar_t *valueName)
{
    FaultIfAsked(valueName, L"FaultInExport");
}
#endif

} // namespace TessalyCounters
} // namespace CorvaneTools
