#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace CorvaneTools {
namespace Tools {

// The title indexes of the TCP counter set's objects, as an installation numbers them:
// from the set's "First Counter", in the schema's order, each object a name and a help
// index and then each of its counters the same two.
class CCounterSetIndexes
{
public:
    struct CObject
    {
        std::wstring name;
        DWORD titleIndex;
        DWORD numCounters;
        bool hasInstances;

        DWORD CounterIndex(DWORD counter) const
        {
            return titleIndex + 2 + 2 * counter;
        }
    };

    explicit CCounterSetIndexes(DWORD first);

    const std::vector<CObject> &GetObjects() const;
    const CObject &GetServiceObject() const;
    const CObject &GetProcessConnectionsObject() const;

private:
    const CObject &Named(const wchar_t *name) const;

    std::vector<CObject> m_objects;
};

} // namespace Tools
} // namespace CorvaneTools
