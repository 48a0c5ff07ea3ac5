#include "perfmon/PerformanceCounterInstaller.h"
#include "perfmon/RawImage.h"
#include "win32/errors/Exception.h"
#include "win32/system/SystemDirectories.h"
#include "win32/system/WOW64FileSystemRedirector.h"

#include "tests/perfmon/TestDlls.h"
#include "tests/support/CatchException.h"
#include "tests/support/NativeFileSystem.h"
#include "tests/support/ScratchDirectory.h"
#include "tests/support/TestNames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using namespace CorvaneTools::PerfMon;
using CorvaneTools::Win32::CException;
using CorvaneTools::Win32::CWOW64FileSystemRedirector;
using namespace TestSupport;

namespace {

// The platform's own files: the 64-bit system directory is only visible to 32-bit code
// with redirection off.
std::unique_ptr<CRawImage> OpenSystemFile(const std::wstring &name, bool native64)
{
    CWOW64FileSystemRedirector redirector;
#if !defined(_WIN64)
    if (native64)
    {
        redirector.Disable();
    }
    // With redirection on, the name of the system directory leads to the 32-bit one.
    const std::wstring directory = CorvaneTools::Win32::GetSystemDirectory();
#else
    const std::wstring directory = native64 ? CorvaneTools::Win32::GetSystemDirectory()
                                            : CorvaneTools::Win32::GetSystemWow64Directory();
#endif
    return std::unique_ptr<CRawImage>(new CRawImage(directory + L"\\" + name, true));
}

std::wstring InvalidMessage(const std::wstring &path)
{
    return L"PerformanceCounterDll: \"" + path + L"\" is not a valid dll image file.";
}

template <typename T>
T Get(const std::string &bytes, size_t offset)
{
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(value));
    return value;
}

template <typename T>
void Put(std::string &bytes, size_t offset, T value)
{
    std::memcpy(&bytes[offset], &value, sizeof(value));
}

// File offsets of the structures of a well-formed image, found independently of CRawImage.
struct Layout
{
    size_t ntHeaders;
    size_t optionalHeader;
    size_t sectionTable;
    size_t sectionTableEnd;
    size_t exportEntry;
    size_t exportDirectory;
    size_t names;
    size_t firstName;
};

size_t FileOffset(const std::string &bytes, const Layout &layout, DWORD rva)
{
    for (size_t at = layout.sectionTable; at < layout.sectionTableEnd; at += sizeof(IMAGE_SECTION_HEADER))
    {
        const DWORD address = Get<DWORD>(bytes, at + offsetof(IMAGE_SECTION_HEADER, VirtualAddress));
        const DWORD rawSize = Get<DWORD>(bytes, at + offsetof(IMAGE_SECTION_HEADER, SizeOfRawData));
        if (rva >= address && rva - address < rawSize)
        {
            return Get<DWORD>(bytes, at + offsetof(IMAGE_SECTION_HEADER, PointerToRawData)) + (rva - address);
        }
    }
    throw std::runtime_error("rva outside every section");
}

Layout Analyse(const std::string &bytes)
{
    Layout layout;
    layout.ntHeaders = Get<LONG>(bytes, 0x3C);
    const size_t fileHeader = layout.ntHeaders + 4;
    layout.optionalHeader = fileHeader + sizeof(IMAGE_FILE_HEADER);
    const WORD optionalSize = Get<WORD>(bytes, fileHeader + offsetof(IMAGE_FILE_HEADER, SizeOfOptionalHeader));
    const WORD sections = Get<WORD>(bytes, fileHeader + offsetof(IMAGE_FILE_HEADER, NumberOfSections));
    layout.sectionTable = layout.optionalHeader + optionalSize;
    layout.sectionTableEnd = layout.sectionTable + sections * sizeof(IMAGE_SECTION_HEADER);
    const bool is64 = Get<WORD>(bytes, layout.optionalHeader) == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
    layout.exportEntry = layout.optionalHeader + (is64 ? offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory)
                                                       : offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory));
    layout.exportDirectory = FileOffset(bytes, layout, Get<DWORD>(bytes, layout.exportEntry));
    layout.names = FileOffset(
        bytes, layout, Get<DWORD>(bytes, layout.exportDirectory + offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfNames)));
    layout.firstName = FileOffset(bytes, layout, Get<DWORD>(bytes, layout.names));
    return layout;
}

} // namespace

TEST(RawImageTest, ClassifiesThePlatformsOwnFiles)
{
    {
        std::unique_ptr<CRawImage> kernel32 = OpenSystemFile(L"kernel32.dll", true);
        EXPECT_TRUE(kernel32->IsValidImage());
        EXPECT_TRUE(kernel32->IsDLL());
        EXPECT_TRUE(kernel32->IsX64());
        EXPECT_FALSE(kernel32->IsX86());
        EXPECT_NE(0u, kernel32->ExportsFunction(L"GetProcAddress"));
        EXPECT_NE(0u, kernel32->ExportsFunction(L"CreateFileW"));
        EXPECT_EQ(0u, kernel32->ExportsFunction(L"getprocaddress"));
        EXPECT_EQ(0u, kernel32->ExportsFunction(L"GetProcAddres"));
        EXPECT_EQ(0u, kernel32->ExportsFunction(L"GetProcAddressX"));
    }
    // A prefix made by the 64-bit loader alone has no 32-bit system files.
    const bool has32BitSystem = TestSupport::CanStart32BitPrograms();
    if (has32BitSystem)
    {
        std::unique_ptr<CRawImage> kernel32 = OpenSystemFile(L"kernel32.dll", false);
        EXPECT_TRUE(kernel32->IsValidImage());
        EXPECT_TRUE(kernel32->IsDLL());
        EXPECT_TRUE(kernel32->IsX86());
        EXPECT_FALSE(kernel32->IsX64());
        EXPECT_NE(0u, kernel32->ExportsFunction(L"GetProcAddress"));
        EXPECT_EQ(0u, kernel32->ExportsFunction(L"NoSuchFunction"));
    }
    for (bool native64 : {true, false})
    {
        if (!native64 && !has32BitSystem)
        {
            continue;
        }
        std::unique_ptr<CRawImage> notepad = OpenSystemFile(L"notepad.exe", native64);
        EXPECT_TRUE(notepad->IsValidImage());
        EXPECT_FALSE(notepad->IsDLL());
        EXPECT_EQ(native64, notepad->IsX64());
        EXPECT_EQ(!native64, notepad->IsX86());
    }
    // Different functions have different addresses; the same name the same one.
    std::unique_ptr<CRawImage> version = OpenSystemFile(L"version.dll", true);
    EXPECT_NE(version->ExportsFunction(L"GetFileVersionInfoW"), version->ExportsFunction(L"GetFileVersionInfoA"));
    EXPECT_EQ(version->ExportsFunction(L"GetFileVersionInfoW"), version->ExportsFunction(L"GetFileVersionInfoW"));
}

TEST(RawImageTest, ValidationOfNonImages)
{
    CScratchDirectory scratch(L"RawImage");
    WriteBytes(scratch / L"text.dll", "This is not an image at all, only some text that is long enough to be read.");
    EXPECT_EQ(L"Unexpected image file format",
              CatchException<CException>([&] { CRawImage image(scratch / L"text.dll", true); }).GetMessage());
    CRawImage text(scratch / L"text.dll", false);
    EXPECT_FALSE(text.IsValidImage());
    EXPECT_EQ(0u, text.ExportsFunction(L"PerfData_Open"));

    // A machine that is neither x86 nor x64.
    std::string bytes = ReadBytes(TestDll(L"TessalyTestCounters"));
    Put<WORD>(bytes, Analyse(bytes).ntHeaders + 4, IMAGE_FILE_MACHINE_ARMNT);
    WriteBytes(scratch / L"arm.dll", bytes);
    EXPECT_EQ(L"Unsupported image file (machine not x86 or x64)",
              CatchException<CException>([&] { CRawImage image(scratch / L"arm.dll", true); }).GetMessage());
    EXPECT_FALSE(CRawImage(scratch / L"arm.dll", false).IsValidImage());
    const CException arm = CatchException<CException>([&] {
        CPerformanceCounterInstaller::ValidateDLL(scratch / L"arm.dll", true, L"PerfData_Open", L"PerfData_Collect",
                                                  L"PerfData_Close");
    });
    EXPECT_EQ(L"CPerformanceCounterInstaller::ValidateDLL()", arm.GetWhere());
    EXPECT_EQ(InvalidMessage(scratch / L"arm.dll"), arm.GetMessage());
}

// Cut or crafted copies of a real DLL: each is refused as an invalid image, never read
// outside the file.
TEST(RawImageTest, TruncatedAndCraftedCopiesAreRefused)
{
    CScratchDirectory scratch(L"RawImageCut");
    std::string original;
    {
        CNativeFileSystem native;
        original = ReadBytes(CorvaneTools::Win32::GetSystemDirectory() + L"\\version.dll");
    }
    ASSERT_GT(original.size(), 4096u);
    const Layout layout = Analyse(original);
    WriteBytes(scratch / L"whole.dll", original);
    EXPECT_TRUE(CRawImage(scratch / L"whole.dll", true).IsValidImage());
    EXPECT_NE(0u, CRawImage(scratch / L"whole.dll", true).ExportsFunction(L"GetFileVersionInfoW"));

    const size_t cuts[] = {0,
                           1,
                           0x3C,
                           0x3F,
                           sizeof(IMAGE_DOS_HEADER),
                           layout.ntHeaders,
                           layout.ntHeaders + 4,
                           layout.optionalHeader - 1,
                           layout.optionalHeader,
                           layout.sectionTable - 1,
                           layout.sectionTable + 1,
                           layout.sectionTableEnd - 1,
                           layout.exportDirectory,
                           layout.exportDirectory + sizeof(IMAGE_EXPORT_DIRECTORY) - 1,
                           layout.names + 2,
                           layout.firstName + 3};
    int index = 0;
    for (size_t cut : cuts)
    {
        const std::wstring path = scratch / (L"cut" + std::to_wstring(index++) + L".dll");
        WriteBytes(path, original.substr(0, cut));
        SCOPED_TRACE(cut);
        CRawImage image(path, false);
        EXPECT_FALSE(image.IsValidImage());
        EXPECT_EQ(0u, image.ExportsFunction(L"GetFileVersionInfoW"));
        EXPECT_THROW(CRawImage(path, true), CException);
        EXPECT_EQ(InvalidMessage(path), CatchException<CException>([&] {
                                            CPerformanceCounterInstaller::ValidateDLL(path, true, L"GetFileVersionInfoW",
                                                                                      L"GetFileVersionInfoA",
                                                                                      L"VerQueryValueW");
                                        }).GetMessage());
    }

    struct Craft
    {
        const wchar_t *name;
        size_t offset;
        DWORD value;
    };
    const Craft crafts[] = {
        {L"lfanew past the end", 0x3C, 0x7FFFFFF0},
        {L"lfanew negative", 0x3C, 0x80000000},
        {L"lfanew at the last byte", 0x3C, static_cast<DWORD>(original.size() - 1)},
        {L"optional header longer than the file", layout.ntHeaders + 4 + offsetof(IMAGE_FILE_HEADER, SizeOfOptionalHeader), 0xFFFF},
        {L"export directory outside the file", layout.exportEntry, 0x7FFFFF00},
        {L"export directory in no section's data", layout.exportEntry, 0x10},
        {L"function table outside the file", layout.exportDirectory + offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfFunctions), 0x7FFFFF00},
        {L"name table outside the file", layout.exportDirectory + offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfNames), 0x7FFFFF00},
        {L"too many functions", layout.exportDirectory + offsetof(IMAGE_EXPORT_DIRECTORY, NumberOfFunctions), 0x40000000},
        {L"too many names", layout.exportDirectory + offsetof(IMAGE_EXPORT_DIRECTORY, NumberOfNames), 0xFFFFFFFF},
        {L"name pointer outside the file", layout.names, 0x7FFFFF00},
    };
    for (const Craft &craft : crafts)
    {
        SCOPED_TRACE(std::string(craft.name, craft.name + wcslen(craft.name)));
        std::string bytes = original;
        Put<DWORD>(bytes, craft.offset, craft.value);
        if (craft.offset == layout.ntHeaders + 4 + offsetof(IMAGE_FILE_HEADER, SizeOfOptionalHeader))
        {
            Put<WORD>(bytes, craft.offset, static_cast<WORD>(craft.value));
        }
        const std::wstring path = scratch / (L"craft" + std::to_wstring(index++) + L".dll");
        WriteBytes(path, bytes);
        CRawImage image(path, false);
        EXPECT_FALSE(image.IsValidImage());
        EXPECT_EQ(0u, image.ExportsFunction(L"GetFileVersionInfoW"));
        EXPECT_EQ(0u, image.ExportsFunction(L"VerQueryValueW"));
    }

    // A name that runs to the end of the file without its zero.
    std::string unterminated = original;
    const size_t nameOffset = original.size() - 4;
    std::memset(&unterminated[nameOffset], 'A', 4);
    Put<DWORD>(unterminated, layout.names, Get<DWORD>(original, layout.names) + static_cast<DWORD>(nameOffset - layout.firstName));
    const std::wstring path = scratch / L"unterminated.dll";
    WriteBytes(path, unterminated);
    EXPECT_FALSE(CRawImage(path, false).IsValidImage());
}

TEST(RawImageTest, ExportAddressesAreTheOnesTheLoaderFinds)
{
    const std::wstring path = TestDll(L"TessalyTestCounters");
    CRawImage image(path, true);
    const HMODULE module = ::LoadLibraryW(path.c_str());
    ASSERT_NE(nullptr, module);
    for (const char *name : {"PerfData_Open", "PerfData_Collect", "PerfData_Close"})
    {
        const std::wstring wide(name, name + std::strlen(name));
        const BYTE *loaded = reinterpret_cast<const BYTE *>(::GetProcAddress(module, name));
        ASSERT_NE(nullptr, loaded) << name;
        EXPECT_EQ(static_cast<DWORD>(loaded - reinterpret_cast<const BYTE *>(module)), image.ExportsFunction(wide))
            << name;
    }
    ::FreeLibrary(module);
    EXPECT_EQ(0u, CRawImage(TestDll(L"TessalyTestNoCollect"), true).ExportsFunction(L"PerfData_Collect"));
    EXPECT_NE(0u, CRawImage(TestDll(L"TessalyTestNoCollect"), true).ExportsFunction(L"PerfData_Close"));
    EXPECT_TRUE(CRawImage(TestDll(L"TessalyTestCounters", OtherArchitecture()), true).IsDLL());
}
