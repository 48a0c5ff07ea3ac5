#include "win32/files/ProtectedFolder.h"
#include "win32/handles/SmartHandle.h"
#include "win32/security/ObjectSecurity.h"

#include "tests/support/ScratchDirectory.h"
#include "tests/support/UnsafeFolders.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <functional>

using namespace CorvaneTools::Win32;

namespace {

std::string Narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

// The folder's owner and access list as descriptor text.
std::wstring DescriptorOf(const std::wstring &path)
{
    const CSmartHandle folder(::CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!folder.IsValid() ||
        ::GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
    {
        return L"(unreadable)";
    }
    LPWSTR text = nullptr;
    ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
        descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr);
    const std::wstring result = text ? text : L"(unconvertible)";
    ::LocalFree(text);
    ::LocalFree(descriptor);
    return result;
}

struct FolderCase
{
    const char *name;
    // Makes the folder to judge at the path, given the scratch folder; false when the
    // platform cannot.
    std::function<bool(const std::wstring &path, const TestSupport::CScratchDirectory &scratch)> make;
    // The beginning of the reason it is refused; empty when it may be used.
    std::wstring refusedBecause;
};

const FolderCase s_folders[] = {
    {"MadeProtected", [](const std::wstring &path, const auto &) { CreateProtectedDirectories(path); return true; },
     L""},
    {"MadePlainly", [](const std::wstring &path, const auto &) { return ::CreateDirectoryW(path.c_str(), nullptr) != 0; },
     L""},
    {"WritableByEveryone",
     [](const std::wstring &path, const auto &) { return TestSupport::MakeFolderWritableByEveryone(path); },
     L"it grants S-1-1-0 access 0x"},
    {"ALinkToAFolder",
     [](const std::wstring &path, const auto &scratch) {
         return ::CreateDirectoryW((scratch / L"target").c_str(), nullptr) &&
                TestSupport::MakeLink(path, scratch / L"target", true);
     },
     L"it is a reparse point (a link, junction or mount point)"},
    {"AFile",
     [](const std::wstring &path, const auto &) {
         TestSupport::WriteBytes(path, "not a folder");
         return true;
     },
     L"it is not a folder"},
    {"Missing", [](const std::wstring &, const auto &) { return true; }, L"its attributes cannot be read (error 2)"},
};

} // namespace

TEST(ProtectedFolderTest, RefusesLinksAndFoldersOthersMayWriteInto)
{
    for (const FolderCase &c : s_folders)
    {
        SCOPED_TRACE(c.name);
        const TestSupport::CScratchDirectory scratch(L"ProtectedFolder");
        const std::wstring path = scratch / L"judged";
        if (!c.make(path, scratch))
        {
            ADD_FAILURE() << "this platform could not make the folder";
            continue;
        }
        const std::wstring why = FindFolderHazard(path);
        std::printf("  %s: %s; refused: %s\n", c.name, Narrow(DescriptorOf(path)).c_str(),
                    why.empty() ? "no" : Narrow(why).c_str());
        EXPECT_EQ(c.refusedBecause, why.substr(0, c.refusedBecause.size())) << Narrow(why);
        EXPECT_EQ(c.refusedBecause.empty(), why.empty()) << Narrow(why);
        TestSupport::RemoveHostLink(path);
    }
}

// Every folder made on the way gets the descriptor; folders already there keep theirs.
TEST(ProtectedFolderTest, MakesEachMissingFolderWithTheReadableFolderDescriptor)
{
    const TestSupport::CScratchDirectory scratch(L"ProtectedFolder");
    ASSERT_TRUE(TestSupport::MakeFolderWritableByEveryone(scratch / L"open"));
    CreateProtectedDirectories(scratch / L"open\\a\\b");
    CreateProtectedDirectories(scratch / L"open\\a\\b");
    EXPECT_FALSE(FindFolderHazard(scratch / L"open").empty());
    for (const wchar_t *made : {L"open\\a", L"open\\a\\b"})
    {
        SCOPED_TRACE(Narrow(made));
        EXPECT_EQ(L"", FindFolderHazard(scratch / made));
        // Wine keeps no descriptor: it reads one back from the Unix mode (SYSTEM, the owner
        // in Administrators' place, Everyone reading), the same as for a folder made
        // without one. What it can show: nobody else may more than read.
        const std::wstring descriptor = DescriptorOf(scratch / made);
        std::printf("  %s: %s\n", Narrow(made).c_str(), Narrow(descriptor).c_str());
        EXPECT_NE(std::wstring::npos, descriptor.find(L";0x1200a9;;;WD)")) << Narrow(descriptor);
    }
}

TEST(ProtectedFolderTest, AStandardUsersOwnRunAlsoGrantsItsOwnAccount)
{
    const std::wstring readable = CObjectSecurity::Definition(ObjectProtection::ReadableFolder);
    EXPECT_EQ(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)", readable);
    EXPECT_EQ(readable, ProtectedFolderDefinition(true, L"S-1-5-21-1-2-3-1001"));
    EXPECT_EQ(readable + L"(A;OICI;FA;;;S-1-5-21-1-2-3-1001)", ProtectedFolderDefinition(false, L"S-1-5-21-1-2-3-1001"));
}
