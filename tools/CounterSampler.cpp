#include "tools/CounterSampler.h"

#include "tools/CsvSampleWriter.h"
#include "tools/PerformanceDataReader.h"
#include "win32/handles/UniqueOwners.h"

#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace CorvaneTools {
namespace Tools {

namespace {

typedef std::vector<std::optional<ULONGLONG>> Row;

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

std::wstring NameOf(const std::map<DWORD, std::wstring> &names, DWORD index)
{
    const auto found = names.find(index);
    return found == names.end() ? L"#" + std::to_wstring(index) : found->second;
}

std::wstring ComputerName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    return ::GetComputerNameW(name, &length) ? std::wstring(name, length) : std::wstring();
}

// The columns' values in one query's data, each empty where the object or the counter is
// missing or the data does not hold together.
Row ValuesOf(const CPerformanceDataReader &reader, DWORD object, const std::vector<DWORD> &columns)
{
    Row row(columns.size());
    std::vector<std::pair<DWORD, ULONGLONG>> values;
    const PERF_OBJECT_TYPE *found = reader.FindObject(object);
    if (!found || !CPerformanceDataReader::ReadCheckedValues(*found, values))
    {
        return row;
    }
    for (size_t k = 0; k < columns.size(); ++k)
    {
        for (const auto &value : values)
        {
            if (value.first == columns[k])
            {
                row[k] = value.second;
                break;
            }
        }
    }
    return row;
}

// A later sample: a failing query is one more row without values, not the end of the run.
Row Sample(const CPerformanceDataSession &session, const std::wstring &query, DWORD object,
           const std::vector<DWORD> &columns)
{
    try
    {
        const CPerformanceDataReader reader(session, query);
        return ValuesOf(reader, object, columns);
    }
    catch (const std::runtime_error &)
    {
        return Row(columns.size());
    }
}

void WriteLaterSamples(const CSamplingOptions &options, const CConsoleStopSignal &stop,
                       const CPerformanceDataSession &session, CCsvSampleWriter &writer, DWORD object,
                       const std::vector<DWORD> &columns)
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
        const Row row = Sample(session, options.QueryFor(object), object, columns);
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
    DWORD object = 0;
    if (!CPerformanceDataReader::ReadFirstCounter(m_options.application, object))
    {
        std::fprintf(stderr, "The counters of \"%ls\" are not installed\n", m_options.application.c_str());
        return 2;
    }
    // Open for the whole run, so that the providers stay loaded between samples. Under Wine
    // the library opens, collects and closes every provider on each query all the same, so
    // no test there can see the difference.
    const CPerformanceDataSession session;
    const std::wstring query = m_options.QueryFor(object);
    // The first query fixes the columns: the counters the object has, in its order.
    const CPerformanceDataReader first(session, query);
    SYSTEMTIME time;
    ::GetLocalTime(&time);
    const PERF_OBJECT_TYPE *found = first.FindObject(object);
    std::vector<std::pair<DWORD, ULONGLONG>> values;
    if (!found || !CPerformanceDataReader::ReadCheckedValues(*found, values))
    {
        std::fprintf(stderr, "No object with title index %lu in the data of \"%ls\"\n", object, query.c_str());
        return 1;
    }
    const std::map<DWORD, std::wstring> names = CPerformanceDataReader::LoadCounterNames(session);
    std::vector<DWORD> columns;
    std::vector<std::wstring> counterNames;
    for (const auto &value : values)
    {
        columns.push_back(value.first);
        counterNames.push_back(NameOf(names, value.first));
    }
    try
    {
        std::unique_ptr<CSampleOutput> output(m_options.outputPath.empty()
                                                  ? new CSampleOutput()
                                                  : new CSampleOutput(m_options.outputPath, m_options.overwrite));
        CCsvSampleWriter writer(*output);
        TIME_ZONE_INFORMATION zone = {};
        ::GetTimeZoneInformation(&zone);
        writer.WriteHeader(zone, ComputerName(), NameOf(names, object), counterNames);
        writer.WriteSample(time, ValuesOf(first, object, columns));
        WriteLaterSamples(m_options, stop, session, writer, object, columns);
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
