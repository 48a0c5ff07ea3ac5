#include "tools/InstanceTable.h"

#include <algorithm>
#include <vector>

namespace CorvaneTools {
namespace Tools {

std::wstring FormatInstanceTable(const std::wstring &objectName, const CCheckedObject &checked,
                                 const std::map<DWORD, std::wstring> &names, DWORD orderCounter)
{
    std::wstring table = objectName + L"\nInstance";
    size_t order = checked.counters.size();
    for (size_t k = 0; k < checked.counters.size(); ++k)
    {
        const DWORD index = checked.counters[k].CounterNameTitleIndex;
        const auto name = names.find(index);
        table += L"\t" + (name == names.end() ? L"#" + std::to_wstring(index) : name->second);
        order = index == orderCounter ? k : order;
    }
    table += L"\n";
    std::vector<const CCheckedObject::CInstance *> instances;
    for (const CCheckedObject::CInstance &instance : checked.instances)
    {
        instances.push_back(&instance);
    }
    // Without the counter the order is by name alone.
    const auto value = [order](const CCheckedObject::CInstance *instance) {
        return order < instance->values.size() ? instance->values[order] : 0;
    };
    std::stable_sort(instances.begin(), instances.end(),
                     [&value](const CCheckedObject::CInstance *a, const CCheckedObject::CInstance *b) {
                         return value(a) != value(b) ? value(a) > value(b) : a->name < b->name;
                     });
    for (const CCheckedObject::CInstance *instance : instances)
    {
        table += instance->name;
        for (const ULONGLONG v : instance->values)
        {
            table += L"\t" + std::to_wstring(v);
        }
        table += L"\n";
    }
    return table;
}

} // namespace Tools
} // namespace CorvaneTools
