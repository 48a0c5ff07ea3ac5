// Any account may make any of the block's names first. The writer publishes only through
// objects it can trust, readers serve nothing from a section others may write, and the
// objects it makes let others read and take the lock, nothing more.
#include "counters/TcpCounterSchema.h"
#include "perfmon/PerformanceDataBlock.h"
#include "perfmon/PerformanceDataBlockNames.h"
#include "perfmon/PerformanceDataCollector.h"
#include "perfmon/PerformanceMonitorCounters.h"
#include "win32/handles/SmartHandle.h"
#include "win32/security/ObjectSecurity.h"
#include "win32/security/SecurityDescriptor.h"
#include "win32/security/UntrustedObjectException.h"

#include "tests/support/CatchException.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/StandardUserToken.h"
#include "tests/support/TestNames.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <string>
#include <vector>

using namespace CorvaneTools::Counters;
using namespace CorvaneTools::PerfMon;
using namespace CorvaneTools::Win32;

namespace {

const wchar_t *const s_where = L"CPerformanceDataBlock::CPerformanceDataBlock()";
const DWORD s_first = 5000;

struct CTcpSchema
{
    CTcpSchema() : schema(L"009")
    {
        AddTcpServiceObject(schema);
    }
    DWORD BlockSize() const
    {
        return CPerformanceDataBlock::HeaderSize + schema.GetTotalSize();
    }
    CPerformanceDataSchema schema;
};

// One of the names a block's objects have.
typedef std::wstring (CPerformanceDataBlockNames::*NameOf)() const;

struct BlockName
{
    NameOf name;
    bool isSection;
    const wchar_t *others; // what the objects the writer makes leave to everyone else
};

const BlockName s_names[] = {
    {&CPerformanceDataBlockNames::Lock, false, L"0x00120007"},
    {&CPerformanceDataBlockNames::LockState, true, L"0x00120007"},
    {&CPerformanceDataBlockNames::LockOwner, true, L"0x00120007"},
    {&CPerformanceDataBlockNames::Section, true, L"0x00120005"},
};

// What a squatter leaves under a name: a mutex, or the right type with a descriptor that
// lets everyone do anything.
HANDLE Squat(const std::wstring &name, const BlockName &which, bool asMutex, DWORD sectionSize)
{
    CSecurityDescriptorAllowAll everyone;
    CSecurityAttributes attributes(everyone, false);
    if (asMutex)
    {
        return ::CreateMutexW(attributes, FALSE, name.c_str());
    }
    return which.isSection
               ? ::CreateFileMappingW(INVALID_HANDLE_VALUE, attributes, PAGE_READWRITE, 0, sectionSize, name.c_str())
               : ::CreateEventW(attributes, FALSE, FALSE, name.c_str());
}

std::wstring Hex(DWORD value)
{
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lx", static_cast<unsigned long>(value));
    return text;
}

} // namespace

TEST(SquattedBlockTest, TheWriterRefusesEveryNameHeldByAnotherAndWritesNothing)
{
    const CTcpSchema tcp;
    for (const BlockName &which : s_names)
    {
        for (const bool asMutex : {true, false})
        {
            const std::wstring name = TestSupport::UniqueName(L"squat");
            const CPerformanceDataBlockNames names{CGlobalName(name)};
            const std::wstring object = (names.*which.name)();
            SCOPED_TRACE(testing::Message() << (asMutex ? "mutex at " : "everyone's object at ")
                                            << std::string(object.begin(), object.end()));
            CSmartHandle squatter(Squat(object, which, asMutex, tcp.BlockSize() + 4));
            ASSERT_TRUE(squatter.IsValid());
            const CUntrustedObjectException e = TestSupport::CatchException<CUntrustedObjectException>(
                [&] { CPerformanceDataBlock block(CGlobalName(name), tcp.schema, s_first, nullptr); });
            EXPECT_EQ(s_where, e.GetWhere());
            const std::wstring why =
                asMutex ? std::wstring(L"is held by an object that is not ") +
                              (which.isSection ? L"a file mapping" : L"an event")
                        : L"is not to be trusted: it grants S-1-1-0 access 0x10000000 (others may have " +
                              std::wstring(which.others) + L")";
            EXPECT_EQ(L"\"" + object + L"\" " + why, e.GetMessage());
            // Refused before any of the names was made.
            CSmartHandle made(::OpenFileMappingW(FILE_MAP_READ, FALSE, names.Section().c_str()));
            EXPECT_EQ(which.name == &CPerformanceDataBlockNames::Section && !asMutex, made.IsValid());
            if (made.IsValid())
            {
                const DWORD *header = static_cast<const DWORD *>(::MapViewOfFile(made, FILE_MAP_READ, 0, 0, 4));
                ASSERT_NE(nullptr, header);
                EXPECT_EQ(0u, *header) << "the squatter's section was not written";
                ::UnmapViewOfFile(header);
            }
        }
    }
}

// Everyone is granted exactly the rights reading (the section) or taking the lock needs:
// no write to the values, no change of descriptor or owner, no delete.
TEST(SquattedBlockTest, TheWritersObjectsLetOthersReadAndTakeTheLockOnly)
{
    const CTcpSchema tcp;
    const std::wstring name = TestSupport::UniqueName(L"owned");
    CPerformanceDataBlock block(CGlobalName(name), tcp.schema, s_first, nullptr);
    const CPerformanceDataBlockNames names{CGlobalName(name)};
    for (const BlockName &which : s_names)
    {
        const std::wstring object = (names.*which.name)();
        SCOPED_TRACE(std::string(object.begin(), object.end()));
        CSmartHandle opened(which.isSection ? ::OpenFileMappingW(READ_CONTROL, FALSE, object.c_str())
                                            : ::OpenEventW(READ_CONTROL, FALSE, object.c_str()));
        ASSERT_TRUE(opened.IsValid());
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
                  ::GetSecurityInfo(opened, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                    nullptr, &descriptor));
        ASSERT_NE(nullptr, dacl);
        std::vector<std::wstring> entries;
        for (DWORD i = 0; i < dacl->AceCount; ++i)
        {
            ACCESS_ALLOWED_ACE *ace = nullptr;
            ASSERT_TRUE(::GetAce(dacl, i, reinterpret_cast<void **>(&ace)));
            wchar_t *sid = nullptr;
            ASSERT_TRUE(::ConvertSidToStringSidW(&ace->SidStart, &sid));
            // Windows stores generic-all as the type's full access; this platform keeps it.
            const bool all = ace->Mask == GENERIC_ALL || ace->Mask == SECTION_ALL_ACCESS || ace->Mask == EVENT_ALL_ACCESS;
            entries.push_back(std::wstring(sid) + L" " + (all ? L"all" : Hex(ace->Mask)));
            ::LocalFree(sid);
        }
        ::LocalFree(descriptor);
        const std::vector<std::wstring> expected{L"S-1-5-18 all", L"S-1-5-32-544 all",
                                                 std::wstring(L"S-1-1-0 ") + which.others};
        EXPECT_EQ(expected, entries);
        EXPECT_EQ(L"", FindUntrustedWriters(opened, SE_KERNEL_OBJECT,
                                            which.name == &CPerformanceDataBlockNames::Section
                                                ? ObjectProtection::PublishedSection
                                                : ObjectProtection::SharedLock));
    }
}

// args: block name. Prints, per attempt, the error (0 when it was granted).
TESSALY_CHILD_MAIN(StandardUserOpens)
{
    const CPerformanceDataBlockNames names{CGlobalName(args.at(0))};
    const NameOf section = &CPerformanceDataBlockNames::Section;
    const NameOf lock = &CPerformanceDataBlockNames::Lock;
    const NameOf lockState = &CPerformanceDataBlockNames::LockState;
    const struct
    {
        NameOf name;
        bool isSection;
        DWORD access;
    } attempts[] = {
        {section, true, FILE_MAP_READ},    {section, true, FILE_MAP_WRITE},  {section, true, WRITE_DAC},
        {lock, false, EVENT_MODIFY_STATE | SYNCHRONIZE},                     {lock, false, WRITE_OWNER},
        {lockState, true, FILE_MAP_WRITE}, {lockState, true, DELETE},
    };
    for (const auto &attempt : attempts)
    {
        const std::wstring object = (names.*attempt.name)();
        HANDLE handle = attempt.isSection ? ::OpenFileMappingW(attempt.access, FALSE, object.c_str())
                                          : ::OpenEventW(attempt.access, FALSE, object.c_str());
        std::printf("%lu ", handle ? 0ul : static_cast<unsigned long>(::GetLastError()));
        if (handle)
        {
            ::CloseHandle(handle);
        }
    }
    return 0;
}

// A standard user (modelled as the platform notes it) held to the writer's descriptors.
TEST(SquattedBlockTest, AStandardUserMayReadAndTakeTheLockButNotWriteTheValues)
{
    const CTcpSchema tcp;
    const std::wstring name = TestSupport::UniqueName(L"standard");
    CPerformanceDataBlock block(CGlobalName(name), tcp.schema, s_first, nullptr);
    const TestSupport::CStandardUserToken standardUser(true);
    ASSERT_NE(nullptr, standardUser.Get());
    TestSupport::CChildProcess child(L"StandardUserOpens", {name}, std::wstring(), false, standardUser.Get());
    ASSERT_EQ(0u, child.Wait());
    EXPECT_EQ("0 5 5 0 5 0 5 ", child.Output());
}

// The values a reader serves come only from a section none but SYSTEM and Administrators
// may write: a copy of a good block in a section everyone may write is served as zeros.
TEST(SquattedBlockTest, ReadersServeZerosFromASectionOthersMayWrite)
{
    const CTcpSchema tcp;
    const std::wstring good = TestSupport::UniqueName(L"good");
    const std::wstring planted = TestSupport::UniqueName(L"planted");
    CPerformanceMonitorCounters writer(CGlobalName(good), tcp.schema, s_first, nullptr);
    const auto object = writer.GetPerformanceObject(TcpCounterObjectName);
    CPerformanceMonitorCounters::SetCounterValue(writer.GetPerformanceCounter(object, GetTcpCounterName(IPv4Listen)),
                                                 77);
    CSecurityDescriptorAllowAll everyone;
    CSecurityAttributes attributes(everyone, false);
    const CPerformanceDataBlockNames plantedNames{CGlobalName(planted)};
    COptex lock(CUnqualifiedName(plantedNames.Lock()), attributes, 0);
    const DWORD size = tcp.BlockSize() + 4;
    CSmartHandle section(::CreateFileMappingW(INVALID_HANDLE_VALUE, attributes, PAGE_READWRITE, 0, size,
                                              plantedNames.Section().c_str()));
    ASSERT_TRUE(section.IsValid());
    BYTE *copy = static_cast<BYTE *>(::MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, size));
    ASSERT_NE(nullptr, copy);
    *reinterpret_cast<DWORD *>(copy) = tcp.BlockSize();
    std::memcpy(copy + 4, writer.GetDataBlock().GetBlock(), tcp.BlockSize());

    std::vector<DWORD> served;
    std::wstring errors;
    for (const std::wstring &name : {good, planted})
    {
        CPerformanceDataCollector collector(CGlobalName(name), tcp.schema, s_first);
        collector.Open(nullptr);
        std::vector<BYTE> buffer(4096);
        void *data = buffer.data();
        DWORD total = 4096;
        DWORD objects = 0;
        ASSERT_TRUE(collector.Collect(L"Global", data, total, objects));
        ASSERT_EQ(1u, objects);
        const DWORD definitionLength = *reinterpret_cast<const DWORD *>(buffer.data() + 4);
        // IPv4 Listen is the second counter; counter k sits 8 + 8k into the counter block.
        served.push_back(*reinterpret_cast<const DWORD *>(buffer.data() + definitionLength + 16));
        errors += collector.GetBlockError() + L"|";
    }
    ::UnmapViewOfFile(copy);
    EXPECT_EQ((std::vector<DWORD>{77, 0}), served);
    EXPECT_EQ(L"|" + std::wstring(s_where) + L" - \"" + plantedNames.Section() +
                  L"\" is not to be trusted: it grants S-1-1-0 access 0x10000000 (others may have "
                  L"0x00120005)|",
              errors);
}
