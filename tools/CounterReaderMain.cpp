// Prints the counter set's objects as the platform's performance library returns them to
// any reader:
//   TessalyCounterReader [/query:<value name>] [/app:<counter set>] [/details]
// The service object first, one line per counter, "<name>\t<value>"; with /details also
// the object's and each counter's definition fields as key=value. Then, where the data has
// it, an empty line and the process connections object: its name, a line "Instance" and
// its counters' names, and a line per instance, "<name>" and its values, tab-separated,
// the instances with the most connections first, then by name. The library is asked for
// the two objects by their title indexes (the counter set's "First Counter" and the one
// the schema puts after the service object's counters, as decimal text, blank-separated),
// unless /query names another value, such as Global. An installation without the second
// object prints the first alone. Exit codes: 0 printed, 1 the service object is not in the
// data or an object does not hold together, 2 the counters are not installed or the query
// failed, 3 bad arguments.
//
// Or samples counters, in the CSV format of the platform's command-line sampler:
//   TessalyCounterReader [/si:<[[hh:]mm:]ss>] [/sc:<count>] [<counter path> ...]
//                        [/o:<file> [/y]] [/query:<value name>] [/app:<counter set>]
// given /si, /sc or a path. /si is the interval, whole seconds from 1 to 4294967 (0 and
// fractions are refused), 1 by default; /sc the number of samples, 1 to 4294967295;
// without /sc it samples until Ctrl+C (or Ctrl+Break) and then ends with exit code 0 after
// the rows so far. The first sample is taken at once. Rows go to standard output, or to a
// new file /o:<file>; an existing file is refused unless /y is given. A counter path is
// [\\<computer>]\<object>\<counter>, or \<object>(<instance>)\<counter> for an object with
// instances, (*) for each of its instances; names match the installed ones in any case,
// and the computer must be this one. The columns are the paths in the order given, each
// wildcard the instances of the first sample in its order; without paths, every counter
// of the service object. The library is asked for the objects the paths name, by title
// index, unless /query names another value. Each object named must be in the first sample,
// and each wildcard find an instance there (exit code 1 otherwise); in a later sample a
// missing object, counter or instance is an empty cell, and sampling goes on. Exit codes as
// above, 3 also for a path that names no counter of the set, and 4 when the output file
// exists or cannot be written.
#include "counters/ProcessConnectionsSchema.h"
#include "tools/CounterSampler.h"
#include "tools/CounterSetIndexes.h"
#include "tools/InstanceTable.h"
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
    "       TessalyCounterReader [/si:<[[hh:]mm:]ss>] [/sc:<count>] [<counter path> ...] [/o:<file> [/y]]\n"
    "                            [/query:<value name>] [/app:<counter set>]\n"
    "       (sampling needs /si, /sc or a path; a path is [\\\\<computer>]\\<object>[(<instance>|*)]\\<counter>)\n";

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
        else if (!argument.empty() && argument[0] != L'/')
        {
            arguments.sampler.paths.emplace_back();
            if (!CCounterPath::Parse(argument, arguments.sampler.paths.back()))
            {
                error = "Bad counter path " + Quoted(argument) + ": give [\\\\<computer>]\\<object>\\<counter> or "
                        "\\<object>(<instance>)\\<counter>, * for every instance";
            }
            arguments.sampling = true;
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

// False, with a message, when the object does not hold together.
bool ReadCheckedOrSay(const PERF_OBJECT_TYPE &object, const std::wstring &query, CCheckedObject &checked)
{
    if (CPerformanceDataReader::ReadChecked(object, checked))
    {
        return true;
    }
    std::fprintf(stderr, "The object with title index %lu in the data of \"%ls\" does not hold together\n",
                 object.ObjectNameTitleIndex, query.c_str());
    return false;
}

int PrintOnce(const CSamplingOptions &options, bool details)
{
    DWORD first = 0;
    if (!CPerformanceDataReader::ReadFirstCounter(options.application, first))
    {
        std::fprintf(stderr, "The counters of \"%ls\" are not installed\n", options.application.c_str());
        return 2;
    }
    const CCounterSetIndexes::CObject processes = CCounterSetIndexes(first).GetProcessConnectionsObject();
    // One close at the end for the query and the names both.
    const CPerformanceDataSession session;
    const std::wstring query = options.QueryFor({first, processes.titleIndex});
    const CPerformanceDataReader reader(session, query);
    const PERF_OBJECT_TYPE *object = reader.FindObject(first);
    if (!object)
    {
        std::fprintf(stderr, "No object with title index %lu in the data of \"%ls\" (%lu objects)\n", first,
                     query.c_str(), reader.GetHeader().NumObjectTypes);
        return 1;
    }
    // An installation from before the process connections object serves the first alone.
    const PERF_OBJECT_TYPE *processObject = reader.FindObject(processes.titleIndex);
    CCheckedObject checked;
    CCheckedObject processChecked;
    if (!ReadCheckedOrSay(*object, query, checked) ||
        (processObject && !ReadCheckedOrSay(*processObject, query, processChecked)))
    {
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
    if (processObject)
    {
        std::printf("\n%ls", FormatInstanceTable(NameOf(names, processes.titleIndex), processChecked, names,
                                                 processes.CounterIndex(Counters::ProcessConnections))
                                 .c_str());
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
