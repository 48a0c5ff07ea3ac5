#include "tests/support/loadperf/CounterTextUnloader.h"

#include "tests/support/loadperf/CounterTextFiles.h"
#include "tests/support/loadperf/LoaderLock.h"
#include "tests/support/loadperf/PerflibRegistry.h"
#include "tests/support/loadperf/TitleLists.h"

#include <string>
#include <vector>

namespace TessalyTestSupport {

namespace {

// Takes the indexes first to last out of every list; the highest even and odd indexes left
// are what Perflib's last values become.
DWORD RemoveTexts(CRegistryUndoLog &undo, HKEY perflib, DWORD first, DWORD last, DWORD &highestEven,
                  DWORD &highestOdd)
{
    std::vector<std::wstring> languages;
    const LONG result = ListLanguages(perflib, languages);
    if (result != ERROR_SUCCESS)
    {
        return static_cast<DWORD>(result);
    }
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
            const DWORD error = kept.size() == list.size()
                                    ? ERROR_SUCCESS
                                    : SetOrDeleteList(undo, LanguageListsPath(language), key.Get(), name, kept);
            if (error != ERROR_SUCCESS)
            {
                return error;
            }
        }
    }
    return ERROR_SUCCESS;
}

// "unlodctr also removes the First Counter, Last Counter, First Help, Last Help, and Object
// List values from the application's Performance key" (Removing Counter Names and
// Descriptions from the Registry,
// https://learn.microsoft.com/en-us/windows/win32/perfctrs/removing-counter-names-and-descriptions-from-the-registry).
DWORD RemoveApplicationValues(CRegistryUndoLog &undo, const std::wstring &applicationPath, HKEY application)
{
    for (const wchar_t *name : {kFirstCounter, kLastCounter, kFirstHelp, kLastHelp, kObjectList})
    {
        LONG result = undo.RememberValue(applicationPath, 0, name);
        if (result == ERROR_SUCCESS)
        {
            result = ::RegDeleteValueW(application, name);
        }
        if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
        {
            return static_cast<DWORD>(result);
        }
    }
    return ERROR_SUCCESS;
}

DWORD LowerPerflibLasts(CRegistryUndoLog &undo, HKEY perflib, DWORD highestEven, DWORD highestOdd)
{
    const struct
    {
        const wchar_t *name;
        DWORD highest;
    } lasts[] = {{kLastCounter, highestEven}, {kLastHelp, highestOdd}};
    for (const auto &each : lasts)
    {
        LONG result = undo.RememberValue(kPerflibPath, kPerflibView, each.name);
        if (result == ERROR_SUCCESS)
        {
            result = each.highest != 0 ? WriteDword(perflib, each.name, each.highest)
                                       : ::RegDeleteValueW(perflib, each.name);
        }
        if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
        {
            return static_cast<DWORD>(result);
        }
    }
    return ERROR_SUCCESS;
}

} // namespace

DWORD UnloadCounterTexts(const wchar_t *commandLine)
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
    const LONG result = application.Open(applicationPath, KEY_QUERY_VALUE | KEY_SET_VALUE);
    if (result != ERROR_SUCCESS)
    {
        return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(result);
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
    DWORD highestEven = 0;
    DWORD highestOdd = 0;
    DWORD error = OpenPerflib(perflib, undo);
    if (error == ERROR_SUCCESS)
    {
        error = RemoveTexts(undo, perflib.Get(), first, last, highestEven, highestOdd);
    }
    if (error == ERROR_SUCCESS)
    {
        error = RemoveApplicationValues(undo, applicationPath, application.Get());
    }
    if (error == ERROR_SUCCESS)
    {
        error = LowerPerflibLasts(undo, perflib.Get(), highestEven, highestOdd);
    }
    if (error == ERROR_SUCCESS)
    {
        undo.Commit();
    }
    return error;
}

} // namespace TessalyTestSupport
