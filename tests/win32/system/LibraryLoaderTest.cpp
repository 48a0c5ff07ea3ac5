#include "win32/errors/Win32Exception.h"
#include "win32/system/LibraryLoader.h"

#include "tests/support/CatchException.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <memory>

using namespace CorvaneTools::Win32;

TEST(LibraryLoaderTest, LoadsLooksUpAndFrees)
{
    ASSERT_EQ(nullptr, ::GetModuleHandleW(L"iphlpapi.dll")) << "must not be loaded before";
    std::unique_ptr<CLibraryLoader> library(new CLibraryLoader(L"iphlpapi.dll", true));
    ASSERT_TRUE(library->IsLoaded());
    EXPECT_EQ(::GetModuleHandleW(L"iphlpapi.dll"), library->GetModule());
    const FARPROC address = library->GetProcAddress(L"GetTcp6Table");
    EXPECT_NE(nullptr, address);
    EXPECT_EQ(::GetProcAddress(library->GetModule(), "GetTcp6Table"), address);
    EXPECT_EQ(nullptr, library->GetProcAddress(L"NoSuchExport"));
    library.reset();
    EXPECT_EQ(nullptr, ::GetModuleHandleW(L"iphlpapi.dll")) << "freed with the loader";

    CLibraryLoader again(L"iphlpapi.dll", false);
    ASSERT_TRUE(again.IsLoaded());
    again.FreeLibrary();
    EXPECT_FALSE(again.IsLoaded());
    EXPECT_EQ(nullptr, again.GetModule());
    EXPECT_EQ(nullptr, again.GetProcAddress(L"GetTcp6Table"));
    EXPECT_EQ(nullptr, ::GetModuleHandleW(L"iphlpapi.dll"));
    again.FreeLibrary();
}

TEST(LibraryLoaderTest, MissingLibrary)
{
    const std::wstring name = TestSupport::UniqueName(L"missing") + L".dll";
    const CWin32Exception e = TestSupport::CatchException<CWin32Exception>([&] { CLibraryLoader library(name, true); });
    EXPECT_EQ(L"CLibraryLoader::CLibraryLoader() - \"" + name + L"\"", e.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), e.GetError());

    const CLibraryLoader quiet(name, false);
    EXPECT_FALSE(quiet.IsLoaded());
    EXPECT_EQ(nullptr, quiet.GetProcAddress(L"wmain")) << "never the program's own exports";
}
