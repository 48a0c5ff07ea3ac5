#pragma once

#include "tools/CounterPath.h"
#include "tools/CounterSetIndexes.h"
#include "tools/PerformanceDataReader.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace CorvaneTools {
namespace Tools {

// The columns of a sampling run: the counters its paths name, found among the installed
// names of the counter set, then fixed by the first sample, which gives each wildcard its
// instances.
class CSampleColumns
{
public:
    typedef std::vector<std::optional<ULONGLONG>> Row;

    CSampleColumns(const CCounterSetIndexes &set, const std::map<DWORD, std::wstring> &names,
                   const std::wstring &computer);

    // Without paths, every counter of the service object. An empty text when each path
    // names a counter of the set on this computer, else what is wrong with the first that
    // does not.
    std::string Resolve(const std::vector<CCounterPath> &paths);
    // The title indexes of the objects named, each once, in the order first named.
    std::vector<DWORD> GetObjects() const;

    // An empty text when every object named is in the first sample and each wildcard
    // finds an instance there, else what is missing.
    std::string Expand(const CPerformanceDataReader &first, const std::wstring &query);
    // "\\<computer>\<object>[(<instance>)]\<counter>" per column.
    std::vector<std::wstring> GetHeaders() const;
    size_t GetNumColumns() const;
    // Empty cells where an object, counter or instance is not in the sample.
    Row ValuesOf(const CPerformanceDataReader &reader) const;

private:
    struct CResolved
    {
        CCounterPath path;
        CCounterSetIndexes::CObject object;
        // Every counter of the object when not set.
        std::optional<DWORD> counter;
    };

    struct CColumn
    {
        DWORD object;
        DWORD counter;
        bool hasInstance;
        std::wstring instance;
    };

    std::string ResolveOne(const CCounterPath &path);
    void AddColumns(const CResolved &resolved, const CCheckedObject &checked);
    std::map<DWORD, CCheckedObject> ReadObjects(const CPerformanceDataReader &reader) const;
    std::wstring NameOf(DWORD index) const;

    const CCounterSetIndexes &m_set;
    const std::map<DWORD, std::wstring> &m_names;
    const std::wstring m_computer;
    std::vector<CResolved> m_resolved;
    std::vector<CColumn> m_columns;
};

} // namespace Tools
} // namespace CorvaneTools
