#include "tests/perfmon/CounterTextLoaderStandIn.h"

using namespace StandInTestSupport;

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
