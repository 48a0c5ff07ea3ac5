#include "tools/SampleColumns.h"

#include "tools/CsvSampleWriter.h"

namespace CorvaneTools {
namespace Tools {

namespace {

std::string Quoted(const std::wstring &text)
{
    return "\"" + std::string(text.begin(), text.end()) + "\"";
}

// The counter's place among the object's definitions, or nothing.
std::optional<size_t> CounterAt(const CCheckedObject &checked, DWORD counter)
{
    for (size_t k = 0; k < checked.counters.size(); ++k)
    {
        if (checked.counters[k].CounterNameTitleIndex == counter)
        {
            return k;
        }
    }
    return std::nullopt;
}

const CCheckedObject::CInstance *InstanceNamed(const CCheckedObject &checked, const std::wstring &name)
{
    for (const CCheckedObject::CInstance &instance : checked.instances)
    {
        if (SameName(instance.name, name))
        {
            return &instance;
        }
    }
    return nullptr;
}

} // namespace

CSampleColumns::CSampleColumns(const CCounterSetIndexes &set, const std::map<DWORD, std::wstring> &names,
                               const std::wstring &computer)
    : m_set(set), m_names(names), m_computer(computer)
{
}

std::string CSampleColumns::Resolve(const std::vector<CCounterPath> &paths)
{
    m_resolved.clear();
    if (paths.empty())
    {
        m_resolved.push_back({CCounterPath(), m_set.GetServiceObject(), std::nullopt});
    }
    for (const CCounterPath &path : paths)
    {
        const std::string error = ResolveOne(path);
        if (!error.empty())
        {
            return error;
        }
    }
    return std::string();
}

std::string CSampleColumns::ResolveOne(const CCounterPath &path)
{
    if (!path.computer.empty() && !SameName(path.computer, m_computer))
    {
        return "The counter path " + Quoted(path.text) + " names another computer than this one, " +
               Quoted(m_computer);
    }
    for (const CCounterSetIndexes::CObject &object : m_set.GetObjects())
    {
        if (!SameName(NameOf(object.titleIndex), path.object))
        {
            continue;
        }
        for (DWORD k = 0; k < object.numCounters; ++k)
        {
            if (!SameName(NameOf(object.CounterIndex(k)), path.counter))
            {
                continue;
            }
            if (path.hasInstance != object.hasInstances)
            {
                return "The object of the counter path " + Quoted(path.text) +
                       (object.hasInstances ? " has instances: give one, or * for every one, in parentheses"
                                            : " has no instances");
            }
            m_resolved.push_back({path, object, object.CounterIndex(k)});
            return std::string();
        }
        return "Unknown counter in the counter path " + Quoted(path.text);
    }
    return "Unknown object in the counter path " + Quoted(path.text);
}

std::vector<DWORD> CSampleColumns::GetObjects() const
{
    std::vector<DWORD> objects;
    for (const CResolved &resolved : m_resolved)
    {
        bool named = false;
        for (const DWORD object : objects)
        {
            named = named || object == resolved.object.titleIndex;
        }
        if (!named)
        {
            objects.push_back(resolved.object.titleIndex);
        }
    }
    return objects;
}

std::string CSampleColumns::Expand(const CPerformanceDataReader &first, const std::wstring &query)
{
    m_columns.clear();
    const std::map<DWORD, CCheckedObject> objects = ReadObjects(first);
    for (const CResolved &resolved : m_resolved)
    {
        const auto found = objects.find(resolved.object.titleIndex);
        if (found == objects.end())
        {
            return "No object with title index " + std::to_string(resolved.object.titleIndex) +
                   " in the data of " + Quoted(query);
        }
        if (resolved.path.IsWildcard() && (!found->second.hasInstances || found->second.instances.empty()))
        {
            return "No instance of " + Quoted(NameOf(resolved.object.titleIndex)) +
                   " in the first sample for the counter path " + Quoted(resolved.path.text);
        }
        AddColumns(resolved, found->second);
    }
    return std::string();
}

void CSampleColumns::AddColumns(const CResolved &resolved, const CCheckedObject &checked)
{
    const DWORD object = resolved.object.titleIndex;
    if (!resolved.counter)
    {
        for (const PERF_COUNTER_DEFINITION &counter : checked.counters)
        {
            m_columns.push_back({object, counter.CounterNameTitleIndex, false, std::wstring()});
        }
    }
    else if (resolved.path.IsWildcard())
    {
        for (const CCheckedObject::CInstance &instance : checked.instances)
        {
            m_columns.push_back({object, *resolved.counter, true, instance.name});
        }
    }
    else
    {
        // The instance's own spelling where the sample has it.
        const CCheckedObject::CInstance *instance = InstanceNamed(checked, resolved.path.instance);
        m_columns.push_back({object, *resolved.counter, resolved.path.hasInstance,
                             instance ? instance->name : resolved.path.instance});
    }
}

std::vector<std::wstring> CSampleColumns::GetHeaders() const
{
    std::vector<std::wstring> headers;
    for (const CColumn &column : m_columns)
    {
        headers.push_back(column.hasInstance ? CCsvSampleWriter::FormatPath(m_computer, NameOf(column.object),
                                                                            column.instance, NameOf(column.counter))
                                             : CCsvSampleWriter::FormatPath(m_computer, NameOf(column.object),
                                                                            NameOf(column.counter)));
    }
    return headers;
}

size_t CSampleColumns::GetNumColumns() const
{
    return m_columns.size();
}

CSampleColumns::Row CSampleColumns::ValuesOf(const CPerformanceDataReader &reader) const
{
    Row row(m_columns.size());
    const std::map<DWORD, CCheckedObject> objects = ReadObjects(reader);
    for (size_t c = 0; c < m_columns.size(); ++c)
    {
        const CColumn &column = m_columns[c];
        const auto found = objects.find(column.object);
        const std::optional<size_t> k =
            found == objects.end() ? std::nullopt : CounterAt(found->second, column.counter);
        if (!k || found->second.hasInstances != column.hasInstance)
        {
            continue;
        }
        const CCheckedObject::CInstance *instance =
            column.hasInstance ? InstanceNamed(found->second, column.instance) : &found->second.instances[0];
        if (instance)
        {
            row[c] = instance->values[*k];
        }
    }
    return row;
}

std::map<DWORD, CCheckedObject> CSampleColumns::ReadObjects(const CPerformanceDataReader &reader) const
{
    std::map<DWORD, CCheckedObject> objects;
    for (const DWORD index : GetObjects())
    {
        const PERF_OBJECT_TYPE *object = reader.FindObject(index);
        CCheckedObject checked;
        if (object && CPerformanceDataReader::ReadChecked(*object, checked))
        {
            objects[index] = checked;
        }
    }
    return objects;
}

std::wstring CSampleColumns::NameOf(DWORD index) const
{
    const auto found = m_names.find(index);
    return found == m_names.end() ? L"#" + std::to_wstring(index) : found->second;
}

} // namespace Tools
} // namespace CorvaneTools
