#include "perfmon/PerformanceDataSchema.h"
#include "perfmon/PerformanceDataSchemaFileExporter.h"
#include "tests/perfmon/TwoObjectSchema.h"
#include "tests/support/ScratchDirectory.h"
#include "tests/support/TestNames.h"
#include "tests/support/loadperf/CounterTextLoaderNames.h"
#include "win32/FileUtils.h"
#include "win32/RegistryKey.h"

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

using namespace CorvaneTools::PerfMon;
using CorvaneTools::Win32::CRegistryKey;

namespace {

const wchar_t kPerflib[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib";
// Both architectures' loaders share the 64-bit view of the lists.
const REGSAM kView = KEY_WOW64_64KEY;

std::wstring ServicePath(const std::wstring &application)
{
    return L"SYSTEM\\CurrentControlSet\\Services\\" + application;
}

DWORD Load(const std::wstring &iniPath)
{
    std::wstring commandLine = L"NotUsed \"" + iniPath + L"\"";
    return ::LoadPerfCounterTextStringsW(&commandLine[0], TRUE);
}

DWORD Unload(const std::wstring &application)
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
HKEY OpenMachineKey(const std::wstring &path, REGSAM access, NTSTATUS *status = nullptr)
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
std::wstring ListsPath(const std::wstring &language)
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
std::vector<BYTE> RawValue(const std::wstring &path, REGSAM view, const wchar_t *name)
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

TitleEntries ParseTitles(const wchar_t *data, size_t length)
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

TitleEntries PerflibTitles(const std::wstring &language, const wchar_t *list)
{
    const std::vector<BYTE> raw = RawValue(ListsPath(language), kView, list);
    if (raw.size() <= sizeof(DWORD))
    {
        return {};
    }
    return ParseTitles(reinterpret_cast<const wchar_t *>(raw.data() + sizeof(DWORD)),
                       (raw.size() - sizeof(DWORD)) / sizeof(wchar_t));
}

std::map<DWORD, std::wstring> TitlesIn(const TitleEntries &entries, DWORD low, DWORD high)
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

DWORD HighestIn(const TitleEntries &entries)
{
    DWORD highest = 0;
    for (const auto &entry : entries)
    {
        highest = std::max(highest, entry.first);
    }
    return highest;
}

// Worked out independently of the loader: every index any list or Perflib value names.
DWORD HighestIndexInUse()
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
std::vector<std::vector<BYTE>> Snapshot(const CApplication &application)
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
std::vector<BYTE> StringRaw(const std::wstring &text)
{
    std::vector<BYTE> raw(sizeof(DWORD) + (text.size() + 1) * sizeof(wchar_t));
    const DWORD type = REG_SZ;
    std::memcpy(raw.data(), &type, sizeof(type));
    std::memcpy(raw.data() + sizeof(type), text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    return raw;
}

std::vector<BYTE> ObjectList(const CApplication &application)
{
    return RawValue(ServicePath(application.Name()) + L"\\Performance", 0, L"Object List");
}

} // namespace

TEST(CounterTextLoaderStandInTest, TheProcessUsesTheStandInNotWinesBuiltinStub)
{
    const HMODULE module = ::GetModuleHandleW(L"loadperf.dll");
    ASSERT_NE(nullptr, module);
    wchar_t path[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetModuleFileNameW(module, path, MAX_PATH));
    std::wstring lower(path);
    std::transform(lower.begin(), lower.end(), lower.begin(), ::towlower);
    EXPECT_NE(std::wstring::npos, lower.find(L"\\loadperf.dll")) << lower;
    // Wine marks its own modules' images this way, right after the DOS header.
    const char *image = reinterpret_cast<const char *>(module);
    EXPECT_NE(0, std::memcmp(image + sizeof(IMAGE_DOS_HEADER), "Wine builtin DLL", 16)) << lower;
    EXPECT_NE(nullptr, reinterpret_cast<void *>(::GetProcAddress(module, "LoadPerfCounterTextStringsA")));
    EXPECT_NE(nullptr, reinterpret_cast<void *>(::GetProcAddress(module, "UnloadPerfCounterTextStringsA")));
}

TEST(CounterTextLoaderStandInTest, LoadAssignsTheNextEvenRangeAboveEveryIndexInUse)
{
    CLoaderMutexHold hold;
    CApplication application(L"LoadRange");
    SFiles files;
    const std::wstring ini = files.Write(application);
    const DWORD highest = HighestIndexInUse();

    ASSERT_EQ(0u, Load(ini));

    const DWORD first = application.Required(L"First Counter");
    EXPECT_EQ(0u, first % 2);
    EXPECT_GT(first, highest);
    EXPECT_EQ(std::max<DWORD>(2, highest - highest % 2 + 2), first);
    EXPECT_EQ(first + 12, application.Required(L"Last Counter"));
    EXPECT_EQ(first + 1, application.Required(L"First Help"));
    EXPECT_EQ(first + 13, application.Required(L"Last Help"));

    const CRegistryKey perflib(HKEY_LOCAL_MACHINE, kPerflib, KEY_READ | kView);
    DWORD lastCounter = 0;
    DWORD lastHelp = 0;
    ASSERT_TRUE(perflib.QueryValue(L"Last Counter", lastCounter));
    ASSERT_TRUE(perflib.QueryValue(L"Last Help", lastHelp));
    EXPECT_GE(lastCounter, first + 12);
    EXPECT_GE(lastHelp, first + 13);
    // The new range is now the highest in use.
    EXPECT_EQ(first + 13, HighestIndexInUse());
    // The two objects' indexes, as a query of the performance data names them.
    EXPECT_EQ(StringRaw(std::to_wstring(first) + L" " + std::to_wstring(first + 6)), ObjectList(application));
}

TEST(CounterTextLoaderStandInTest, TextsAreKeptAtTheirIndexesInEveryLanguage)
{
    CLoaderMutexHold hold;
    CApplication application(L"Texts");
    SFiles files;
    ASSERT_EQ(0u, Load(files.Write(application)));
    const DWORD first = application.Required(L"First Counter");

    const std::map<DWORD, std::wstring> names{{first, L"First Object"}, {first + 2, L"A"},  {first + 4, L"B"},
                                              {first + 6, L"Second"},     {first + 8, L"C"}, {first + 10, L"D"},
                                              {first + 12, L"E"}};
    const std::map<DWORD, std::wstring> help{{first + 1, L"First help"}, {first + 3, L"a help"},
                                             {first + 5, L"b help"},     {first + 7, L"Second help"},
                                             {first + 9, L"c help"},     {first + 11, L"d help"},
                                             {first + 13, L"e help"}};
    EXPECT_EQ(names, TitlesIn(PerflibTitles(L"009", L"Counter"), first, first + 13));
    EXPECT_EQ(help, TitlesIn(PerflibTitles(L"009", L"Help"), first, first + 13));
}

TEST(CounterTextLoaderStandInTest, WineReservesPerflib009SoItsListsGoToTheSubstitute)
{
    NTSTATUS status = 0;
    const HKEY key = OpenMachineKey(std::wstring(kPerflib) + L"\\009", KEY_QUERY_VALUE | kView, &status);
    if (key)
    {
        ::RegCloseKey(key);
    }
    EXPECT_EQ(kPredefinedHandle, status);
    HKEY pseudo = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kPerflib) + L"\\009").c_str(), 0,
                                             KEY_QUERY_VALUE | kView, &pseudo));
    EXPECT_EQ(HKEY_PERFORMANCE_TEXT, pseudo);

    CLoaderMutexHold hold;
    CApplication application(L"Substitute");
    SFiles files;
    ASSERT_EQ(0u, Load(files.Write(application)));
    const DWORD first = application.Required(L"First Counter");
    EXPECT_EQ(std::wstring(TESSALY_COUNTER_TEXT_LOADER_SUBSTITUTE_LISTS) + L"\\009", ListsPath(L"009"));
    EXPECT_EQ(L"First Object", TitlesIn(PerflibTitles(L"009", L"Counter"), first, first)[first]);
}

TEST(CounterTextLoaderStandInTest, ApplicationsLoadedOneAfterTheOtherGetDisjointRanges)
{
    CLoaderMutexHold hold;
    CApplication one(L"RangeOne");
    CApplication two(L"RangeTwo");
    SFiles files;
    ASSERT_EQ(0u, Load(files.Write(one)));
    ASSERT_EQ(0u, Load(files.Write(two)));

    const DWORD oneLast = one.Required(L"Last Help");
    EXPECT_EQ(one.Required(L"First Counter") + 13, oneLast);
    EXPECT_EQ(oneLast + 1, two.Required(L"First Counter"));
    EXPECT_EQ(two.Required(L"First Counter") + 13, two.Required(L"Last Help"));
    EXPECT_EQ(L"First Object", TitlesIn(PerflibTitles(L"009", L"Counter"), oneLast + 1, oneLast + 1)[oneLast + 1]);
}

TEST(CounterTextLoaderStandInTest, ASecondLoadIsRefusedAndChangesNothing)
{
    CLoaderMutexHold hold;
    CApplication application(L"Twice");
    SFiles files;
    const std::wstring ini = files.Write(application);
    ASSERT_EQ(0u, Load(ini));
    const auto before = Snapshot(application);

    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), Load(ini));
    EXPECT_EQ(before, Snapshot(application));
}

TEST(CounterTextLoaderStandInTest, MissingFilesAreReportedAndChangeNothing)
{
    CLoaderMutexHold hold;
    CApplication application(L"Missing");
    SFiles files;
    const auto before = Snapshot(application);

    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), Load(files.exporter.GetDirectory() + L"Absent.ini"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), Load(L"C:\\no such folder\\Absent.ini"));
    // The .ini names a symbol file that was never written.
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              Load(files.exporter.WriteIniFile(application.Name(), files.schema)));
    EXPECT_EQ(before, Snapshot(application));
    DWORD value = 0;
    EXPECT_FALSE(application.Value(L"First Counter", value));
}

TEST(CounterTextLoaderStandInTest, AnApplicationWithoutItsPerformanceKeyGetsTheRegistryError)
{
    CLoaderMutexHold hold;
    CApplication application(L"NoKey", false);
    SFiles files;
    const std::vector<BYTE> counters = RawValue(ListsPath(L"009"), kView, L"Counter");

    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), Load(files.Write(application)));
    EXPECT_EQ(counters, RawValue(ListsPath(L"009"), kView, L"Counter"));
}

TEST(CounterTextLoaderStandInTest, BadCommandLinesAreInvalidParameters)
{
    for (const wchar_t *text : {L"", L"   ", L"NotUsed", L"NotUsed   ", L"\"NotUsed", L"NotUsed \"C:\\unclosed.ini",
                                L"NotUsed \"\""})
    {
        std::wstring load(text);
        std::wstring unload(text);
        load.push_back(L'\0');
        unload.push_back(L'\0');
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), ::LoadPerfCounterTextStringsW(&load[0], TRUE))
            << testing::PrintToString(std::wstring(text));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), ::UnloadPerfCounterTextStringsW(&unload[0], TRUE))
            << testing::PrintToString(std::wstring(text));
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), ::LoadPerfCounterTextStringsW(nullptr, TRUE));
}

TEST(CounterTextLoaderStandInTest, UnloadRemovesTheRangeAndALaterLoadReusesIt)
{
    CLoaderMutexHold hold;
    CApplication application(L"Unload");
    CApplication later(L"Later");
    SFiles files;
    const auto before = Snapshot(application);
    ASSERT_EQ(0u, Load(files.Write(application)));
    const DWORD first = application.Required(L"First Counter");
    ASSERT_EQ(7u, TitlesIn(PerflibTitles(L"009", L"Counter"), first, first + 13).size());

    ASSERT_FALSE(ObjectList(application).empty());

    EXPECT_EQ(0u, Unload(application.Name()));

    DWORD value = 0;
    for (const wchar_t *name : {L"First Counter", L"Last Counter", L"First Help", L"Last Help"})
    {
        EXPECT_FALSE(application.Value(name, value)) << testing::PrintToString(std::wstring(name));
    }
    EXPECT_TRUE(ObjectList(application).empty());
    EXPECT_TRUE(TitlesIn(PerflibTitles(L"009", L"Counter"), first, first + 13).empty());
    EXPECT_TRUE(TitlesIn(PerflibTitles(L"009", L"Help"), first, first + 13).empty());
    // The lists and Perflib's last indexes are as they were before the load.
    EXPECT_EQ(before, Snapshot(application));

    ASSERT_EQ(0u, Load(files.Write(later)));
    EXPECT_EQ(first, later.Required(L"First Counter"));
}

TEST(CounterTextLoaderStandInTest, UnloadOfAnApplicationWithoutTextsChangesNothing)
{
    CLoaderMutexHold hold;
    CApplication unknown(L"Unknown", false);
    EXPECT_EQ(0u, Unload(unknown.Name()));

    CApplication notLoaded(L"NotLoaded");
    const auto before = Snapshot(notLoaded);
    EXPECT_EQ(0u, Unload(notLoaded.Name()));
    EXPECT_EQ(before, Snapshot(notLoaded));
}

TEST(CounterTextLoaderStandInTest, TheAnsiEntryPointsDoTheSameJob)
{
    typedef DWORD(WINAPI * Entry)(LPSTR, BOOL);
    const HMODULE module = ::GetModuleHandleW(L"loadperf.dll");
    ASSERT_NE(nullptr, module);
    const Entry load = reinterpret_cast<Entry>(reinterpret_cast<void *>(::GetProcAddress(module, "LoadPerfCounterTextStringsA")));
    const Entry unload =
        reinterpret_cast<Entry>(reinterpret_cast<void *>(::GetProcAddress(module, "UnloadPerfCounterTextStringsA")));
    ASSERT_NE(nullptr, load);
    ASSERT_NE(nullptr, unload);

    CLoaderMutexHold hold;
    CApplication application(L"Ansi");
    SFiles files;
    const std::wstring ini = files.Write(application);
    std::string commandLine = "NotUsed " + std::string(ini.begin(), ini.end());
    ASSERT_EQ(0u, load(&commandLine[0], TRUE));
    const DWORD first = application.Required(L"First Counter");
    EXPECT_EQ(L"E", TitlesIn(PerflibTitles(L"009", L"Counter"), first + 12, first + 12)[first + 12]);

    std::string name = "NotUsed \"" + std::string(application.Name().begin(), application.Name().end()) + "\"";
    EXPECT_EQ(0u, unload(&name[0], TRUE));
    DWORD value = 0;
    EXPECT_FALSE(application.Value(L"First Counter", value));
}

namespace {

// One change to a good pair of files; in the .ini unless inSymbols.
struct SEdit
{
    bool inSymbols;
    const wchar_t *from;
    const wchar_t *to;
};

// A pair that loads: two objects at 0 and 4, a comment and an alias the symbol file may
// hold, help texts for some symbols only.
const wchar_t kGoodIni[] = L"[info]\r\ndrivername=%APP%\r\nsymbolfile=Rows.h\r\n\r\n"
                           L"[objects]\r\nOBJ_A_009_NAME=\r\nOBJ_C_009_NAME=\r\n\r\n"
                           L"[languages]\r\n009=English\r\n\r\n"
                           L"[text]\r\nOBJ_A_009_NAME=Object A\r\nOBJ_A_009_HELP=Help A\r\n"
                           L"CTR_B_009_NAME=Counter B\r\nCTR_B_009_HELP=Help B\r\n"
                           L"OBJ_C_009_NAME=Object C\r\nCTR_D_009_NAME=Counter D\r\n";
const wchar_t kGoodSymbols[] = L"#define OBJ_A 0 // first object\r\n#define CTR_B 2\r\n#define OBJ_C 4\r\n"
                               L"#define CTR_D 6\r\n#define LAST_OFFSET CTR_D\r\n";

// Adds a language with a NAME for every symbol, so that only its id or its key can matter.
std::vector<SEdit> WithLanguage(const wchar_t *line, const wchar_t *texts)
{
    return {{false, L"009=English\r\n", line}, {false, L"[text]\r\n", texts}};
}

struct SBadFile
{
    const char *what;
    std::vector<SEdit> edits;
    bool byteOrderMark;
    DWORD result;
};

const SBadFile kBadFiles[] = {
    {"as written", {}, true, ERROR_SUCCESS},
    {"offsets with a gap", {{true, L"CTR_D 6", L"CTR_D 8"}}, true, ERROR_INVALID_DATA},
    {"offsets not from 0", {{true, L"OBJ_A 0", L"OBJ_A 8"}}, true, ERROR_INVALID_DATA},
    {"an offset used twice", {{true, L"CTR_D 6", L"CTR_D 4"}}, true, ERROR_INVALID_DATA},
    {"a symbol without NAME", {{false, L"CTR_D_009_NAME=Counter D\r\n", L""}}, true, ERROR_INVALID_DATA},
    {"a symbol with an empty NAME", {{false, L"=Counter D", L"="}}, true, ERROR_INVALID_DATA},
    {"a language id of an LCID",
     WithLanguage(L"009=English\r\n1033=English\r\n",
                  L"[text]\r\nOBJ_A_1033_NAME=a\r\nCTR_B_1033_NAME=b\r\nOBJ_C_1033_NAME=c\r\nCTR_D_1033_NAME=d\r\n"),
     true, ERROR_INVALID_DATA},
    {"a language id not hexadecimal",
     WithLanguage(L"009=English\r\n00G=G\r\n",
                  L"[text]\r\nOBJ_A_00G_NAME=a\r\nCTR_B_00G_NAME=b\r\nOBJ_C_00G_NAME=c\r\nCTR_D_00G_NAME=d\r\n"),
     true, ERROR_INVALID_DATA},
    // Loaded, its texts not copied, and no key made for it.
    {"a language without a Perflib subkey",
     WithLanguage(L"009=English\r\n07F=Invariant\r\n",
                  L"[text]\r\nOBJ_A_07F_NAME=a\r\nCTR_B_07F_NAME=b\r\nOBJ_C_07F_NAME=c\r\nCTR_D_07F_NAME=d\r\n"),
     true, ERROR_SUCCESS},
    {"no byte order mark", {}, false, ERROR_INVALID_DATA},
    {"an object naming no symbol", {{false, L"OBJ_C_009_NAME=\r\n", L"OBJ_Z_009_NAME=\r\n"}}, true, ERROR_INVALID_DATA},
    {"an object in a language not listed", {{false, L"OBJ_C_009_NAME=\r\n", L"OBJ_C_00C_NAME=\r\n"}}, true,
     ERROR_INVALID_DATA},
    {"a symbol file in another folder", {{false, L"symbolfile=Rows.h", L"symbolfile=..\\Rows.h"}}, true,
     ERROR_INVALID_DATA},
};

std::wstring Edited(std::wstring text, const std::vector<SEdit> &edits, bool inSymbols)
{
    for (const auto &edit : edits)
    {
        const size_t at = text.find(edit.from);
        if (edit.inSymbols == inSymbols && at != std::wstring::npos)
        {
            text.replace(at, std::wcslen(edit.from), edit.to);
        }
    }
    return text;
}

// The native status of opening HKLM\path (the 64-bit view).
NTSTATUS OpenStatus(const std::wstring &path)
{
    NTSTATUS status = 0;
    const HKEY key = OpenMachineKey(path, KEY_QUERY_VALUE | kView, &status);
    if (key)
    {
        ::RegCloseKey(key);
    }
    return status;
}

const NTSTATUS kNameNotFound = static_cast<NTSTATUS>(0xC0000034);

} // namespace

// Each row differs from the good pair by one change, so its result is that change's.
TEST(CounterTextLoaderStandInTest, BadFilesAreRefusedOrSkippedAsDocumented)
{
    const std::wstring invariant = std::wstring(kPerflib) + L"\\07F";
    const std::wstring substitute = std::wstring(TESSALY_COUNTER_TEXT_LOADER_SUBSTITUTE_LISTS) + L"\\07F";
    ASSERT_EQ(kNameNotFound, OpenStatus(invariant)) << "the language the system does not have";
    for (const SBadFile &row : kBadFiles)
    {
        SCOPED_TRACE(row.what);
        CLoaderMutexHold hold;
        CApplication application(L"Rules");
        TestSupport::CScratchDirectory folder(L"rules");
        std::wstring ini = Edited(kGoodIni, row.edits, false);
        ini.replace(ini.find(L"%APP%"), 5, application.Name());
        const std::string bytes = CorvaneTools::Win32::Utf16LETextFileBytes(ini);
        TestSupport::WriteBytes(folder / L"Rows.ini", row.byteOrderMark ? bytes : std::string(ini.begin(), ini.end()));
        const std::wstring symbols = Edited(kGoodSymbols, row.edits, true);
        TestSupport::WriteBytes(folder / L"Rows.h", std::string(symbols.begin(), symbols.end()));
        const auto before = Snapshot(application);

        EXPECT_EQ(row.result, Load(folder / L"Rows.ini"));

        EXPECT_EQ(kNameNotFound, OpenStatus(invariant));
        EXPECT_EQ(kNameNotFound, OpenStatus(substitute));
        if (row.result != ERROR_SUCCESS)
        {
            EXPECT_EQ(before, Snapshot(application));
            continue;
        }
        const DWORD first = application.Required(L"First Counter");
        EXPECT_EQ(first + 6, application.Required(L"Last Counter"));
        EXPECT_EQ(first + 7, application.Required(L"Last Help"));
        EXPECT_EQ(StringRaw(std::to_wstring(first) + L" " + std::to_wstring(first + 4)), ObjectList(application));
        const std::map<DWORD, std::wstring> names{
            {first, L"Object A"}, {first + 2, L"Counter B"}, {first + 4, L"Object C"}, {first + 6, L"Counter D"}};
        const std::map<DWORD, std::wstring> help{{first + 1, L"Help A"}, {first + 3, L"Help B"}};
        EXPECT_EQ(names, TitlesIn(PerflibTitles(L"009", L"Counter"), first, first + 7));
        EXPECT_EQ(help, TitlesIn(PerflibTitles(L"009", L"Help"), first, first + 7));
    }
}
