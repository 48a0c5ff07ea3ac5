// A stand-in for the platform's counter-text loader (loadperf.dll), for tests only.
// Under Wine, LoadPerfCounterTextStringsW and UnloadPerfCounterTextStringsW are stubs that
// report success and write nothing, so the counter installer's results cannot be checked
// there. This DLL does what Microsoft documents the platform's loader to do (Adding Counter
// Names and Descriptions to the Registry,
// https://learn.microsoft.com/en-us/windows/win32/perfctrs/adding-counter-names-and-descriptions-to-the-registry;
// LoadPerfCounterTextStringsW,
// https://learn.microsoft.com/en-us/windows/win32/api/loadperf/nf-loadperf-loadperfcountertextstringsw):
// it refuses files that break the documented rules (CounterTextDefinition.h), assigns title
// indexes after the last ones in use, keeps the texts in the lists of the languages the
// system has, records the range and the object list under the application's Performance
// key, and undoes all of it on unload. Where Wine reserves a language's Perflib key (009),
// the lists go to a substitute key instead (CounterTextLoaderNames.h).
// scripts/install-test-support puts it into the test prefix.
#include "tests/support/loadperf/CounterTextDefinition.h"
#include "tests/support/loadperf/CounterTextFiles.h"
#include "tests/support/loadperf/CounterTextUnloader.h"
#include "tests/support/loadperf/LoaderLock.h"
#include "tests/support/loadperf/PerflibRegistry.h"
#include "tests/support/loadperf/TitleLists.h"

#include <windows.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

using namespace TessalyTestSupport;

namespace {

// The texts go after what the language's lists hold, at first + their symbol's offset,
// help texts one further.
DWORD AppendTexts(CRegistryUndoLog &undo, const SLanguageTexts &texts, DWORD first)
{
    const std::wstring path = LanguageListsPath(texts.language);
    CKey key;
    LONG result = CreatePath(undo, path, KEY_QUERY_VALUE | KEY_SET_VALUE | kPerflibView, key);
    if (result != ERROR_SUCCESS)
    {
        return static_cast<DWORD>(result);
    }
    const struct
    {
        const wchar_t *name;
        const std::vector<std::pair<DWORD, std::wstring>> *texts;
        DWORD base;
    } lists[] = {{kCounter, &texts.names, first}, {kHelp, &texts.helpTexts, first + 1}};
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
            list.emplace_back(std::to_wstring(each.base + text.first), text.second);
        }
        const DWORD error = SetOrDeleteList(undo, path, key.Get(), each.name, list);
        if (error != ERROR_SUCCESS)
        {
            return error;
        }
    }
    return ERROR_SUCCESS;
}

// "If the corresponding language subkey does not exist, the strings for that language are
// not copied" (Adding Counter Names and Descriptions to the Registry): no Perflib key is
// made for a language the system does not have.
DWORD CopyTexts(CRegistryUndoLog &undo, const CCounterTextDefinition &definition, DWORD first)
{
    for (const auto &texts : definition.Languages())
    {
        bool exists = false;
        const LONG result = LanguageKeyExists(texts.language, exists);
        if (result != ERROR_SUCCESS)
        {
            return static_cast<DWORD>(result);
        }
        const DWORD error = exists ? AppendTexts(undo, texts, first) : ERROR_SUCCESS;
        if (error != ERROR_SUCCESS)
        {
            return error;
        }
    }
    return ERROR_SUCCESS;
}

// "Object List = list of object index values if the .INI includes the [objects] section"
// (the same page), in the form a query of HKEY_PERFORMANCE_DATA names objects: "the
// decimal index ... in a space-separated list" (Using the Registry Functions to Consume
// Counter Data,
// https://learn.microsoft.com/en-us/windows/win32/perfctrs/using-the-registry-functions-to-consume-counter-data).
DWORD SetObjectList(CRegistryUndoLog &undo, const std::wstring &applicationPath, HKEY application,
                    const CCounterTextDefinition &definition, DWORD first)
{
    if (definition.ObjectOffsets().empty())
    {
        return ERROR_SUCCESS;
    }
    std::wstring list;
    for (const DWORD offset : definition.ObjectOffsets())
    {
        list += (list.empty() ? L"" : L" ") + std::to_wstring(first + offset);
    }
    LONG result = undo.RememberValue(applicationPath, 0, kObjectList);
    if (result == ERROR_SUCCESS)
    {
        result = WriteString(application, kObjectList, list);
    }
    return static_cast<DWORD>(result);
}

// The application's range, and Perflib's last indexes where the range goes past them.
DWORD SetRange(CRegistryUndoLog &undo, const std::wstring &applicationPath, HKEY application, HKEY perflib,
               DWORD first, DWORD lastOffset)
{
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
        const DWORD error = SetDword(undo, applicationPath, 0, application, each.name, each.value);
        if (error != ERROR_SUCCESS)
        {
            return error;
        }
    }
    for (const auto &each : {range[1], range[3]})
    {
        DWORD current = 0;
        if (!ReadDword(perflib, each.name, current) || current < each.value)
        {
            const DWORD error = SetDword(undo, kPerflibPath, kPerflibView, perflib, each.name, each.value);
            if (error != ERROR_SUCCESS)
            {
                return error;
            }
        }
    }
    return ERROR_SUCCESS;
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
    CCounterTextDefinition definition;
    DWORD error = definition.Read(iniPath);
    if (error != ERROR_SUCCESS)
    {
        return error;
    }

    const std::wstring applicationPath = ApplicationPerformancePath(definition.ApplicationName());
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
    error = CopyTexts(undo, definition, first);
    if (error == ERROR_SUCCESS)
    {
        error = SetRange(undo, applicationPath, application.Get(), perflib.Get(), first, definition.LastOffset());
    }
    if (error == ERROR_SUCCESS)
    {
        error = SetObjectList(undo, applicationPath, application.Get(), definition, first);
    }
    if (error == ERROR_SUCCESS)
    {
        undo.Commit();
    }
    return error;
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
    return Guarded([&] { return UnloadCounterTexts(commandLine); });
}

DWORD WINAPI LoadPerfCounterTextStringsA(LPSTR commandLine, BOOL /*quietMode*/)
{
    return Guarded([&] { return commandLine ? Load(Widen(commandLine).c_str()) : ERROR_INVALID_PARAMETER; });
}

DWORD WINAPI UnloadPerfCounterTextStringsA(LPSTR commandLine, BOOL /*quietMode*/)
{
    return Guarded([&] { return commandLine ? UnloadCounterTexts(Widen(commandLine).c_str()) : ERROR_INVALID_PARAMETER; });
}

} // extern "C"
