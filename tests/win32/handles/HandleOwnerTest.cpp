#include "win32/handles/SmartHandle.h"
#include "win32/handles/UniqueOwners.h"

#include "tests/support/TestNames.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <utility>

using namespace CorvaneTools::Win32;

namespace {

const DWORD s_probeException = 0xE0C0FFEE;
volatile LONG s_probeCalls = 0;

LONG CALLBACK CountProbe(EXCEPTION_POINTERS *pointers)
{
    if (pointers->ExceptionRecord->ExceptionCode != s_probeException)
    {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    ::InterlockedIncrement(&s_probeCalls);
    return EXCEPTION_CONTINUE_EXECUTION;
}

LONG CALLBACK ContinueAfterProbe(EXCEPTION_POINTERS *pointers)
{
    return pointers->ExceptionRecord->ExceptionCode == s_probeException ? EXCEPTION_CONTINUE_EXECUTION
                                                                          : EXCEPTION_CONTINUE_SEARCH;
}

bool IsOpenHandle(HANDLE handle)
{
    DWORD flags = 0;
    return ::GetHandleInformation(handle, &flags) != FALSE;
}

HANDLE MakeFile()
{
    wchar_t folder[MAX_PATH + 1];
    ::GetTempPathW(MAX_PATH + 1, folder);
    return ::CreateFileW((folder + TestSupport::UniqueName(L"Owner")).c_str(), GENERIC_WRITE, 0, nullptr,
                         CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

void *MakeView()
{
    const CUniqueHandle mapping(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr));
    return ::MapViewOfFile(mapping.Get(), FILE_MAP_WRITE, 0, 0, 0);
}

bool IsMapped(void *view)
{
    MEMORY_BASIC_INFORMATION region = {};
    return ::VirtualQuery(view, &region, sizeof(region)) == sizeof(region) && region.Type == MEM_MAPPED;
}

PSID MakeSid()
{
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID sid = nullptr;
    ::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &sid);
    return sid;
}

// Registered or not, the probe exception continues: a second handler, last, takes it then.
bool IsProbeRegistered(PVOID)
{
    const CUniqueVectoredHandler fallback(::AddVectoredExceptionHandler(0, &ContinueAfterProbe));
    const LONG before = s_probeCalls;
    ::RaiseException(s_probeException, 0, 0, nullptr);
    return s_probeCalls != before;
}

// A slot freed is the lowest free one again, so the next allocation would be given it.
bool IsAllocatedSlot(DWORD slot)
{
    const DWORD next = ::TlsAlloc();
    ::TlsFree(next);
    return next != slot;
}

PSECURITY_DESCRIPTOR MakeDescriptor()
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;GA;;;SY)", SDDL_REVISION_1, &descriptor, nullptr);
    return descriptor;
}

bool IsProcessHeapBlock(const void *block)
{
    return ::HeapValidate(::GetProcessHeap(), 0, block) != FALSE;
}

// One kind of owner: how to make a real resource, how to tell whether it is still there
// (null where nothing tells it safely once it is gone), and how to release one by hand.
template <typename TOwner>
struct TKind
{
    typedef decltype(TOwner().Get()) Value;
    const char *name;
    Value none;
    Value (*make)();
    bool (*isOpen)(Value);
    bool (*release)(Value);
};

template <typename TOwner>
void CheckKind(const TKind<TOwner> &kind)
{
    SCOPED_TRACE(kind.name);
    EXPECT_EQ(kind.none, TOwner::InvalidValue());
    EXPECT_FALSE(TOwner().IsValid());
    EXPECT_FALSE(TOwner(kind.none).IsValid());
    EXPECT_EQ(kind.none, TOwner().Get());
    const auto probe = [&](typename TKind<TOwner>::Value value, bool open) {
        if (kind.isOpen)
        {
            EXPECT_EQ(open, kind.isOpen(value));
        }
    };

    const auto value = kind.make();
    ASSERT_TRUE(TOwner::IsValid(value));
    {
        TOwner first(value);
        TOwner second(std::move(first));
        EXPECT_FALSE(first.IsValid());
        EXPECT_EQ(kind.none, first.Get());
        TOwner third;
        third = std::move(second);
        EXPECT_FALSE(second.IsValid());
        EXPECT_EQ(value, third.Get());
        third.Reset(value);
        probe(value, true);
        ::SetLastError(ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ::GetLastError()) << "released on destruction";
    probe(value, false);

    TOwner owner(kind.make());
    const auto reset = owner.Get();
    ::SetLastError(ERROR_ACCESS_DENIED);
    owner.Reset();
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ::GetLastError()) << "released by Reset";
    EXPECT_FALSE(owner.IsValid());
    probe(reset, false);

    *owner.Put() = kind.make();
    ASSERT_TRUE(owner.IsValid());
    const auto kept = owner.Get();
    EXPECT_EQ(kept, owner.Detach());
    EXPECT_FALSE(owner.IsValid());
    probe(kept, true);
    EXPECT_TRUE(kind.release(kept)) << "Detach gave it up unreleased";
}

} // namespace

TEST(HandleOwnerTest, EveryKindReleasesOnceKeepsTheLastErrorAndMoves)
{
    CheckKind<CUniqueHandle>({"handle", nullptr, [] { return ::CreateEventW(nullptr, TRUE, FALSE, nullptr); },
                              &IsOpenHandle, [](HANDLE h) { return ::CloseHandle(h) != FALSE; }});
    CheckKind<CUniqueFile>(
        {"file", INVALID_HANDLE_VALUE, &MakeFile, &IsOpenHandle, [](HANDLE h) { return ::CloseHandle(h) != FALSE; }});
    CheckKind<CUniqueFindHandle>({"find", INVALID_HANDLE_VALUE,
                                  [] {
                                      WIN32_FIND_DATAW found;
                                      return ::FindFirstFileW(L"C:\\windows\\*", &found);
                                  },
                                  nullptr, [](HANDLE h) { return ::FindClose(h) != FALSE; }});
    CheckKind<CUniqueMapView>(
        {"map view", nullptr, &MakeView, &IsMapped, [](void *v) { return ::UnmapViewOfFile(v) != FALSE; }});
    CheckKind<CUniqueRegistryKey>({"registry key", nullptr,
                                   [] {
                                       HKEY key = nullptr;
                                       ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &key);
                                       return key;
                                   },
                                   [](HKEY k) {
                                       return ::RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                                 nullptr, nullptr, nullptr, nullptr,
                                                                 nullptr) == ERROR_SUCCESS;
                                   },
                                   [](HKEY k) { return ::RegCloseKey(k) == ERROR_SUCCESS; }});
    CheckKind<CUniqueModule>({"module", nullptr, [] { return ::LoadLibraryW(L"iphlpapi.dll"); },
                              [](HMODULE m) { return ::GetModuleHandleW(L"iphlpapi.dll") == m; },
                              [](HMODULE m) { return ::FreeLibrary(m) != FALSE; }});
    CheckKind<CUniqueServiceHandle>({"service manager", nullptr,
                                     [] { return ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT); }, nullptr,
                                     [](SC_HANDLE s) { return ::CloseServiceHandle(s) != FALSE; }});
    CheckKind<CUniqueSid>({"SID", nullptr, &MakeSid, nullptr, [](PSID s) { return ::FreeSid(s) == nullptr; }});
    CheckKind<CUniqueVectoredHandler>({"vectored handler", nullptr,
                                       [] { return ::AddVectoredExceptionHandler(1, &CountProbe); },
                                       &IsProbeRegistered,
                                       [](PVOID h) { return ::RemoveVectoredExceptionHandler(h) != 0; }});
    CheckKind<CUniqueTlsIndex>({"TLS slot", TLS_OUT_OF_INDEXES, [] { return ::TlsAlloc(); }, &IsAllocatedSlot,
                                [](DWORD slot) { return ::TlsFree(slot) != FALSE; }});
    CheckKind<CUniqueSecurityDescriptor>({"local memory", nullptr, &MakeDescriptor,
                                          [](void *d) { return IsProcessHeapBlock(d); },
                                          [](void *d) { return ::LocalFree(d) == nullptr; }});
    CheckKind<TUniqueProcessHeapBlock<BYTE>>(
        {"process heap block", nullptr, [] { return static_cast<BYTE *>(::HeapAlloc(::GetProcessHeap(), 0, 16)); },
         [](BYTE *b) { return IsProcessHeapBlock(b); },
         [](BYTE *b) { return ::HeapFree(::GetProcessHeap(), 0, b) != FALSE; }});
}

// The waitable owner takes both of the platform's "none" values, and a close that fails
// (of a value that names nothing) neither throws nor changes the last error.
TEST(HandleOwnerTest, SmartHandleTakesEitherNoneAndClosesWithoutThrowing)
{
    static_assert(noexcept(CSmartHandle().Close()), "closing never throws");
    EXPECT_FALSE(CSmartHandle(nullptr).IsValid());
    EXPECT_FALSE(CSmartHandle(INVALID_HANDLE_VALUE).IsValid());
    EXPECT_EQ(INVALID_HANDLE_VALUE, CSmartHandle().GetHandle());

    const HANDLE raw = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CSmartHandle handle;
    handle = raw;
    handle = raw;
    EXPECT_TRUE(IsOpenHandle(raw)) << "the same handle again is not closed";
    handle.Attach(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EXPECT_FALSE(IsOpenHandle(raw)) << "attaching closed the one before";
    EXPECT_EQ(handle.GetHandle(), handle.GetWaitHandle());
    const HANDLE attached = handle.GetHandle();
    {
        CSmartHandle moved(std::move(handle));
        EXPECT_FALSE(handle.IsValid());
        CSmartHandle last;
        last = std::move(moved);
        EXPECT_FALSE(moved.IsValid());
        EXPECT_EQ(attached, static_cast<HANDLE>(last));
        ::SetLastError(ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ::GetLastError());
    EXPECT_FALSE(IsOpenHandle(attached)) << "closed when the last owner went";

    // Closed already, so its close fails.
    CSmartHandle stale(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(::CloseHandle(stale.GetHandle()));
    ::SetLastError(ERROR_ACCESS_DENIED);
    stale.Close();
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ::GetLastError());
    EXPECT_FALSE(stale.IsValid());
}
