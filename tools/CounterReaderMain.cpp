// Prints the counters of one performance object as the platform's performance library
// returns them to any reader:
//   TessalyCounterReader [/query:<value name>] [/app:<counter set>] [/details]
// One line per counter, "<name>\t<value>"; with /details also the object's and each
// counter's definition fields as key=value. The library is asked for the object alone, by
// its title index (the counter set's "First Counter", as decimal text), unless /query names
// another value, such as Global. Exit codes: 0 printed, 1 the object is not in the data or
// does not hold together, 2 the counters are not installed or the query failed, 3 bad
// arguments.
//
// Or samples them, in the CSV format of the platform's command-line sampler:
//   TessalyCounterReader /si:<[[hh:]mm:]ss> | /sc:<count> [/si:...] [/sc:...]
//                        [/o:<file> [/y]] [/query:<value name>] [/app:<counter set>]
// /si is the interval, whole seconds from 1 to 4294967 (0 and fractions are refused), 1 by
// default; /sc the number of samples, 1 to 4294967295; without /sc it samples until Ctrl+C
// (or Ctrl+Break) and then ends with exit code 0 after the rows so far. The first sample is
// taken at once. Rows go to standard output, or to a new file /o:<file>; an existing file
// is refused unless /y is given. The columns are the counters of the object in the first
// sample, so the object must be in it (exit code 1 otherwise); a later sample without the
// object is a row of empty cells, and sampling goes on. Exit codes as above, and 4 when the
// output file exists or cannot be written.
#include "tools/CounterSampler.h"
#include "tools/PerformanceDataReader.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

namespace CorvaneTools {
namespace Tools {

namespace {

std::wstring NameOf(const std::map<DWORD, std::wstring> &names, DWORD index)
{
    const auto found = names.find(index);
    return found == names.end() ? L"#" + std::to_wstring(index) : found->second;
}

bool HeaderTailIsZero(const PERF_OBJECT_TYPE &object)
{
    const BYTE *bytes = reinterpret_cast<const BYTE *>(&object);
    for (size_t at = offsetof(PERF_OBJECT_TYPE, CodePage); at < sizeof(PERF_OBJECT_TYPE); ++at)
    {
        if (bytes[at] != 0)
        {
            return false;
        }
    }
    return true;
}

void PrintDetails(const CPerformanceDataReader &reader, const PERF_OBJECT_TYPE &object, DWORD counterBlockLength)
{
    std::printf("block\tNumObjectTypes=%lu\tTotalByteLength=%lu\tHeaderLength=%lu\tObjectsOffset=%lu\n",
                reader.GetHeader().NumObjectTypes, reader.GetHeader().TotalByteLength,
                reader.GetHeader().HeaderLength, reader.GetObjectsOffset());
    std::printf("object\tTitleIndex=%lu\tHelpIndex=%lu\tTotalByteLength=%lu\tDefinitionLength=%lu\tHeaderLength=%lu"
                "\tDetailLevel=%lu\tNumCounters=%lu\tDefaultCounter=%ld\tNumInstances=%ld\tTailZero=%d"
                "\tCounterBlockLength=%lu\n",
                object.ObjectNameTitleIndex, object.ObjectHelpTitleIndex, object.TotalByteLength,
                object.DefinitionLength, object.HeaderLength, object.DetailLevel, object.NumCounters,
                object.DefaultCounter, object.NumInstances, HeaderTailIsZero(object) ? 1 : 0, counterBlockLength);
}

struct CArguments
{
    bool details = false;
    bool sampling = false;
    CSamplingOptions sampler;
};

const char *const s_usage =
    "Usage: TessalyCounterReader [/query:<value name>] [/app:<counter set>] [/details]\n"
    "       TessalyCounterReader /si:<[[hh:]mm:]ss> | /sc:<count> [/o:<file> [/y]] [/query:<value name>]\n"
    "                            [/app:<counter set>]\n";

// Digits only, no sign or space, at most the limit.
bool ParseNumber(const std::wstring &text, unsigned long long limit, unsigned long long &value)
{
    if (text.empty() || text.size() > 12 || text.find_first_not_of(L"0123456789") != std::wstring::npos)
    {
        return false;
    }
    value = std::stoull(text);
    return value <= limit;
}

// "[[hh:]mm:]ss", in whole seconds; minutes and seconds after a colon below 60.
bool ParseInterval(const std::wstring &text, DWORD &seconds)
{
    std::vector<std::wstring> parts;
    for (size_t at = 0;;)
    {
        const size_t colon = text.find(L':', at);
        parts.push_back(text.substr(at, colon == std::wstring::npos ? std::wstring::npos : colon - at));
        if (colon == std::wstring::npos)
        {
            break;
        }
        at = colon + 1;
    }
    if (parts.size() > 3)
    {
        return false;
    }
    unsigned long long total = 0;
    for (size_t k = 0; k < parts.size(); ++k)
    {
        unsigned long long part = 0;
        if (!ParseNumber(parts[k], k == 0 ? 4294967ull : 59ull, part))
        {
            return false;
        }
        total = total * 60 + part;
    }
    seconds = static_cast<DWORD>(total);
    return total >= 1 && total <= 4294967ull;
}

std::string Quoted(const std::wstring &text)
{
    return "\"" + std::string(text.begin(), text.end()) + "\"";
}

// The sampling arguments; false when the argument is none of them. The error is left empty
// when the argument is good.
bool ParseSamplingArgument(const std::wstring &argument, CArguments &arguments, std::string &error)
{
    unsigned long long count = 0;
    if (argument.compare(0, 4, L"/si:") == 0)
    {
        if (!ParseInterval(argument.substr(4), arguments.sampler.intervalSeconds))
        {
            error = "Bad interval " + Quoted(argument.substr(4)) + ": give [[hh:]mm:]ss, whole seconds from 1 to 4294967";
        }
        arguments.sampling = true;
    }
    else if (argument.compare(0, 4, L"/sc:") == 0)
    {
        if (!ParseNumber(argument.substr(4), 4294967295ull, count) || count == 0)
        {
            error = "Bad sample count " + Quoted(argument.substr(4)) + ": give a whole number from 1 to 4294967295";
        }
        arguments.sampler.count = static_cast<DWORD>(count);
        arguments.sampling = true;
    }
    else if (argument == L"/o" || argument == L"/o:")
    {
        error = "/o needs a file name: /o:<file>";
    }
    else if (argument.compare(0, 3, L"/o:") == 0)
    {
        arguments.sampler.outputPath = argument.substr(3);
    }
    else if (argument == L"/y")
    {
        arguments.sampler.overwrite = true;
    }
    else
    {
        return false;
    }
    return true;
}

// An empty text when the arguments are good, else what is wrong with them.
std::string ParseArguments(int argc, wchar_t **argv, CArguments &arguments)
{
    for (int i = 1; i < argc; ++i)
    {
        const std::wstring argument = argv[i];
        std::string error;
        if (argument.compare(0, 7, L"/query:") == 0)
        {
            arguments.sampler.query = argument.substr(7);
        }
        else if (argument.compare(0, 5, L"/app:") == 0)
        {
            arguments.sampler.application = argument.substr(5);
        }
        else if (argument == L"/details")
        {
            arguments.details = true;
        }
        else if (!ParseSamplingArgument(argument, arguments, error))
        {
            return "Unknown argument: " + std::string(argument.begin(), argument.end());
        }
        if (!error.empty())
        {
            return error;
        }
    }
    if (arguments.sampling && arguments.details)
    {
        return "/details is for a single reading, not for sampling";
    }
    if (!arguments.sampling && (!arguments.sampler.outputPath.empty() || arguments.sampler.overwrite))
    {
        return "/o and /y are for sampling: give /si or /sc too";
    }
    return std::string();
}

void PrintCounters(const CCheckedObject &checked, const std::map<DWORD, std::wstring> &names, bool details)
{
    for (size_t k = 0; k < checked.counters.size(); ++k)
    {
        const PERF_COUNTER_DEFINITION &counter = checked.counters[k];
        if (details)
        {
            std::printf("counter\t%u\tTitleIndex=%lu\tHelpIndex=%lu\tType=0x%lX\tSize=%lu\tOffset=%lu\tDetailLevel=%lu"
                        "\tScale=%ld\tByteLength=%lu\t",
                        static_cast<unsigned>(k), counter.CounterNameTitleIndex, counter.CounterHelpTitleIndex,
                        counter.CounterType, counter.CounterSize, counter.CounterOffset, counter.DetailLevel,
                        counter.DefaultScale, counter.ByteLength);
        }
        std::printf("%ls\t%llu\n", NameOf(names, counter.CounterNameTitleIndex).c_str(),
                    checked.instances[0].values[k]);
    }
}

void PrintInstances(const CCheckedObject &checked, const std::map<DWORD, std::wstring> &names)
{
    for (const CCheckedObject::CInstance &instance : checked.instances)
    {
        for (size_t k = 0; k < checked.counters.size(); ++k)
        {
            std::printf("%ls[%ls]\t%llu\n", NameOf(names, checked.counters[k].CounterNameTitleIndex).c_str(),
                        instance.name.c_str(), instance.values[k]);
        }
    }
}

int PrintOnce(const CSamplingOptions &options, bool details)
{
    DWORD first = 0;
    if (!CPerformanceDataReader::ReadFirstCounter(options.application, first))
    {
        std::fprintf(stderr, "The counters of \"%ls\" are not installed\n", options.application.c_str());
        return 2;
    }
    // One close at the end for the query and the names both.
    const CPerformanceDataSession session;
    const std::wstring query = options.QueryFor(first);
    const CPerformanceDataReader reader(session, query);
    const PERF_OBJECT_TYPE *object = reader.FindObject(first);
    if (!object)
    {
        std::fprintf(stderr, "No object with title index %lu in the data of \"%ls\" (%lu objects)\n", first,
                     query.c_str(), reader.GetHeader().NumObjectTypes);
        return 1;
    }
    CCheckedObject checked;
    if (!CPerformanceDataReader::ReadChecked(*object, checked))
    {
        std::fprintf(stderr, "The object with title index %lu in the data of \"%ls\" does not hold together\n", first,
                     query.c_str());
        return 1;
    }
    const std::map<DWORD, std::wstring> names = CPerformanceDataReader::LoadCounterNames(session);
    if (details)
    {
        PrintDetails(reader, *object, checked.counterBlockLength);
    }
    if (object->NumInstances != PERF_NO_INSTANCES)
    {
        PrintInstances(checked, names);
    }
    else
    {
        PrintCounters(checked, names, details);
    }
    return 0;
}

int Run(int argc, wchar_t **argv)
{
    CArguments arguments;
    const std::string error = ParseArguments(argc, argv, arguments);
    if (!error.empty())
    {
        std::fprintf(stderr, "%s\n%s", error.c_str(), s_usage);
        return 3;
    }
    if (arguments.sampling)
    {
        return CCounterSampler(arguments.sampler).Run();
    }
    return PrintOnce(arguments.sampler, arguments.details);
}

} // namespace

} // namespace Tools
} // namespace CorvaneTools

int wmain(int argc, wchar_t **argv)
{
    try
    {
        return CorvaneTools::Tools::Run(argc, argv);
    }
    catch (const std::exception &e)
    {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }
}
