#include "win32/crash/MiniDumper.h"
#include "win32/errors/Exception.h"

#include "tests/support/CatchException.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScratchDirectory.h"
#include "tests/support/UnsafeFolders.h"
#include "tests/win32/crash/CrashDumpTestSupport.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <regex>

using namespace CorvaneTools::Win32;
using CrashDumpTests::Narrow;

namespace {

std::wstring ProgramFileName()
{
    const std::wstring path = TestSupport::ThisProgram();
    return path.substr(path.find_last_of(L'\\') + 1);
}

DWORD Read32(const std::string &bytes, size_t offset)
{
    DWORD value = 0;
    if (offset + 4 <= bytes.size())
    {
        std::memcpy(&value, bytes.data() + offset, 4);
    }
    return value;
}

// The thread id and exception code of a dump's exception stream; zeros without one.
std::pair<DWORD, DWORD> ExceptionOf(const std::string &dump)
{
    const DWORD streams = Read32(dump, 8);
    const DWORD directory = Read32(dump, 12);
    for (DWORD i = 0; i < streams; ++i)
    {
        const size_t entry = directory + i * 12;
        if (Read32(dump, entry) == ExceptionStream)
        {
            const DWORD rva = Read32(dump, entry + 8);
            return {Read32(dump, rva), Read32(dump, rva + 8)};
        }
    }
    return {0, 0};
}

} // namespace

TEST(MiniDumperTest, WritesSmallAndMediumDumpsWithAndWithoutExceptionInformation)
{
    TestSupport::CScratchDirectory scratch(L"MiniDumper");
    CONTEXT context = {};
    ::RtlCaptureContext(&context);
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = EXCEPTION_INT_DIVIDE_BY_ZERO;
    EXCEPTION_POINTERS pointers = {&record, &context};
    for (DWORD kind : {0u, 1u})
    {
        for (EXCEPTION_POINTERS *information : {static_cast<EXCEPTION_POINTERS *>(nullptr), &pointers})
        {
            CMiniDumper dumper(scratch.Path(), kind, 0);
            const std::wstring name = scratch / L"dump.dmp";
            ASSERT_TRUE(dumper.CreateMiniDump(name, information)) << kind;
            const std::string bytes = TestSupport::ReadBytes(name);
            EXPECT_EQ("MDMP", bytes.substr(0, 4)) << kind;
            // Without information the dump is written while a raised access violation is handled.
            const DWORD code = information ? EXCEPTION_INT_DIVIDE_BY_ZERO : EXCEPTION_ACCESS_VIOLATION;
            EXPECT_EQ(std::make_pair(::GetCurrentThreadId(), code), ExceptionOf(bytes)) << kind;
            std::cout << "kind " << kind << (information ? " with" : " without") << " exception information: "
                      << bytes.size() << " bytes\n";
            ASSERT_TRUE(::DeleteFileW(name.c_str()));
        }
    }
}

TEST(MiniDumperTest, AnUnknownDumpIdOrAnUncreatableFileWritesNothing)
{
    TestSupport::CScratchDirectory scratch(L"MiniDumper");
    CMiniDumper dumper(scratch.Path(), 0, 0);
    bool result = true;
    dumper.CreateMiniDumpFromException(4, scratch / L"four.dmp", nullptr, result);
    EXPECT_FALSE(result);
    EXPECT_FALSE(TestSupport::Exists(scratch / L"four.dmp"));
    EXPECT_FALSE(dumper.CreateMiniDump(scratch / L"missing\\dump.dmp", nullptr));
    EXPECT_FALSE(CMiniDumper(scratch.Path(), 3, 0).CreateMiniDump(scratch / L"kind3.dmp", nullptr));
    EXPECT_FALSE(TestSupport::Exists(scratch / L"kind3.dmp"));
}

TEST(MiniDumperTest, FileNamesCarryThePartsTheFlagsAskFor)
{
    const std::wstring directory = L"C:\\dumps";
    const std::string prefix = "C:\\\\dumps\\\\" + std::regex_replace(Narrow(ProgramFileName()), std::regex("\\."), "\\.");
    const std::string pid = std::to_string(::GetCurrentProcessId());
    const std::string tid = std::to_string(::GetCurrentThreadId());
    const struct
    {
        DWORD flags;
        std::string pattern;
    } cases[] = {
        {0, prefix + "\\.dmp"},
        {4, prefix + "-\\d{8}-\\d{6}\\.dmp"},
        {1, prefix + "-" + pid + "\\.dmp"},
        {2, prefix + "-" + tid + "\\.dmp"},
        {16, prefix + "-[1-9]\\d*\\.dmp"},
        {255, prefix + "-\\d{8}-\\d{6}-" + pid + "-" + tid + "-[1-9]\\d*\\.dmp"},
    };
    for (const auto &c : cases)
    {
        CMiniDumper dumper(directory, 0, c.flags);
        const std::string name = Narrow(dumper.GetDumpFileName());
        EXPECT_TRUE(std::regex_match(name, std::regex(c.pattern))) << c.flags << ": " << name;
    }

    CMiniDumper sequenced(directory, 0, 16);
    const std::wstring first = sequenced.GetDumpFileName();
    const std::wstring second = sequenced.GetDumpFileName();
    const auto number = [](const std::wstring &name) { return std::stoul(name.substr(name.rfind(L'-') + 1)); };
    EXPECT_EQ(number(first) + 1, number(second));

    EXPECT_EQ(TestSupport::ThisProgram(), CMiniDumper(0, 0).GetDumpFileNamePrefix());
    EXPECT_EQ(directory + L"\\" + ProgramFileName(), CMiniDumper(directory, 1, 0).GetDumpFileNamePrefix());
}

TEST(MiniDumperTest, DumpTypesLoseWhatTheLibraryLevelOrADebuggerRulesOut)
{
    EXPECT_EQ(0x20050u, CMiniDumper::GetDumpType(0));
    EXPECT_EQ(0x21A25u, CMiniDumper::GetDumpType(1));
    EXPECT_EQ(0x21826u, CMiniDumper::GetDumpType(2));
    const struct
    {
        DWORD type;
        DWORD level;
        bool debugger;
        DWORD expected;
    } cases[] = {
        {0x21A25, 61, false, 0x225}, {0x21A25, 61, true, 0x25},      {0x21A25, 63, false, 0x21A25},
        {0x21A25, 68, true, 0x21825}, {0x21A25, 52, false, 0x225},   {0x21A25, 40, false, 0x5},
        {0x20050, 51, false, 0x10},   {0x21826, 0, false, 0x6},      {0x7FFFF, 52, false, 0xC3FF},
    };
    for (const auto &c : cases)
    {
        EXPECT_EQ(c.expected, CMiniDumper::ReduceDumpType(c.type, c.level, c.debugger))
            << std::hex << c.type << " level " << std::dec << c.level << " debugger " << c.debugger;
    }
}

TEST(MiniDumperTest, LevelComesFromTheFirstCapabilityExportFound)
{
    // This platform's library exports the whole table.
    EXPECT_EQ(68u, CMiniDumper(0, 0).GetDbgHelpLevel());
    EXPECT_TRUE(CMiniDumper(0, 0).HasWriter());
    EXPECT_EQ(0u, CMiniDumper::GetDbgHelpLevel(CLibraryLoader(L"kernel32.dll", true)));
    EXPECT_EQ(0u, CMiniDumper::GetDbgHelpLevel(CLibraryLoader(L"NoSuchLibrary.dll", false)));
}

TEST(MiniDumperTest, CallbackFiltersModulesByMode)
{
    CMiniDumper dumper(0, 0);
    dumper.AddRequiredModule(L"C:\\Program Files\\Tessaly\\tessaly.dll");
    wchar_t required[] = L"D:\\elsewhere\\TESSALY.DLL";
    wchar_t other[] = L"C:\\windows\\system32\\kernel32.dll";
    const ULONG all = ModuleWriteModule | ModuleWriteDataSeg | ModuleReferencedByMemory;
    const struct
    {
        ULONG type;
        wchar_t *path;
        ULONG flagsIn;
        DWORD mode;
        bool expectedResult;
        ULONG expectedFlags;
    } cases[] = {
        {ThreadCallback, nullptr, all, 1, true, all},
        {ThreadExCallback, nullptr, all, 1, true, all},
        {IncludeThreadCallback, nullptr, all, 2, true, all},
        {IncludeModuleCallback, nullptr, all, 2, true, all},
        {MemoryCallback, nullptr, all, 1, false, all},
        {ModuleCallback, other, all, 1, true, all},
        {ModuleCallback, other, ModuleWriteModule | ModuleWriteDataSeg, 1, true, ModuleWriteDataSeg},
        {ModuleCallback, required, all, 2, true, all},
        {ModuleCallback, other, all, 2, true, ModuleWriteModule | ModuleReferencedByMemory},
        {ModuleCallback, other, ModuleWriteModule, 2, true, ModuleWriteModule},
    };
    for (const auto &c : cases)
    {
        MINIDUMP_CALLBACK_INPUT input = {};
        input.CallbackType = c.type;
        input.Module.FullPath = c.path;
        MINIDUMP_CALLBACK_OUTPUT output = {};
        output.ModuleWriteFlags = c.flagsIn;
        EXPECT_EQ(c.expectedResult, dumper.MiniDumpCallback(&input, &output, c.mode)) << c.type << " " << c.mode;
        if (c.type == ModuleCallback)
        {
            EXPECT_EQ(c.expectedFlags, output.ModuleWriteFlags) << c.mode << " " << c.flagsIn;
        }
    }
    MINIDUMP_CALLBACK_OUTPUT output = {};
    EXPECT_FALSE(dumper.MiniDumpCallback(nullptr, &output, 1));
}

TEST(MiniDumperTest, RequiredModulesAreUpperCaseBaseNamesStartingWithTheProgram)
{
    CMiniDumper dumper(0, 0);
    EXPECT_TRUE(dumper.IsRequiredModule(TestSupport::ThisProgram()));
    EXPECT_FALSE(dumper.IsRequiredModule(L"C:\\windows\\system32\\ntdll.dll"));
    dumper.AddRequiredModule(L"C:\\windows\\system32\\NtDll.dll");
    EXPECT_TRUE(dumper.IsRequiredModule(L"ntdll"));
    EXPECT_EQ(L"NTDLL", CMiniDumper::GetUpperBaseName(L"c:\\x\\ntdll.dll"));

    const CException e = TestSupport::CatchException<CException>(
        [&] { dumper.AddRequiredModule(L"C:\\" + std::wstring(300, L'a') + L".dll"); });
    EXPECT_EQ(L"CMiniDumper::AddRequiredModule()", e.GetWhere());
    EXPECT_EQ(L"Path split failed: 34", e.GetMessage());
}

namespace {

// Keeps the descriptor the dumper hands to the file's creation, as text.
class CDescriptorRecordingDumper : public CMiniDumper
{
public:
    using CMiniDumper::CMiniDumper;

    HANDLE CreateDumpFile(const std::wstring &fileName, SECURITY_ATTRIBUTES *security) override
    {
        LPWSTR text = nullptr;
        if (security && ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
                            security->lpSecurityDescriptor, SDDL_REVISION_1,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr))
        {
            m_passed = text;
            ::LocalFree(text);
        }
        m_inheritable = security && security->bInheritHandle;
        return CMiniDumper::CreateDumpFile(fileName, security);
    }

    std::wstring m_passed;
    bool m_inheritable = true;
};

std::wstring SidText(PSID sid)
{
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text))
    {
        return L"?";
    }
    const std::wstring result(text);
    ::LocalFree(text);
    return result;
}

std::wstring OwnUserSid()
{
    HANDLE token = nullptr;
    ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token);
    BYTE buffer[256];
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size);
    ::CloseHandle(token);
    return SidText(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid);
}

} // namespace

// The dump holds the process's memory: only SYSTEM and Administrators may read it. This
// platform keeps no descriptor of its own: it turns the one given into Unix mode bits and
// reads back SYSTEM and the owner (this process's user, standing for Administrators), so
// the descriptor handed over is checked where it is handed over, and the one read back
// for granting nobody else anything.
TEST(MiniDumperTest, TheDumpFileIsReadableBySystemAndAdministratorsOnly)
{
    TestSupport::CScratchDirectory scratch(L"MiniDumper");
    CDescriptorRecordingDumper dumper(scratch.Path(), 0, 0);
    const std::wstring name = scratch / L"private.dmp";
    ASSERT_TRUE(dumper.CreateMiniDump(name, nullptr));
    EXPECT_EQ(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", dumper.m_passed);
    EXPECT_FALSE(dumper.m_inheritable);

    const HANDLE file = ::CreateFileW(name.c_str(), READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              ::GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                &descriptor));
    ::CloseHandle(file);
    ASSERT_NE(nullptr, dacl);
    const std::wstring allowed[] = {L"S-1-5-18", L"S-1-5-32-544", OwnUserSid()};
    for (DWORD index = 0; index < dacl->AceCount; ++index)
    {
        ACCESS_ALLOWED_ACE *ace = nullptr;
        ASSERT_TRUE(::GetAce(dacl, index, reinterpret_cast<void **>(&ace)));
        const std::wstring sid = SidText(&ace->SidStart);
        std::printf("  read back: type %u, %s, access 0x%08lx\n", ace->Header.AceType, Narrow(sid).c_str(),
                    static_cast<unsigned long>(ace->Mask));
        if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE)
        {
            EXPECT_NE(std::end(allowed), std::find(std::begin(allowed), std::end(allowed), sid)) << Narrow(sid);
        }
    }
    ::LocalFree(descriptor);
}

// A file or a link at the dump's name is someone else's: it is never written through.
TEST(MiniDumperTest, ANameAlreadyTakenIsLeftAloneAndNothingIsWritten)
{
    TestSupport::CScratchDirectory scratch(L"MiniDumper");
    TestSupport::WriteBytes(scratch / L"elsewhere.txt", "a file the link points at");
    TestSupport::WriteBytes(scratch / L"planted.dmp", "planted");
    ASSERT_TRUE(TestSupport::MakeLink(scratch / L"link.dmp", scratch / L"elsewhere.txt", false));
    TestSupport::WriteBytes(scratch / L"gone.txt", "deleted once linked");
    ASSERT_TRUE(TestSupport::MakeLink(scratch / L"nowhere.dmp", scratch / L"gone.txt", false));
    ASSERT_TRUE(::DeleteFileW((scratch / L"gone.txt").c_str()));
    CMiniDumper dumper(scratch.Path(), 0, 0);
    for (const wchar_t *taken : {L"planted.dmp", L"link.dmp", L"nowhere.dmp"})
    {
        EXPECT_FALSE(dumper.CreateMiniDump(scratch / taken, nullptr)) << Narrow(taken);
    }
    EXPECT_EQ("planted", TestSupport::ReadBytes(scratch / L"planted.dmp"));
    EXPECT_EQ("a file the link points at", TestSupport::ReadBytes(scratch / L"elsewhere.txt"));
    EXPECT_FALSE(TestSupport::Exists(scratch / L"gone.txt"));
}
