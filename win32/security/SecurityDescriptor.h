#pragma once

#include <windows.h>

#include <memory>

namespace CorvaneTools {
namespace Win32 {

// An absolute security descriptor, usable wherever the platform takes one.
class CSecurityDescriptor
{
public:
    explicit CSecurityDescriptor(DWORD revision = SECURITY_DESCRIPTOR_REVISION);
    virtual ~CSecurityDescriptor();

    CSecurityDescriptor(const CSecurityDescriptor &) = delete;
    CSecurityDescriptor &operator=(const CSecurityDescriptor &) = delete;

    PSECURITY_DESCRIPTOR Get();
    operator PSECURITY_DESCRIPTOR();

private:
    SECURITY_DESCRIPTOR m_descriptor;
};

// Grants everyone (S-1-1-0) full access: shared objects made with it can be opened by any
// account, which is what lets a reader in another account open the service's block.
class CSecurityDescriptorAllowAll : public CSecurityDescriptor
{
public:
    CSecurityDescriptorAllowAll();

private:
    std::unique_ptr<BYTE[]> m_acl;
};

// SECURITY_ATTRIBUTES around a descriptor.
class CSecurityAttributes
{
public:
    CSecurityAttributes(CSecurityDescriptor &descriptor, bool inherit);

    SECURITY_ATTRIBUTES *Get();
    operator SECURITY_ATTRIBUTES *();

private:
    SECURITY_ATTRIBUTES m_attributes;
};

} // namespace Win32
} // namespace CorvaneTools
