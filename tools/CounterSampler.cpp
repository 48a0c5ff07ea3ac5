#include "tools/CounterSampler.h"

#include "tools/CsvSampleWriter.h"
#include "tools/PerformanceDataReader.h"
#include "tools/SampleColumns.h"
#include "win32/handles/UniqueOwners.h"

#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace CorvaneTools {
namespace Tools {

namespace {

// The console's stop request (Ctrl+C, Ctrl+Break, closing the console), turned into an
// event for the sampling loop. The handler runs on a thread of the platform's and only
// signals: the loop writes and ends on its own thread.
class CConsoleStopSignal
{
public:
    CConsoleStopSignal() : m_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        s_event = m_event.Get();
        ::SetConsoleCtrlHandler(&CConsoleStopSignal::Handler, TRUE);
    }

    ~CConsoleStopSignal()
    {
        ::SetConsoleCtrlHandler(&CConsoleStopSignal::Handler, FALSE);
        s_event = nullptr;
    }

    CConsoleStopSignal(const CConsoleStopSignal &) = delete;
    CConsoleStopSignal &operator=(const CConsoleStopSignal &) = delete;

    // True when asked to stop within the time; without an event it only waits.
    bool WaitFor(DWORD milliseconds) const
    {
        if (!m_event.IsValid())
        {
            ::Sleep(milliseconds);
            return false;
        }
        return ::WaitForSingleObject(m_event.Get(), milliseconds) == WAIT_OBJECT_0;
    }

private:
    static BOOL WINAPI Handler(DWORD type)
    {
        if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
        {
            return FALSE;
        }
        const HANDLE event = s_event;
        if (event)
        {
            ::SetEvent(event);
        }
        return TRUE;
    }

    static HANDLE volatile s_event;
    const CorvaneTools::Win32::CUniqueHandle m_event;
};

HANDLE volatile CConsoleStopSignal::s_event = nullptr;

std::wstring ComputerName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    return ::GetComputerNameW(name, &length) ? std::wstring(name, length) : std::wstring();
}

// A later sample: a failing query is one more row without values, not the end of the run.
CSampleColumns::Row Sample(const CPerformanceDataSession &session, const std::wstring &query,
                           const CSampleColumns &columns)
{
    try
    {
        const CPerformanceDataReader reader(session, query);
        return columns.ValuesOf(reader);
    }
    catch (const std::runtime_error &)
    {
        return CSampleColumns::Row(columns.GetNumColumns());
    }
}

void WriteLaterSamples(const CSamplingOptions &options, const CConsoleStopSignal &stop,
                       const CPerformanceDataSession &session, CCsvSampleWriter &writer, const std::wstring &query,
                       const CSampleColumns &columns)
{
    const ULONGLONG start = ::GetTickCount64();
    const ULONGLONG interval = 1000ull * options.intervalSeconds;
    for (ULONGLONG n = 1; options.count == 0 || n < options.count; ++n)
    {
        // Due times count from the start, so that the rows do not drift by the queries' cost.
        const ULONGLONG now = ::GetTickCount64();
        const ULONGLONG due = start + n * interval;
        if (stop.WaitFor(static_cast<DWORD>(due > now ? due - now : 0)))
        {
            return;
        }
        const CSampleColumns::Row row = Sample(session, query, columns);
        SYSTEMTIME time;
        ::GetLocalTime(&time);
        writer.WriteSample(time, row);
    }
}

} // namespace

CCounterSampler::CCounterSampler(const CSamplingOptions &options) : m_options(options)
{
}

int CCounterSampler::Run()
{
    // From the start, so that a Ctrl+C while the first sample is taken ends the run after it.
    const CConsoleStopSignal stop;
    DWORD first = 0;
    if (!CPerformanceDataReader::ReadFirstCounter(m_options.application, first))
    {
        std::fprintf(stderr, "The counters of \"%ls\" are not installed\n", m_options.application.c_str());
        return 2;
    }
    // Open for the whole run, so that the providers stay loaded between samples. Under Wine
    // the library opens, collects and closes every provider on each query all the same, so
    // no test there can see the difference.
    const CPerformanceDataSession session;
    const std::map<DWORD, std::wstring> names = CPerformanceDataReader::LoadCounterNames(session);
    const CCounterSetIndexes set(first);
    CSampleColumns columns(set, names, ComputerName());
    const std::string bad = columns.Resolve(m_options.paths);
    if (!bad.empty())
    {
        std::fprintf(stderr, "%s\n", bad.c_str());
        return 3;
    }
    const std::wstring query = m_options.QueryFor(columns.GetObjects());
    // The first query fixes the columns: the counters named, each wildcard with the
    // instances this sample has, in its order.
    const CPerformanceDataReader firstSample(session, query);
    SYSTEMTIME time;
    ::GetLocalTime(&time);
    const std::string missing = columns.Expand(firstSample, query);
    if (!missing.empty())
    {
        std::fprintf(stderr, "%s\n", missing.c_str());
        return 1;
    }
    try
    {
        std::unique_ptr<CSampleOutput> output(m_options.outputPath.empty()
                                                  ? new CSampleOutput()
                                                  : new CSampleOutput(m_options.outputPath, m_options.overwrite));
        CCsvSampleWriter writer(*output);
        TIME_ZONE_INFORMATION zone = {};
        ::GetTimeZoneInformation(&zone);
        writer.WriteHeader(zone, columns.GetHeaders());
        writer.WriteSample(time, columns.ValuesOf(firstSample));
        WriteLaterSamples(m_options, stop, session, writer, query, columns);
    }
    catch (const COutputError &e)
    {
        std::fprintf(stderr, "%s\n", e.what());
        return 4;
    }
    return 0;
}

} // namespace Tools
} // namespace CorvaneTools
