#include "tests/perfmon/CounterTextLoaderStandIn.h"

using namespace StandInTestSupport;

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
