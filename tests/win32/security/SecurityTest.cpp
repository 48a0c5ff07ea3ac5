#include "win32/errors/Win32Exception.h"
#include "win32/handles/SmartHandle.h"
#include "win32/security/ObjectSecurity.h"
#include "win32/security/ProcessToken.h"
#include "win32/security/ScopedPrivilege.h"
#include "win32/security/SecurityDescriptor.h"

#include "tests/support/TestNames.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

using namespace CorvaneTools::Win32;

namespace {

std::wstring SidText(PSID sid)
{
    wchar_t *text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text))
    {
        return L"?";
    }
    std::wstring result(text);
    ::LocalFree(text);
    return result;
}

} // namespace

TEST(SecurityTest, AllowAllGrantsEveryoneGenericAll)
{
    CSecurityDescriptorAllowAll descriptor;
    BOOL present = FALSE;
    BOOL defaulted = TRUE;
    PACL acl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_FALSE(defaulted);
    ASSERT_NE(nullptr, acl);
    EXPECT_EQ(ACL_REVISION, acl->AclRevision);
    ASSERT_EQ(1u, acl->AceCount);
    ACCESS_ALLOWED_ACE *ace = nullptr;
    ASSERT_TRUE(::GetAce(acl, 0, reinterpret_cast<void **>(&ace)));
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
    EXPECT_EQ(static_cast<DWORD>(GENERIC_ALL), ace->Mask);
    EXPECT_EQ(L"S-1-1-0", SidText(&ace->SidStart));
    EXPECT_EQ(12u + 16u, acl->AclSize) << "the world SID is 12 bytes";
}

TEST(SecurityTest, ObjectCreatedWithAllowAllCarriesItsAcl)
{
    CSecurityDescriptorAllowAll descriptor;
    CSecurityAttributes attributes(descriptor, false);
    const std::wstring name = L"Global\\" + TestSupport::UniqueName(L"acl");
    CSmartHandle event(::CreateEventW(attributes, TRUE, FALSE, name.c_str()));
    ASSERT_TRUE(event.IsValid());

    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR stored = nullptr;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              ::GetSecurityInfo(event, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl, nullptr,
                                &stored));
    ASSERT_NE(nullptr, acl);
    ASSERT_EQ(1u, acl->AceCount);
    ACCESS_ALLOWED_ACE *ace = nullptr;
    ASSERT_TRUE(::GetAce(acl, 0, reinterpret_cast<void **>(&ace)));
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
    EXPECT_EQ(L"S-1-1-0", SidText(&ace->SidStart));
    // The object manager may store GENERIC_ALL mapped to the type's full access.
    EXPECT_TRUE(ace->Mask == GENERIC_ALL || ace->Mask == EVENT_ALL_ACCESS) << std::hex << ace->Mask;
    ::LocalFree(stored);
}

// Why an object could be changed by others, by descriptor; each on a section, where
// everyone else is to map for reading only.
TEST(ObjectSecurityTest, FindUntrustedWritersNamesTheFirstReason)
{
    const struct
    {
        const wchar_t *sddl;
        const wchar_t *why;
    } cases[] = {
        {L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x120005;;;WD)", L""},
        {L"D:(A;;GR;;;WD)(A;;GX;;;BU)", L""},
        {L"D:(D;;GA;;;WD)(A;;GA;;;BA)", L""},
        {L"D:(A;;GA;;;WD)", L"it grants S-1-1-0 access 0x10000000 (others may have 0x00120005)"},
        {L"D:(A;;GW;;;BU)", L"it grants S-1-5-32-545 access 0x40000000 (others may have 0x00120005)"},
        {L"D:(A;;0x2;;;WD)", L"it grants S-1-1-0 access 0x00000002 (others may have 0x00120005)"},
        {L"D:(A;;WD;;;AU)", L"it grants S-1-5-11 access 0x00040000 (others may have 0x00120005)"},
        {nullptr, L"it has no access list, so everyone may do anything with it"},
        {L"O:S-1-5-21-1-2-3-1001D:(A;;GA;;;SY)", L"it is owned by S-1-5-21-1-2-3-1001"},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.sddl ? std::string(c.sddl, c.sddl + wcslen(c.sddl)) : "null DACL");
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        // A null DACL is built by hand: this platform reads "D:NO_ACCESS_CONTROL" as an empty one.
        CSecurityDescriptor nullDacl;
        ASSERT_TRUE(c.sddl ? ::ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1,
                                                                                   &descriptor, nullptr)
                           : ::SetSecurityDescriptorDacl(nullDacl, TRUE, nullptr, FALSE));
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), c.sddl ? descriptor : nullDacl.Get(), FALSE};
        CSmartHandle section(::CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0, 64,
                                                  (L"Global\\" + TestSupport::UniqueName(L"why")).c_str()));
        ::LocalFree(descriptor);
        ASSERT_TRUE(section.IsValid());
        EXPECT_EQ(c.why, FindUntrustedWriters(section, SE_KERNEL_OBJECT, ObjectProtection::PublishedSection));
    }
}

// The kernel objects' descriptors as stored: SYSTEM and Administrators everything, everyone
// else only what the protection leaves them.
TEST(ObjectSecurityTest, KernelObjectsCarryTheirProtection)
{
    for (const ObjectProtection protection :
         {ObjectProtection::PublishedSection, ObjectProtection::SharedLock, ObjectProtection::SignalEvent})
    {
        CObjectSecurity security(protection);
        const std::wstring name = L"Global\\" + TestSupport::UniqueName(L"protected");
        CSmartHandle event(::CreateEventW(security, TRUE, FALSE, name.c_str()));
        ASSERT_TRUE(event.IsValid());
        PSECURITY_DESCRIPTOR stored = nullptr;
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
                  ::GetSecurityInfo(event, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                    nullptr, &stored));
        wchar_t *text = nullptr;
        ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(stored, SDDL_REVISION_1,
                                                                          DACL_SECURITY_INFORMATION, &text, nullptr));
        EXPECT_EQ(CObjectSecurity::Definition(protection), std::wstring(text));
        ::LocalFree(text);
        ::LocalFree(stored);
        EXPECT_EQ(L"", FindUntrustedWriters(event, SE_KERNEL_OBJECT, protection));
    }
    EXPECT_EQ(0x00120005u, CObjectSecurity::OthersMay(ObjectProtection::PublishedSection));
    EXPECT_EQ(0u, CObjectSecurity::OthersMay(ObjectProtection::PrivateFile));
}

TEST(ProcessTokenTest, PrivilegeQueries)
{
    CProcessToken token;
    EXPECT_TRUE(token.HasPrivilege(L"SeCreateGlobalPrivilege"));
    EXPECT_TRUE(token.IsPrivilegeEnabled(L"SeCreateGlobalPrivilege"));
    EXPECT_TRUE(token.HasPrivilege(L"SeShutdownPrivilege"));
    EXPECT_FALSE(token.IsPrivilegeEnabled(L"SeShutdownPrivilege"));

    std::vector<BYTE> buffer;
    const TOKEN_PRIVILEGES *privileges = token.GetTokenPrivileges(buffer);
    ASSERT_GT(privileges->PrivilegeCount, 0u);
    EXPECT_GE(buffer.size(), sizeof(DWORD) + privileges->PrivilegeCount * sizeof(LUID_AND_ATTRIBUTES));
    EXPECT_TRUE(CProcessToken::IsUserAnAdmin());
}

TEST(ProcessTokenTest, UnknownPrivilegeNameThrowsFromTheLookUp)
{
    CProcessToken token;
    try
    {
        token.HasPrivilege(L"SeNoSuchThingPrivilege");
        FAIL() << "no exception";
    }
    catch (const CWin32Exception &e)
    {
        EXPECT_EQ(L"CSecurityPrivilege::GetPrivilegeValue()", e.GetWhere());
        EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE), e.GetError());
    }
}

TEST(ProcessTokenTest, PrivilegeCacheIndexesBothWays)
{
    CSecurityPrivilege cache;
    const LUID shutdown = cache.GetPrivilegeValue(L"SeShutdownPrivilege");
    LUID direct = {};
    ASSERT_TRUE(::LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &direct));
    EXPECT_EQ(direct.LowPart, shutdown.LowPart);
    EXPECT_EQ(direct.HighPart, shutdown.HighPart);
    ASSERT_NE(nullptr, cache.GetPrivilegeName(shutdown));
    EXPECT_EQ(L"SeShutdownPrivilege", *cache.GetPrivilegeName(shutdown));
    const LUID again = cache.GetPrivilegeValue(L"SeShutdownPrivilege");
    EXPECT_EQ(shutdown.LowPart, again.LowPart);
}

TEST(ProcessTokenTest, ScopedPrivilegeUndoesOnlyWhatItDid)
{
    CProcessToken token(TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES);
    ASSERT_FALSE(token.IsPrivilegeEnabled(L"SeShutdownPrivilege"));
    {
        CScopedPrivilege shutdown(token, L"SeShutdownPrivilege", true);
        EXPECT_TRUE(shutdown.EnabledByMe());
        EXPECT_TRUE(token.IsPrivilegeEnabled(L"SeShutdownPrivilege"));
    }
    EXPECT_FALSE(token.IsPrivilegeEnabled(L"SeShutdownPrivilege"));
    {
        CScopedPrivilege global(token, L"SeCreateGlobalPrivilege", true);
        EXPECT_FALSE(global.EnabledByMe()) << "already enabled";
    }
    EXPECT_TRUE(token.IsPrivilegeEnabled(L"SeCreateGlobalPrivilege")) << "left enabled as it was";
    {
        CScopedPrivilege notAsked(token, L"SeShutdownPrivilege", false);
        EXPECT_FALSE(token.IsPrivilegeEnabled(L"SeShutdownPrivilege"));
    }

    EXPECT_TRUE(token.EnablePrivilegeIfHeld(L"SeShutdownPrivilege"));
    EXPECT_TRUE(token.IsPrivilegeEnabled(L"SeShutdownPrivilege"));
    EXPECT_TRUE(token.EnablePrivilegeIfHeld(L"SeShutdownPrivilege"));
    token.DisablePrivilege(L"SeShutdownPrivilege");
    EXPECT_FALSE(token.IsPrivilegeEnabled(L"SeShutdownPrivilege"));
}

TEST(ProcessTokenTest, AdjustingWithoutTheRightThrows)
{
    CProcessToken queryOnly;
    try
    {
        queryOnly.EnablePrivilege(L"SeShutdownPrivilege");
        FAIL() << "no exception";
    }
    catch (const CWin32Exception &e)
    {
        EXPECT_EQ(L"CProcessToken::EnablePrivilege()", e.GetWhere());
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), e.GetError());
    }
    EXPECT_FALSE(queryOnly.EnablePrivilegeIfHeld(L"SeShutdownPrivilege")) << "the adjustment fails quietly";
}
