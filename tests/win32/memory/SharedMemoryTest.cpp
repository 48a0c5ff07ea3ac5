#include "win32/crash/SEHException.h"
#include "win32/crash/SEHTranslator.h"
#include "win32/errors/Win32Exception.h"
#include "win32/memory/SharedMemory.h"
#include "win32/security/SecurityDescriptor.h"

#include "tests/support/CatchException.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestNames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

using namespace CorvaneTools::Win32;

namespace {

DWORD Header(const CSharedMemory &memory)
{
    DWORD size;
    std::memcpy(&size, static_cast<const BYTE *>(memory.GetMemory()) - 4, sizeof(size));
    return size;
}

// Fills the user area with a pattern both processes can check.
void Fill(void *memory, DWORD size, BYTE seed)
{
    BYTE *bytes = static_cast<BYTE *>(memory);
    for (DWORD i = 0; i < size; ++i)
    {
        bytes[i] = static_cast<BYTE>(seed + i * 7);
    }
}

bool Matches(const void *memory, DWORD size, BYTE seed)
{
    const BYTE *bytes = static_cast<const BYTE *>(memory);
    for (DWORD i = 0; i < size; ++i)
    {
        if (bytes[i] != static_cast<BYTE>(seed + i * 7))
        {
            return false;
        }
    }
    return true;
}

} // namespace

TEST(SharedMemoryTest, CalculateSizeLimits)
{
    EXPECT_EQ(4u, CSharedMemory::CalculateSize(0));
    EXPECT_EQ(4294967295u, CSharedMemory::CalculateSize(4294967291u));
    try
    {
        CSharedMemory::CalculateSize(4294967292u);
        FAIL() << "no exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"CSharedMemory::CalculateSize()", e.GetWhere());
        EXPECT_EQ(L"Size is too big: 4294967292 max is:4294967291", e.GetMessage());
    }
}

TEST(SharedMemoryTest, AccessModes)
{
    EXPECT_EQ(static_cast<DWORD>(FILE_MAP_READ), CSharedMemory::GetProtection(ReadOnly));
    EXPECT_EQ(static_cast<DWORD>(FILE_MAP_WRITE), CSharedMemory::GetProtection(ReadWrite));
    try
    {
        CSharedMemory::GetProtection(static_cast<AccessMode>(2));
        FAIL() << "no exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"CSharedMemory::GetProtection()", e.GetWhere());
        EXPECT_EQ(L"Unexpected protection flag: 2", e.GetMessage());
    }
}

TEST(SharedMemoryTest, HeaderCarriesTheUserSize)
{
    const CUnqualifiedName name(TestSupport::UniqueName(L"header"));
    CSharedMemory empty(CUnqualifiedName(TestSupport::UniqueName(L"empty")), 0, ReadWrite, false, nullptr);
    EXPECT_EQ(0u, Header(empty));

    CSharedMemory first(name, 100, ReadWrite, false, nullptr);
    EXPECT_EQ(100u, Header(first));
    Fill(first.GetMemory(), 100, 3);

    CSharedMemory second(name, 100, ReadWrite, true, nullptr);
    EXPECT_EQ(100u, Header(second));
    EXPECT_TRUE(Matches(second.GetMemory(), 100, 3)) << "an existing block is opened, not rewritten";
}

TEST(SharedMemoryTest, ExistingBlockFailures)
{
    const std::wstring text = TestSupport::UniqueName(L"existing");
    const CUnqualifiedName name(text);
    CSharedMemory first(name, 64, ReadWrite, false, nullptr);

    const CWin32Exception exists = TestSupport::CatchException<CWin32Exception>([&] { CSharedMemory again(name, 64, ReadWrite, false, nullptr); });
    EXPECT_EQ(183u, exists.GetError());
    EXPECT_EQ(L"CSharedMemory::CSharedMemory() - CreateFileMapping: \"" + text + L"\"", exists.GetWhere());

    const CWin32Exception size = TestSupport::CatchException<CWin32Exception>([&] { CSharedMemory other(name, 65, ReadWrite, true, nullptr); });
    EXPECT_EQ(24u, size.GetError());
    EXPECT_EQ(L"CSharedMemory::CSharedMemory() - Already exists and not the same size: \"" + text + L"\"",
              size.GetWhere());
    EXPECT_EQ(64u, Header(first)) << "a refused open leaves the header alone";
}

// A section opened between its creation and its header's writing reads a header of 0:
// the opener waits for the header, but not for ever.
TEST(SharedMemoryTest, AHeaderNotYetWrittenIsWaitedFor)
{
    for (const DWORD writtenAfterMs : {200u, MAXDWORD})
    {
        SCOPED_TRACE(writtenAfterMs);
        const std::wstring text = TestSupport::UniqueName(L"unwritten");
        const HANDLE mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 64 + 4, text.c_str());
        ASSERT_NE(nullptr, mapping);
        DWORD *header = static_cast<DWORD *>(::MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
        ASSERT_NE(nullptr, header);
        std::thread creator([&] {
            if (writtenAfterMs != MAXDWORD)
            {
                ::Sleep(writtenAfterMs);
                *static_cast<volatile DWORD *>(header) = 64;
            }
        });
        const ULONGLONG start = ::GetTickCount64();
        if (writtenAfterMs != MAXDWORD)
        {
            const CSharedMemory opened(CUnqualifiedName(text), 64, ReadWrite, true, nullptr);
            EXPECT_EQ(64u, Header(opened));
        }
        else
        {
            const CWin32Exception size = TestSupport::CatchException<CWin32Exception>(
                [&] { CSharedMemory opened(CUnqualifiedName(text), 64, ReadWrite, true, nullptr); });
            EXPECT_EQ(24u, size.GetError());
            EXPECT_GE(::GetTickCount64() - start, CSharedMemory::HeaderWaitMs - 20);
        }
        creator.join();
        ::UnmapViewOfFile(header);
        ::CloseHandle(mapping);
    }
}

TEST(SharedMemoryTest, ReadOnlyViewCannotBeWritten)
{
    const CUnqualifiedName name(TestSupport::UniqueName(L"readonly"));
    CSharedMemory writer(name, 16, ReadWrite, false, nullptr);
    Fill(writer.GetMemory(), 16, 9);
    CSharedMemory reader(name, 16, ReadOnly, true, nullptr);
    EXPECT_TRUE(Matches(reader.GetMemory(), 16, 9));

    CSEHTranslator translator(&CSEHException::Translate);
    volatile BYTE *target = static_cast<volatile BYTE *>(reader.GetMemory());
    try
    {
        target[0] = 1;
        FAIL() << "write through a read-only view succeeded";
    }
    catch (const CSEHException &e)
    {
        EXPECT_EQ(0xC0000005u, e.GetCode());
    }
}

TEST(SharedMemoryTest, AllowAllSecurity)
{
    CSecurityDescriptorAllowAll descriptor;
    CSecurityAttributes attributes(descriptor, false);
    EXPECT_EQ(sizeof(void *) == 8 ? 24u : 12u, attributes.Get()->nLength);
    EXPECT_FALSE(attributes.Get()->bInheritHandle);
    EXPECT_EQ(1, CSecurityAttributes(descriptor, true).Get()->bInheritHandle);
    CSharedMemory memory(CGlobalName(TestSupport::UniqueName(L"secured")), 8, ReadWrite, false, attributes);
    EXPECT_EQ(8u, Header(memory));
}

// The other process: opens the block by name, checks the first process's pattern, writes its
// own pattern after it, and checks that a different size is refused.
TESSALY_CHILD_MAIN(SharedMemoryPeer)
{
    const CUnqualifiedName name(args.at(0));
    const DWORD size = static_cast<DWORD>(std::stoul(args.at(1)));
    CSharedMemory memory(name, size, ReadWrite, true, nullptr);
    if (Header(memory) != size)
    {
        return 10;
    }
    if (!Matches(memory.GetMemory(), size / 2, 5))
    {
        return 11;
    }
    Fill(static_cast<BYTE *>(memory.GetMemory()) + size / 2, size / 2, 77);
    try
    {
        CSharedMemory wrong(name, size + 1, ReadWrite, true, nullptr);
        return 12;
    }
    catch (const CWin32Exception &e)
    {
        if (e.GetError() != 24 ||
            e.GetWhere() != L"CSharedMemory::CSharedMemory() - Already exists and not the same size: \"" +
                                name.GetName() + L"\"")
        {
            return 13;
        }
    }
    return 0;
}

TEST(SharedMemoryTest, SecondProcessOfEitherArchitectureSeesTheData)
{
    for (const std::wstring &program : {std::wstring(), TestSupport::OtherArchitectureProgram()})
    {
        CSecurityDescriptorAllowAll descriptor;
        CSecurityAttributes attributes(descriptor, false);
        const std::wstring text = TestSupport::UniqueName(L"peer");
        CSharedMemory memory(CGlobalName(text), 256, ReadWrite, false, attributes);
        Fill(memory.GetMemory(), 128, 5);
        TestSupport::CChildProcess child(L"SharedMemoryPeer", {L"Global\\" + text, L"256"}, program);
        ASSERT_EQ(0u, child.Wait()) << (program.empty() ? "same" : "other") << " architecture: " << child.Output();
        EXPECT_TRUE(Matches(static_cast<BYTE *>(memory.GetMemory()) + 128, 128, 77));
    }
}
