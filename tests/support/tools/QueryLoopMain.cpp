// Queries the performance library for one object again and again, as a monitoring reader
// does, and says how the queries went:
//   TessalyQueryLoop <object title index> <queries> [/stop:<event name>]
// With /stop it queries until the named event is set, however many queries that takes.
// Prints "<time> <kind>" whenever the kind of answer changes (time in milliseconds since
// 1601, the clock of every process here; kinds: published, zeros, absent, failed), then
//   queries <n> failed <n> absent <n> zeros <n> highhalf <n> slowest_us <n> handles <first> <last>
// Exit code 0 when every query returned the object, 1 otherwise, 2 for bad arguments.
#include "tests/support/ProcessFigures.h"
#include "tools/PerformanceDataReader.h"

#include <cstdio>
#include <cwchar>
#include <stdexcept>
#include <string>

using namespace CorvaneTools::Tools;

namespace {

enum class Kind
{
    None,
    Published,
    Zeros,
    Absent,
    Failed
};

const char *Name(Kind kind)
{
    switch (kind)
    {
    case Kind::Published:
        return "published";
    case Kind::Zeros:
        return "zeros";
    case Kind::Absent:
        return "absent";
    case Kind::Failed:
        return "failed";
    default:
        return "none";
    }
}

ULONGLONG Now()
{
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return ((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10000;
}

struct STally
{
    unsigned long queries = 0, failed = 0, absent = 0, zeros = 0, highHalf = 0;
    ULONGLONG slowestUs = 0;
};

Kind Query(const std::wstring &query, DWORD object, STally &tally)
{
    try
    {
        const CPerformanceDataReader reader(query);
        const PERF_OBJECT_TYPE *found = reader.FindObject(object);
        std::vector<std::pair<DWORD, ULONGLONG>> values;
        if (!found || !CPerformanceDataReader::ReadCheckedValues(*found, values) || values.empty())
        {
            ++tally.absent;
            return Kind::Absent;
        }
        bool zeros = true;
        for (const auto &value : values)
        {
            zeros = zeros && value.second == 0;
            // Every value is a count of 32 bits at most; more is a torn or foreign store.
            tally.highHalf += (value.second >> 32) != 0 ? 1 : 0;
        }
        tally.zeros += zeros ? 1 : 0;
        return zeros ? Kind::Zeros : Kind::Published;
    }
    catch (const std::runtime_error &)
    {
        ++tally.failed;
        return Kind::Failed;
    }
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3)
    {
        std::fprintf(stderr, "Usage: TessalyQueryLoop <object title index> <queries> [/stop:<event name>]\n");
        return 2;
    }
    const DWORD object = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
    const unsigned long queries = std::wcstoul(argv[2], nullptr, 10);
    HANDLE stop = nullptr;
    if (argc > 3 && std::wcsncmp(argv[3], L"/stop:", 6) == 0)
    {
        stop = ::OpenEventW(SYNCHRONIZE, FALSE, argv[3] + 6);
        if (!stop)
        {
            std::fprintf(stderr, "No event %ls (%lu)\n", argv[3] + 6, ::GetLastError());
            return 2;
        }
    }
    const std::wstring query = std::to_wstring(object);
    STally tally;
    LARGE_INTEGER frequency, before, after;
    ::QueryPerformanceFrequency(&frequency);
    Kind last = Kind::None;
    const DWORD handlesBefore = TestSupport::CountHandles(::GetCurrentProcess());
    while (stop ? ::WaitForSingleObject(stop, 0) == WAIT_TIMEOUT : tally.queries < queries)
    {
        ::QueryPerformanceCounter(&before);
        const Kind kind = Query(query, object, tally);
        ::QueryPerformanceCounter(&after);
        ++tally.queries;
        const ULONGLONG us = static_cast<ULONGLONG>(after.QuadPart - before.QuadPart) * 1000000 / frequency.QuadPart;
        tally.slowestUs = us > tally.slowestUs ? us : tally.slowestUs;
        if (kind != last)
        {
            std::printf("%llu %s\n", Now(), Name(kind));
            last = kind;
        }
    }
    std::printf("queries %lu failed %lu absent %lu zeros %lu highhalf %lu slowest_us %llu handles %lu %lu\n",
                tally.queries, tally.failed, tally.absent, tally.zeros, tally.highHalf, tally.slowestUs, handlesBefore,
                TestSupport::CountHandles(::GetCurrentProcess()));
    if (stop)
    {
        ::CloseHandle(stop);
    }
    return tally.failed == 0 && tally.absent == 0 ? 0 : 1;
}
