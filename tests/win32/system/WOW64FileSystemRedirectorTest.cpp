#include "win32/errors/Win32Exception.h"
#include "win32/files/DirectorySearch.h"
#include "win32/system/SystemDirectories.h"
#include "win32/system/WOW64FileSystemRedirector.h"

#include "tests/support/CatchException.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <thread>

using namespace CorvaneTools::Win32;

namespace {

const WORD MachineX86 = 0x014C;
const WORD MachineX64 = 0x8664;

// The machine field of a PE file's header; 0 when it cannot be read.
WORD Machine(const std::wstring &path)
{
    const std::string bytes = TestSupport::ReadBytes(path);
    if (bytes.size() < 0x40)
    {
        return 0;
    }
    const DWORD headers = *reinterpret_cast<const DWORD *>(bytes.data() + 0x3C);
    if (bytes.size() < headers + 6)
    {
        return 0;
    }
    return *reinterpret_cast<const WORD *>(bytes.data() + headers + 4);
}

// Exists only in the 64-bit system directory.
std::wstring Wow64Cpu()
{
    return GetSystemDirectory() + L"\\wow64cpu.dll";
}

std::wstring Kernel32()
{
    return GetSystemDirectory() + L"\\kernel32.dll";
}

} // namespace

#if defined(_WIN64)

TEST(WOW64FileSystemRedirectorTest, A64bitProcessHasNothingToDisable)
{
    CWOW64FileSystemRedirector redirector;
    const CWin32Exception e = TestSupport::CatchException<CWin32Exception>([&] { redirector.Disable(); });
    EXPECT_EQ(L"CWOW64FileSystemRedirector::Disable()", e.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), e.GetError());
    EXPECT_TRUE(TestSupport::Exists(Wow64Cpu()));
    EXPECT_EQ(MachineX64, Machine(Kernel32()));
}

#else

bool Listed(const std::wstring &pattern)
{
    CDirectorySearch search(pattern);
    return search.NextFile();
}

TEST(WOW64FileSystemRedirectorTest, DisabledRedirectionShowsThe64bitSystemDirectory)
{
    ASSERT_FALSE(TestSupport::Exists(Wow64Cpu()));
    ASSERT_EQ(MachineX86, Machine(Kernel32()));
    {
        CWOW64FileSystemRedirector redirector;
        redirector.Disable();
        EXPECT_TRUE(TestSupport::Exists(Wow64Cpu()));
        EXPECT_TRUE(Listed(Wow64Cpu()));
        EXPECT_EQ(MachineX64, Machine(Kernel32()));
        std::thread([] {
            EXPECT_EQ(MachineX86, Machine(Kernel32())) << "other threads stay redirected";
        }).join();
    }
    EXPECT_FALSE(TestSupport::Exists(Wow64Cpu()));
    EXPECT_FALSE(Listed(Wow64Cpu()));
    EXPECT_EQ(MachineX86, Machine(Kernel32()));
}

TEST(WOW64FileSystemRedirectorTest, DisablingTwiceStillRestoresRedirection)
{
    {
        CWOW64FileSystemRedirector redirector;
        redirector.Disable();
        redirector.Disable();
        EXPECT_EQ(MachineX64, Machine(Kernel32()));
    }
    EXPECT_EQ(MachineX86, Machine(Kernel32()));
}

#endif

TEST(WOW64FileSystemRedirectorTest, NotDisabledChangesNothing)
{
    const WORD before = Machine(Kernel32());
    {
        CWOW64FileSystemRedirector redirector;
    }
    EXPECT_EQ(before, Machine(Kernel32()));
}
