#pragma once

#include "tools/PerformanceDataSession.h"

#include <windows.h>
#include <winperf.h>

#include <map>
#include <string>
#include <vector>

namespace CorvaneTools {
namespace Tools {

// An object's counter definitions and values, copied out of the data once every length and
// offset in it was found to lie inside the object.
struct CCheckedObject
{
    struct CInstance
    {
        // Empty for the object's own counter block, and for an instance known by its id alone.
        std::wstring name;
        // One per counter definition, in the same order.
        std::vector<ULONGLONG> values;
    };

    std::vector<PERF_COUNTER_DEFINITION> counters;
    bool hasInstances = false;
    // The object's own counter block length; 0 when it has instances.
    DWORD counterBlockLength = 0;
    // One unnamed entry when the object has no instances.
    std::vector<CInstance> instances;
};

// Reads performance data the way every consumer on the platform does: a query of the
// performance library through HKEY_PERFORMANCE_DATA, then a walk of the objects returned.
class CPerformanceDataReader
{
public:
    // Queries the library and closes its key, for a reader that asks once. Throws
    // std::runtime_error when the query fails.
    explicit CPerformanceDataReader(const std::wstring &valueName);
    // Queries within the session, which keeps the key open.
    CPerformanceDataReader(const CPerformanceDataSession &session, const std::wstring &valueName);

    const PERF_DATA_BLOCK &GetHeader() const;
    // Where the first object was found, from the start of the data.
    DWORD GetObjectsOffset() const;
    // The object whose name has this title index, or null.
    const PERF_OBJECT_TYPE *FindObject(DWORD titleIndex) const;
    std::vector<const PERF_OBJECT_TYPE *> GetObjects() const;

    static std::vector<const PERF_COUNTER_DEFINITION *> GetCounters(const PERF_OBJECT_TYPE &object);
    // The counter's value in an object without instances, or in one instance's block.
    static ULONGLONG GetValue(const PERF_COUNTER_DEFINITION &counter, const PERF_COUNTER_BLOCK &block);
    static const PERF_COUNTER_BLOCK &GetCounterBlock(const PERF_OBJECT_TYPE &object);

    // The installed names of title indexes, from the platform's counter-text lists.
    static std::map<DWORD, std::wstring> LoadCounterNames(const CPerformanceDataSession &session);
    // The title index of the counter set's object, as installed; false when not installed.
    static bool ReadFirstCounter(const std::wstring &application, DWORD &first);

    // The values of an object without instances as (title index, value), in the object's
    // order, every definition and value checked to lie inside the object; false when the
    // object has instances or does not hold together.
    static bool ReadCheckedValues(const PERF_OBJECT_TYPE &object, std::vector<std::pair<DWORD, ULONGLONG>> &values);
    // Every counter definition, instance definition, instance name and counter block of the
    // object checked to lie inside it, and each counter's value inside its block; counters of
    // 4 and 8 bytes only. False when the object does not hold together.
    static bool ReadChecked(const PERF_OBJECT_TYPE &object, CCheckedObject &checked);

private:
    bool ObjectsFitAt(unsigned long long offset, unsigned long long end) const;

    std::vector<BYTE> m_data;
    DWORD m_returned;
    DWORD m_objectsOffset;
};

} // namespace Tools
} // namespace CorvaneTools
