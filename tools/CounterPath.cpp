#include "tools/CounterPath.h"

#include <windows.h>

namespace CorvaneTools {
namespace Tools {

bool CCounterPath::Parse(const std::wstring &text, CCounterPath &path)
{
    path = CCounterPath();
    path.text = text;
    size_t at = 0;
    if (text.compare(0, 2, L"\\\\") == 0)
    {
        at = text.find(L'\\', 2);
        if (at == std::wstring::npos || at == 2)
        {
            return false;
        }
        path.computer = text.substr(2, at - 2);
    }
    // The counter is what follows the last backslash: no name of an object, instance or
    // counter holds one.
    const size_t last = text.rfind(L'\\');
    if (at >= text.size() || text[at] != L'\\' || last == at || last + 1 == text.size())
    {
        return false;
    }
    path.counter = text.substr(last + 1);
    std::wstring object = text.substr(at + 1, last - at - 1);
    // An instance's name may hold parentheses of its own: it runs from the first opening
    // one to the closing one that ends the object part.
    const size_t open = object.find(L'(');
    if (open != std::wstring::npos)
    {
        if (object.back() != L')' || open + 2 >= object.size())
        {
            return false;
        }
        path.hasInstance = true;
        path.instance = object.substr(open + 1, object.size() - open - 2);
        object.resize(open);
    }
    path.object = object;
    return !object.empty() && object.find(L')') == std::wstring::npos;
}

bool SameName(const std::wstring &a, const std::wstring &b)
{
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                  TRUE) == CSTR_EQUAL;
}

} // namespace Tools
} // namespace CorvaneTools
