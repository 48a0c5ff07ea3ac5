// A stand-in for the platform's counter-text loader (loadperf.dll), for tests only.
// Under Wine, LoadPerfCounterTextStringsW and UnloadPerfCounterTextStringsW are stubs that
// report success and write nothing, so the counter installer's results cannot be checked
// there. This DLL does what the platform's loader does for this system's .ini and symbol
// files: it assigns title indexes after the last ones in use, keeps the texts in the
// Perflib language lists, records the range under the application's Performance key, and
// undoes all of it on unload. Where Wine reserves a language's Perflib key (009), the lists
// go to a substitute key instead (CounterTextLoaderNames.h).
// scripts/install-test-support puts it into the test prefix.
#include "tests/support/loadperf/CounterTextFiles.h"
#include "tests/support/loadperf/CounterTextLoaderNames.h"
#include "tests/support/loadperf/PerflibRegistry.h"

#include <windows.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

using namespace TessalyTestSupport;

namespace {

const wchar_t kFirstCounter[] = L"First Counter";
const wchar_t kLastCounter[] = L"Last Counter";
const wchar_t kFirstHelp[] = L"First Help";
const wchar_t kLastHelp[] = L"Last Help";
const wchar_t kCounter[] = L"Counter";
const wchar_t kHelp[] = L"Help";

// The x64 and x86 programs of one prefix share the lists; one call at a time.
class CLoaderLock
{
public:
    CLoaderLock() : m_mutex(::CreateMutexW(nullptr, FALSE, TESSALY_COUNTER_TEXT_LOADER_MUTEX)), m_owned(false)
    {
        if (m_mutex)
        {
            const DWORD wait = ::WaitForSingleObject(m_mutex, INFINITE);
            // An abandoned mutex still belongs to us now; the lists are whole because
            // every change is a single value write.
            m_owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
        }
    }
    ~CLoaderLock()
    {
        if (m_owned)
        {
            ::ReleaseMutex(m_mutex);
        }
        if (m_mutex)
        {
            ::CloseHandle(m_mutex);
        }
    }
    CLoaderLock(const CLoaderLock &) = delete;
    CLoaderLock &operator=(const CLoaderLock &) = delete;

    DWORD Error() const
    {
        return m_owned ? ERROR_SUCCESS : (m_mutex ? ERROR_TIMEOUT : ::GetLastError());
    }

private:
    HANDLE m_mutex;
    bool m_owned;
};

void Raise(DWORD &highest, DWORD index)
{
    highest = std::max(highest, index);
}

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

// Every language that has lists: Perflib's subkeys and the substitute's.
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

// Creates every missing key of the path, each recorded for undoing.
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

struct SText
{
    DWORD index;
    std::wstring text;
};

DWORD AppendTexts(CRegistryUndoLog &undo, const std::wstring &language, const std::vector<SText> &names,
                  const std::vector<SText> &helpTexts)
{
    const std::wstring path = LanguageListsPath(language);
    CKey key;
    LONG result = CreatePath(undo, path, KEY_QUERY_VALUE | KEY_SET_VALUE | kPerflibView, key);
    if (result != ERROR_SUCCESS)
    {
        return static_cast<DWORD>(result);
    }
    const struct
    {
        const wchar_t *name;
        const std::vector<SText> *texts;
    } lists[] = {{kCounter, &names}, {kHelp, &helpTexts}};
    for (const auto &each : lists)
    {
        TitleList list;
        result = ReadTitleList(key.Get(), each.name, list);
        if (result != ERROR_SUCCESS)
        {
            return static_cast<DWORD>(result);
        }
        for (const auto &text : *each.texts)
        {
            list.emplace_back(std::to_wstring(text.index), text.text);
        }
        const DWORD error = SetOrDeleteList(undo, path, key.Get(), each.name, list);
        if (error != ERROR_SUCCESS)
        {
            return error;
        }
    }
    return ERROR_SUCCESS;
}

std::wstring FolderOf(const std::wstring &path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

bool IsRelative(const std::wstring &path)
{
    return path.find_first_of(L"\\/:") == std::wstring::npos;
}

DWORD Load(const wchar_t *commandLine)
{
    std::wstring iniPath;
    if (!ParseCounterTextCommandLine(commandLine, iniPath))
    {
        return ERROR_INVALID_PARAMETER;
    }
    CLoaderLock lock;
    if (lock.Error() != ERROR_SUCCESS)
    {
        return lock.Error();
    }

    std::wstring text;
    DWORD error = ReadTextFile(iniPath, text);
    if (error != ERROR_SUCCESS)
    {
        return error;
    }
    const CIniFile ini(text);
    std::wstring applicationName;
    std::wstring symbolFile;
    const CIniFile::Section *languageSection = ini.GetSection(L"languages");
    if (!ini.GetValue(L"info", L"drivername", applicationName) || applicationName.empty() ||
        !ini.GetValue(L"info", L"symbolfile", symbolFile) || symbolFile.empty() || !languageSection ||
        languageSection->empty())
    {
        return ERROR_INVALID_DATA;
    }
    if (IsRelative(symbolFile))
    {
        symbolFile = FolderOf(iniPath) + symbolFile;
    }
    error = ReadTextFile(symbolFile, text);
    if (error != ERROR_SUCCESS)
    {
        return error;
    }
    std::vector<SSymbol> symbols;
    if (!ParseSymbolFile(text, symbols))
    {
        return ERROR_INVALID_DATA;
    }

    const std::wstring applicationPath = ApplicationPerformancePath(applicationName);
    CKey application;
    LONG result = application.Open(applicationPath, KEY_QUERY_VALUE | KEY_SET_VALUE);
    if (result != ERROR_SUCCESS)
    {
        return static_cast<DWORD>(result);
    }
    DWORD existing = 0;
    if (ReadDword(application.Get(), kFirstCounter, existing))
    {
        return ERROR_ALREADY_EXISTS;
    }

    CRegistryUndoLog undo;
    CKey perflib;
    error = OpenPerflib(perflib, undo);
    if (error != ERROR_SUCCESS)
    {
        return error;
    }
    std::vector<std::wstring> perflibLanguages;
    result = ListLanguages(perflib.Get(), perflibLanguages);
    if (result != ERROR_SUCCESS)
    {
        return static_cast<DWORD>(result);
    }
    const DWORD highest = HighestTitleIndexInUse(perflib.Get(), perflibLanguages);
    const DWORD first = std::max<DWORD>(2, (highest / 2 + 1) * 2);
    const DWORD lastOffset = symbols.back().offset;

    for (const auto &entry : *languageSection)
    {
        const std::wstring &language = entry.first;
        std::vector<SText> names;
        std::vector<SText> helpTexts;
        for (const auto &symbol : symbols)
        {
            std::wstring value;
            if (ini.GetValue(L"text", symbol.name + L"_" + language + L"_NAME", value))
            {
                names.push_back({first + symbol.offset, value});
            }
            if (ini.GetValue(L"text", symbol.name + L"_" + language + L"_HELP", value))
            {
                helpTexts.push_back({first + symbol.offset + 1, value});
            }
        }
        error = AppendTexts(undo, language, names, helpTexts);
        if (error != ERROR_SUCCESS)
        {
            return error;
        }
    }

    const struct
    {
        const wchar_t *name;
        DWORD value;
    } range[] = {{kFirstCounter, first},
                 {kLastCounter, first + lastOffset},
                 {kFirstHelp, first + 1},
                 {kLastHelp, first + lastOffset + 1}};
    for (const auto &each : range)
    {
        error = SetDword(undo, applicationPath, 0, application.Get(), each.name, each.value);
        if (error != ERROR_SUCCESS)
        {
            return error;
        }
    }
    for (const auto &each : {range[1], range[3]})
    {
        DWORD current = 0;
        if (!ReadDword(perflib.Get(), each.name, current) || current < each.value)
        {
            error = SetDword(undo, kPerflibPath, kPerflibView, perflib.Get(), each.name, each.value);
            if (error != ERROR_SUCCESS)
            {
                return error;
            }
        }
    }
    undo.Commit();
    return ERROR_SUCCESS;
}

DWORD Unload(const wchar_t *commandLine)
{
    std::wstring applicationName;
    if (!ParseCounterTextCommandLine(commandLine, applicationName))
    {
        return ERROR_INVALID_PARAMETER;
    }
    CLoaderLock lock;
    if (lock.Error() != ERROR_SUCCESS)
    {
        return lock.Error();
    }

    const std::wstring applicationPath = ApplicationPerformancePath(applicationName);
    CKey application;
    LONG result = application.Open(applicationPath, KEY_QUERY_VALUE | KEY_SET_VALUE);
    if (result == ERROR_FILE_NOT_FOUND)
    {
        return ERROR_SUCCESS;
    }
    if (result != ERROR_SUCCESS)
    {
        return static_cast<DWORD>(result);
    }
    DWORD first = 0;
    if (!ReadDword(application.Get(), kFirstCounter, first))
    {
        return ERROR_SUCCESS;
    }
    DWORD last = 0;
    if (!ReadDword(application.Get(), kLastHelp, last))
    {
        last = ReadDword(application.Get(), kLastCounter, last) ? last + 1 : first + 1;
    }

    CRegistryUndoLog undo;
    CKey perflib;
    DWORD error = OpenPerflib(perflib, undo);
    if (error != ERROR_SUCCESS)
    {
        return error;
    }
    std::vector<std::wstring> languages;
    result = ListLanguages(perflib.Get(), languages);
    if (result != ERROR_SUCCESS)
    {
        return static_cast<DWORD>(result);
    }
    DWORD highestEven = 0;
    DWORD highestOdd = 0;
    for (const auto &language : languages)
    {
        CKey key;
        if (key.Open(LanguageListsPath(language), KEY_QUERY_VALUE | KEY_SET_VALUE | kPerflibView) != ERROR_SUCCESS)
        {
            continue;
        }
        for (const wchar_t *name : {kCounter, kHelp})
        {
            TitleList list;
            if (ReadTitleList(key.Get(), name, list) != ERROR_SUCCESS)
            {
                continue;
            }
            TitleList kept;
            for (const auto &entry : list)
            {
                const DWORD index = TitleIndex(entry);
                if (index >= first && index <= last)
                {
                    continue;
                }
                kept.push_back(entry);
                if (index != 0)
                {
                    Raise(index % 2 == 0 ? highestEven : highestOdd, index);
                }
            }
            if (kept.size() != list.size())
            {
                error = SetOrDeleteList(undo, LanguageListsPath(language), key.Get(), name, kept);
                if (error != ERROR_SUCCESS)
                {
                    return error;
                }
            }
        }
    }

    for (const wchar_t *name : {kFirstCounter, kLastCounter, kFirstHelp, kLastHelp})
    {
        result = undo.RememberValue(applicationPath, 0, name);
        if (result == ERROR_SUCCESS)
        {
            result = ::RegDeleteValueW(application.Get(), name);
        }
        if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
        {
            return static_cast<DWORD>(result);
        }
    }

    const struct
    {
        const wchar_t *name;
        DWORD highest;
    } lasts[] = {{kLastCounter, highestEven}, {kLastHelp, highestOdd}};
    for (const auto &each : lasts)
    {
        result = undo.RememberValue(kPerflibPath, kPerflibView, each.name);
        if (result == ERROR_SUCCESS)
        {
            result = each.highest != 0 ? WriteDword(perflib.Get(), each.name, each.highest)
                                       : ::RegDeleteValueW(perflib.Get(), each.name);
        }
        if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
        {
            return static_cast<DWORD>(result);
        }
    }
    undo.Commit();
    return ERROR_SUCCESS;
}

// Nothing may escape into the caller; a failed allocation is the only exception here.
template <typename Action>
DWORD Guarded(Action action)
{
    try
    {
        return action();
    }
    catch (const std::bad_alloc &)
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    catch (...)
    {
        return ERROR_INTERNAL_ERROR;
    }
}

std::wstring Widen(const char *text)
{
    const int length = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (length <= 0)
    {
        return std::wstring();
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length - 1));
    return wide;
}

} // namespace

// Exported by loadperf.def under their plain names in both architectures.
extern "C" {

DWORD WINAPI LoadPerfCounterTextStringsW(LPWSTR commandLine, BOOL /*quietMode*/)
{
    return Guarded([&] { return Load(commandLine); });
}

DWORD WINAPI UnloadPerfCounterTextStringsW(LPWSTR commandLine, BOOL /*quietMode*/)
{
    return Guarded([&] { return Unload(commandLine); });
}

DWORD WINAPI LoadPerfCounterTextStringsA(LPSTR commandLine, BOOL /*quietMode*/)
{
    return Guarded([&] { return commandLine ? Load(Widen(commandLine).c_str()) : ERROR_INVALID_PARAMETER; });
}

DWORD WINAPI UnloadPerfCounterTextStringsA(LPSTR commandLine, BOOL /*quietMode*/)
{
    return Guarded([&] { return commandLine ? Unload(Widen(commandLine).c_str()) : ERROR_INVALID_PARAMETER; });
}

} // extern "C"
