#include "perfmon/PerformanceDataRequest.h"

#include <cwchar>

namespace CorvaneTools {
namespace PerfMon {

namespace {

bool IsEverything(const wchar_t *valueName)
{
    if (!valueName)
    {
        return false;
    }
    // Letters, digits and blanks compare linguistically as they compare ignoring ASCII case,
    // so the common requests are told apart without the costly compare; other characters
    // (some of which it ignores) go through it.
    static const wchar_t global[] = L"global";
    bool same = true;
    size_t length = 0;
    for (; valueName[length]; ++length)
    {
        const wchar_t c = valueName[length];
        const bool upper = c >= L'A' && c <= L'Z';
        if (!(upper || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L' '))
        {
            return ::lstrcmpiW(valueName, L"Global") == 0;
        }
        same = same && length < 6 && (upper ? c - L'A' + L'a' : c) == global[length];
    }
    return same && length == 6;
}

} // namespace

CPerformanceDataRequest::CPerformanceDataRequest(const wchar_t *valueName)
    : m_list(valueName ? valueName : L""), m_everything(IsEverything(valueName))
{
}

bool CPerformanceDataRequest::Selects(const wchar_t *key, size_t keyLength) const
{
    if (m_everything)
    {
        return true;
    }
    for (const wchar_t *at = std::wcsstr(m_list, key); at; at = std::wcsstr(at + 1, key))
    {
        const wchar_t after = at[keyLength];
        if ((at == m_list || at[-1] == L' ') && (after == L'\0' || after == L' '))
        {
            return true;
        }
    }
    return false;
}

} // namespace PerfMon
} // namespace CorvaneTools
