#include "tests/support/loadperf/TitleLists.h"

#include <algorithm>

namespace TessalyTestSupport {

const wchar_t kFirstCounter[] = L"First Counter";
const wchar_t kLastCounter[] = L"Last Counter";
const wchar_t kFirstHelp[] = L"First Help";
const wchar_t kLastHelp[] = L"Last Help";
const wchar_t kCounter[] = L"Counter";
const wchar_t kHelp[] = L"Help";
const wchar_t kObjectList[] = L"Object List";

namespace {

void RaiseFromList(DWORD &highest, const TitleList &list)
{
    for (const auto &entry : list)
    {
        Raise(highest, TitleIndex(entry));
    }
}

// The performance library's own lists; on the platform they include the installed texts,
// under Wine they are fixed. Failure to read them is tolerated.
void RaiseFromPerformanceData(DWORD &highest, const wchar_t *name)
{
    std::vector<BYTE> buffer(64 * 1024);
    for (;;)
    {
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(buffer.size());
        const LONG result = ::RegQueryValueExW(HKEY_PERFORMANCE_DATA, name, nullptr, &type, buffer.data(), &size);
        if (result == ERROR_MORE_DATA && buffer.size() < 64 * 1024 * 1024)
        {
            // The size reported for this key is not reliable; grow until it fits.
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (result == ERROR_SUCCESS && size <= buffer.size())
        {
            TitleList list;
            TitleListFromMultiString(reinterpret_cast<const wchar_t *>(buffer.data()), size / sizeof(wchar_t), list);
            RaiseFromList(highest, list);
        }
        break;
    }
}

} // namespace

void Raise(DWORD &highest, DWORD index)
{
    highest = std::max(highest, index);
}

LONG ListLanguages(HKEY perflib, std::vector<std::wstring> &languages)
{
    LONG result = ListSubkeys(perflib, languages);
    CKey substitute;
    if (result != ERROR_SUCCESS || substitute.Open(kSubstituteListsPath, KEY_READ | kPerflibView) != ERROR_SUCCESS)
    {
        return result;
    }
    std::vector<std::wstring> more;
    result = ListSubkeys(substitute.Get(), more);
    for (const auto &language : more)
    {
        if (std::find(languages.begin(), languages.end(), language) == languages.end())
        {
            languages.push_back(language);
        }
    }
    return result;
}

LONG CreatePath(CRegistryUndoLog &undo, const std::wstring &path, REGSAM access, CKey &key)
{
    size_t end = 0;
    for (;;)
    {
        end = path.find(L'\\', end + 1);
        const std::wstring part = path.substr(0, end);
        bool created = false;
        const LONG result = key.Create(part, end == std::wstring::npos ? access : KEY_QUERY_VALUE | kPerflibView, created);
        if (result != ERROR_SUCCESS)
        {
            return result;
        }
        if (created)
        {
            undo.RememberCreatedKey(part, kPerflibView);
        }
        if (end == std::wstring::npos)
        {
            return ERROR_SUCCESS;
        }
    }
}

DWORD HighestTitleIndexInUse(HKEY perflib, const std::vector<std::wstring> &languages)
{
    DWORD highest = 0;
    DWORD value = 0;
    if (ReadDword(perflib, kLastCounter, value))
    {
        Raise(highest, value);
    }
    if (ReadDword(perflib, kLastHelp, value))
    {
        Raise(highest, value);
    }
    for (const auto &language : languages)
    {
        CKey key;
        if (key.Open(LanguageListsPath(language), KEY_QUERY_VALUE | kPerflibView) != ERROR_SUCCESS)
        {
            continue;
        }
        TitleList list;
        if (ReadTitleList(key.Get(), kCounter, list) == ERROR_SUCCESS)
        {
            RaiseFromList(highest, list);
        }
        if (ReadTitleList(key.Get(), kHelp, list) == ERROR_SUCCESS)
        {
            RaiseFromList(highest, list);
        }
    }
    RaiseFromPerformanceData(highest, kCounter);
    RaiseFromPerformanceData(highest, kHelp);
    ::RegCloseKey(HKEY_PERFORMANCE_DATA);
    return highest;
}

DWORD OpenPerflib(CKey &perflib, CRegistryUndoLog &undo)
{
    bool created = false;
    const LONG result = perflib.Create(kPerflibPath, KEY_ALL_ACCESS | kPerflibView, created);
    if (result == ERROR_SUCCESS && created)
    {
        undo.RememberCreatedKey(kPerflibPath, kPerflibView);
    }
    return static_cast<DWORD>(result);
}

DWORD SetDword(CRegistryUndoLog &undo, const std::wstring &path, REGSAM view, HKEY key, const wchar_t *name, DWORD value)
{
    LONG result = undo.RememberValue(path, view, name);
    if (result == ERROR_SUCCESS)
    {
        result = WriteDword(key, name, value);
    }
    return static_cast<DWORD>(result);
}

DWORD SetOrDeleteList(CRegistryUndoLog &undo, const std::wstring &path, HKEY key, const wchar_t *name,
                      const TitleList &list)
{
    LONG result = undo.RememberValue(path, kPerflibView, name);
    if (result != ERROR_SUCCESS)
    {
        return static_cast<DWORD>(result);
    }
    if (!list.empty())
    {
        return static_cast<DWORD>(WriteTitleList(key, name, list));
    }
    result = ::RegDeleteValueW(key, name);
    return static_cast<DWORD>(result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result);
}

} // namespace TessalyTestSupport
