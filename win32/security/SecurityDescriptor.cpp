#include "win32/security/SecurityDescriptor.h"

#include "win32/errors/Win32Exception.h"
#include "win32/handles/UniqueOwners.h"

namespace CorvaneTools {
namespace Win32 {

CSecurityDescriptor::CSecurityDescriptor(DWORD revision) : m_descriptor()
{
    if (!::InitializeSecurityDescriptor(&m_descriptor, revision))
    {
        throw CWin32Exception(L"CSecurityDescriptor::CSecurityDescriptor() - InitializeSecurityDescriptor",
                              ::GetLastError());
    }
}

CSecurityDescriptor::~CSecurityDescriptor() = default;

PSECURITY_DESCRIPTOR CSecurityDescriptor::Get()
{
    return &m_descriptor;
}

CSecurityDescriptor::operator PSECURITY_DESCRIPTOR()
{
    return &m_descriptor;
}

namespace {

CUniqueSid WorldSid()
{
    CUniqueSid sid;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    if (!::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, sid.Put()))
    {
        throw CWin32Exception(L"CSecurityDescriptorAllowAll::CSecurityDescriptorAllowAll() - AllocateAndInitializeSid",
                              ::GetLastError());
    }
    return sid;
}

} // namespace

CSecurityDescriptorAllowAll::CSecurityDescriptorAllowAll()
{
    static const wchar_t *const where = L"CSecurityDescriptorAllowAll::CSecurityDescriptorAllowAll() - ";
    const CUniqueSid sid = WorldSid();
    // ACL header and allowed-ACE header; the ACE's SID field overlaps its first 4 bytes.
    const DWORD aclSize = ::GetLengthSid(sid.Get()) + 16;
    m_acl.reset(new BYTE[aclSize]);
    PACL acl = reinterpret_cast<PACL>(m_acl.get());
    if (!::InitializeAcl(acl, aclSize, ACL_REVISION))
    {
        throw CWin32Exception(std::wstring(where) + L"InitializeAcl", ::GetLastError());
    }
    if (!::SetSecurityDescriptorDacl(Get(), TRUE, acl, FALSE))
    {
        throw CWin32Exception(std::wstring(where) + L"SetSecurityDescriptorDacl", ::GetLastError());
    }
    if (!::AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sid.Get()))
    {
        throw CWin32Exception(std::wstring(where) + L"AddAccessAllowedAce", ::GetLastError());
    }
}

CSecurityAttributes::CSecurityAttributes(CSecurityDescriptor &descriptor, bool inherit)
{
    m_attributes.nLength = sizeof(m_attributes);
    m_attributes.lpSecurityDescriptor = descriptor.Get();
    m_attributes.bInheritHandle = inherit ? TRUE : FALSE;
}

SECURITY_ATTRIBUTES *CSecurityAttributes::Get()
{
    return &m_attributes;
}

CSecurityAttributes::operator SECURITY_ATTRIBUTES *()
{
    return &m_attributes;
}

} // namespace Win32
} // namespace CorvaneTools
