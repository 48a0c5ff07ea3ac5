#pragma once

// The stand-in counter-text loader as its tests see it: its files, the registry it writes
// and the lock it takes.
#include "perfmon/PerformanceDataSchema.h"
#include "perfmon/PerformanceDataSchemaFileExporter.h"
#include "tests/perfmon/TwoObjectSchema.h"
#include "tests/support/loadperf/CounterTextLoaderNames.h"
#include "tests/support/ScratchDirectory.h"
#include "tests/support/TestNames.h"
#include "win32/files/FileUtils.h"
#include "win32/registry/RegistryKey.h"

#include <windows.h>

#include <loadperf.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace StandInTestSupport {

using namespace CorvaneTools::PerfMon;
using CorvaneTools::Win32::CRegistryKey;


const wchar_t kPerflib[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib";
// Both architectures' loaders share the 64-bit view of the lists.
const REGSAM kView = KEY_WOW64_64KEY;

inline std::wstring ServicePath(const std::wstring &application)
{
    return L"SYSTEM\\CurrentControlSet\\Services\\" + application;
}

inline DWORD Load(const std::wstring &iniPath)
{
    std::wstring commandLine = L"NotUsed \"" + iniPath + L"\"";
    return ::LoadPerfCounterTextStringsW(&commandLine[0], TRUE);
}

inline DWORD Unload(const std::wstring &application)
{
    std::wstring commandLine = L"NotUsed \"" + application + L"\"";
    return ::UnloadPerfCounterTextStringsW(&commandLine[0], TRUE);
}

// Keeps the other architecture's tests from changing the lists while one test compares
// them; the loader's own wait on the same mutex is recursive on this thread.
class CLoaderMutexHold
{
public:
    CLoaderMutexHold() : m_mutex(::CreateMutexW(nullptr, FALSE, TESSALY_COUNTER_TEXT_LOADER_MUTEX))
    {
        EXPECT_NE(nullptr, m_mutex);
        if (m_mutex)
        {
            const DWORD wait = ::WaitForSingleObject(m_mutex, INFINITE);
            EXPECT_TRUE(wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED);
        }
    }
    ~CLoaderMutexHold()
    {
        if (m_mutex)
        {
            ::ReleaseMutex(m_mutex);
            ::CloseHandle(m_mutex);
        }
    }
    CLoaderMutexHold(const CLoaderMutexHold &) = delete;
    CLoaderMutexHold &operator=(const CLoaderMutexHold &) = delete;

private:
    HANDLE m_mutex;
};

// An application's Services\<name>\Performance key, as the installer creates it before
// loading; unloads and removes it again however the test ends.
class CApplication
{
public:
    explicit CApplication(const std::wstring &what, bool createKey = true) : m_name(TestSupport::UniqueName(what))
    {
        if (createKey)
        {
            CRegistryKey(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services", KEY_ALL_ACCESS)
                .CreateOrOpenKey(m_name.c_str())
                .CreateOrOpenKey(L"Performance");
        }
    }
    ~CApplication()
    {
        Unload(m_name);
        const std::wstring service = ServicePath(m_name);
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (service + L"\\Performance").c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, service.c_str());
    }
    CApplication(const CApplication &) = delete;
    CApplication &operator=(const CApplication &) = delete;

    const std::wstring &Name() const
    {
        return m_name;
    }

    // False when the value is absent.
    bool Value(const wchar_t *name, DWORD &value) const
    {
        return CRegistryKey(HKEY_LOCAL_MACHINE, (ServicePath(m_name) + L"\\Performance").c_str(), KEY_READ)
            .QueryValue(name, value);
    }

    DWORD Required(const wchar_t *name) const
    {
        DWORD value = 0;
        EXPECT_TRUE(Value(name, value)) << "no " << testing::PrintToString(std::wstring(name));
        return value;
    }

private:
    const std::wstring m_name;
};

// Two objects of 2 and 3 counters: symbol offsets 0 to 12.
struct SFiles
{
    CPerformanceDataSchema schema{L"009"};
    CPerformanceDataSchemaFileExporter exporter;

    SFiles()
    {
        TestSupport::AddTwoObjects(schema);
    }

    std::wstring Write(const CApplication &application)
    {
        exporter.WriteSymbolFile(application.Name(), schema);
        return exporter.WriteIniFile(application.Name(), schema);
    }
};

const NTSTATUS kPredefinedHandle = 0x40000016;

// Wine's RegOpenKeyEx turns Perflib\009 into a pseudo handle with fixed lists, so keys are
// opened the way the loader opens them, through the native call. Null on failure, and for
// a key the platform reserves (status then says so).
inline HKEY OpenMachineKey(const std::wstring &path, REGSAM access, NTSTATUS *status = nullptr)
{
    typedef NTSTATUS(NTAPI * NtOpenKeyFunction)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
    static const NtOpenKeyFunction ntOpenKey = reinterpret_cast<NtOpenKeyFunction>(
        reinterpret_cast<void *>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtOpenKey")));
    const std::wstring full = L"\\Registry\\Machine\\" + path;
    UNICODE_STRING name;
    name.Buffer = const_cast<wchar_t *>(full.c_str());
    name.Length = static_cast<USHORT>(full.size() * sizeof(wchar_t));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    const NTSTATUS result = ntOpenKey ? ntOpenKey(&key, access, &attributes) : static_cast<NTSTATUS>(0xC0000002);
    if (status)
    {
        *status = result;
    }
    return result == 0 ? static_cast<HKEY>(key) : nullptr;
}

// Perflib\<language>, or the loader's substitute when the platform reserves that key.
inline std::wstring ListsPath(const std::wstring &language)
{
    NTSTATUS status = 0;
    const HKEY key = OpenMachineKey(std::wstring(kPerflib) + L"\\" + language, KEY_QUERY_VALUE | kView, &status);
    if (key)
    {
        ::RegCloseKey(key);
    }
    return status == kPredefinedHandle ? std::wstring(TESSALY_COUNTER_TEXT_LOADER_SUBSTITUTE_LISTS) + L"\\" + language
                                       : std::wstring(kPerflib) + L"\\" + language;
}

// Type and bytes of a value under HKLM; empty when absent.
inline std::vector<BYTE> RawValue(const std::wstring &path, REGSAM view, const wchar_t *name)
{
    const HKEY key = OpenMachineKey(path, KEY_QUERY_VALUE | view);
    if (!key)
    {
        return {};
    }
    DWORD type = 0;
    DWORD size = 0;
    std::vector<BYTE> data;
    LONG result = ::RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    if (result == ERROR_SUCCESS)
    {
        data.resize(size + sizeof(type));
        result = ::RegQueryValueExW(key, name, nullptr, &type, data.data() + sizeof(type), &size);
        data.resize(result == ERROR_SUCCESS ? size + sizeof(type) : 0);
        if (!data.empty())
        {
            std::memcpy(data.data(), &type, sizeof(type));
        }
    }
    ::RegCloseKey(key);
    return data;
}

typedef std::vector<std::pair<DWORD, std::wstring>> TitleEntries;

inline TitleEntries ParseTitles(const wchar_t *data, size_t length)
{
    std::vector<std::wstring> strings;
    for (size_t i = 0; i < length && data[i];)
    {
        const std::wstring entry(data + i);
        strings.push_back(entry);
        i += entry.size() + 1;
    }
    TitleEntries entries;
    for (size_t i = 0; i + 1 < strings.size(); i += 2)
    {
        entries.emplace_back(static_cast<DWORD>(std::wcstoul(strings[i].c_str(), nullptr, 10)), strings[i + 1]);
    }
    return entries;
}

inline TitleEntries PerflibTitles(const std::wstring &language, const wchar_t *list)
{
    const std::vector<BYTE> raw = RawValue(ListsPath(language), kView, list);
    if (raw.size() <= sizeof(DWORD))
    {
        return {};
    }
    return ParseTitles(reinterpret_cast<const wchar_t *>(raw.data() + sizeof(DWORD)),
                       (raw.size() - sizeof(DWORD)) / sizeof(wchar_t));
}

inline std::map<DWORD, std::wstring> TitlesIn(const TitleEntries &entries, DWORD low, DWORD high)
{
    std::map<DWORD, std::wstring> found;
    for (const auto &entry : entries)
    {
        if (entry.first >= low && entry.first <= high)
        {
            found[entry.first] = entry.second;
        }
    }
    return found;
}

inline DWORD HighestIn(const TitleEntries &entries)
{
    DWORD highest = 0;
    for (const auto &entry : entries)
    {
        highest = std::max(highest, entry.first);
    }
    return highest;
}

// Worked out independently of the loader: every index any list or Perflib value names.
inline DWORD HighestIndexInUse()
{
    DWORD highest = 0;
    const CRegistryKey perflib(HKEY_LOCAL_MACHINE, kPerflib, KEY_READ | kView);
    DWORD value = 0;
    if (perflib.QueryValue(L"Last Counter", value))
    {
        highest = std::max(highest, value);
    }
    if (perflib.QueryValue(L"Last Help", value))
    {
        highest = std::max(highest, value);
    }
    std::vector<std::wstring> languages;
    for (auto it = perflib.BeginSubkeys(); it != perflib.EndSubkeys(); ++it)
    {
        languages.push_back(it->GetName());
    }
    HKEY substitute = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, TESSALY_COUNTER_TEXT_LOADER_SUBSTITUTE_LISTS, 0, KEY_READ | kView,
                        &substitute) == ERROR_SUCCESS)
    {
        wchar_t name[256];
        for (DWORD i = 0, length = 256; ::RegEnumKeyExW(substitute, i, name, &length, nullptr, nullptr, nullptr,
                                                        nullptr) == ERROR_SUCCESS;
             ++i, length = 256)
        {
            languages.push_back(name);
        }
        ::RegCloseKey(substitute);
    }
    for (const auto &language : languages)
    {
        highest = std::max(highest, HighestIn(PerflibTitles(language, L"Counter")));
        highest = std::max(highest, HighestIn(PerflibTitles(language, L"Help")));
    }
    for (const wchar_t *name : {L"Counter", L"Help"})
    {
        std::vector<BYTE> buffer(1024 * 1024);
        DWORD size = static_cast<DWORD>(buffer.size());
        DWORD type = 0;
        if (::RegQueryValueExW(HKEY_PERFORMANCE_DATA, name, nullptr, &type, buffer.data(), &size) == ERROR_SUCCESS)
        {
            highest = std::max(highest, HighestIn(ParseTitles(reinterpret_cast<const wchar_t *>(buffer.data()),
                                                              size / sizeof(wchar_t))));
        }
    }
    ::RegCloseKey(HKEY_PERFORMANCE_DATA);
    return highest;
}

// Everything a load or unload may change, for before/after comparisons.
inline std::vector<std::vector<BYTE>> Snapshot(const CApplication &application)
{
    std::vector<std::vector<BYTE>> values;
    const std::wstring performance = ServicePath(application.Name()) + L"\\Performance";
    for (const wchar_t *name : {L"First Counter", L"Last Counter", L"First Help", L"Last Help"})
    {
        values.push_back(RawValue(performance, 0, name));
        values.push_back(RawValue(kPerflib, kView, name));
    }
    values.push_back(RawValue(performance, 0, L"Object List"));
    values.push_back(RawValue(ListsPath(L"009"), kView, L"Counter"));
    values.push_back(RawValue(ListsPath(L"009"), kView, L"Help"));
    return values;
}

// The raw form RawValue gives a REG_SZ of that text.
inline std::vector<BYTE> StringRaw(const std::wstring &text)
{
    std::vector<BYTE> raw(sizeof(DWORD) + (text.size() + 1) * sizeof(wchar_t));
    const DWORD type = REG_SZ;
    std::memcpy(raw.data(), &type, sizeof(type));
    std::memcpy(raw.data() + sizeof(type), text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    return raw;
}

inline std::vector<BYTE> ObjectList(const CApplication &application)
{
    return RawValue(ServicePath(application.Name()) + L"\\Performance", 0, L"Object List");
}

} // namespace StandInTestSupport
