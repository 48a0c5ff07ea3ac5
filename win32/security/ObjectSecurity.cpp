#include "win32/security/ObjectSecurity.h"

#include "win32/errors/Exception.h"
#include "win32/errors/Win32Exception.h"
#include "win32/handles/SmartHandle.h"
#include "win32/security/UntrustedObjectException.h"
#include "win32/text/ToString.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

namespace CorvaneTools {
namespace Win32 {

namespace {

// Section: SECTION_QUERY | SECTION_MAP_READ | READ_CONTROL | SYNCHRONIZE.
const ACCESS_MASK s_readSection = 0x00120005;
// Event: EVENT_QUERY_STATE | EVENT_MODIFY_STATE; section: SECTION_QUERY | SECTION_MAP_WRITE
// | SECTION_MAP_READ; with READ_CONTROL | SYNCHRONIZE.
const ACCESS_MASK s_takeLock = 0x00120007;
const ACCESS_MASK s_setEvent = 0x00120003;
// FILE_GENERIC_READ | FILE_GENERIC_EXECUTE: list, traverse, read.
const ACCESS_MASK s_readFolder = 0x001200a9;

// Protected (P): nothing inherited from the parent widens them. No owner is named, so the
// creator's default owner is used: SYSTEM's or an elevated administrator's is
// Administrators, and naming it would fail for a standard user's debug run.
struct ProtectionDefinition
{
    ObjectProtection protection;
    const wchar_t *sddl;
    ACCESS_MASK othersMay;
};

const ProtectionDefinition s_definitions[] = {
    {ObjectProtection::PublishedSection, L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x120005;;;WD)", s_readSection},
    {ObjectProtection::SharedLock, L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x120007;;;WD)", s_takeLock},
    {ObjectProtection::SignalEvent, L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x120003;;;WD)", s_setEvent},
    {ObjectProtection::ReadableFolder, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)", s_readFolder},
    {ObjectProtection::PrivateFolder, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", 0},
    {ObjectProtection::PrivateFile, L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", 0},
};

const ProtectionDefinition &Find(ObjectProtection protection)
{
    for (const ProtectionDefinition &definition : s_definitions)
    {
        if (definition.protection == protection)
        {
            return definition;
        }
    }
    throw CException(L"CObjectSecurity::Definition()",
                     L"Unknown protection: " + ToString(static_cast<unsigned long>(protection)));
}

std::wstring SidText(PSID sid)
{
    TUniqueLocalMemory<LPWSTR> text;
    if (!::ConvertSidToStringSidW(sid, text.Put()))
    {
        return L"(unreadable SID)";
    }
    return std::wstring(text.Get());
}

// SIDs as text: the list is short and compared once per object.
class CTrustedAccounts
{
public:
    CTrustedAccounts()
        : m_sids{L"S-1-5-18", L"S-1-5-32-544",
                 L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"}
    {
        CUniqueHandle token;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Put()))
        {
            return;
        }
        AddFromToken(token.Get(), TokenUser);
        AddFromToken(token.Get(), TokenOwner);
    }

    bool Contains(PSID sid) const
    {
        const std::wstring text = SidText(sid);
        for (const std::wstring &trusted : m_sids)
        {
            if (trusted == text)
            {
                return true;
            }
        }
        return false;
    }

private:
    void AddFromToken(HANDLE token, TOKEN_INFORMATION_CLASS which)
    {
        DWORD size = 0;
        ::GetTokenInformation(token, which, nullptr, 0, &size);
        std::vector<BYTE> buffer(size ? size : 1);
        if (!::GetTokenInformation(token, which, buffer.data(), size, &size))
        {
            return;
        }
        // TOKEN_USER and TOKEN_OWNER both begin with the SID's pointer.
        m_sids.push_back(SidText(*reinterpret_cast<PSID *>(buffer.data())));
    }

    std::vector<std::wstring> m_sids;
};

std::wstring Hex(ACCESS_MASK mask)
{
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text = L"0x";
    for (int shift = 28; shift >= 0; shift -= 4)
    {
        text += digits[(mask >> shift) & 0xF];
    }
    return text;
}

std::wstring FindUntrustedAce(PACL dacl, ACCESS_MASK othersMay, const CTrustedAccounts &trusted)
{
    const ACCESS_MASK harmless = othersMay | GENERIC_READ | GENERIC_EXECUTE;
    for (DWORD index = 0; index < dacl->AceCount; ++index)
    {
        ACE_HEADER *header = nullptr;
        if (!::GetAce(dacl, index, reinterpret_cast<void **>(&header)))
        {
            return L"its access list cannot be read";
        }
        if (header->AceFlags & INHERIT_ONLY_ACE)
        {
            continue;
        }
        switch (header->AceType)
        {
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
            continue; // a denial never lets anyone in
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
            // Both lay out the mask and the SID as the plain allowed entry does.
            const ACCESS_ALLOWED_ACE *ace = reinterpret_cast<const ACCESS_ALLOWED_ACE *>(header);
            PSID sid = const_cast<DWORD *>(&ace->SidStart);
            if ((ace->Mask & ~harmless) != 0 && !trusted.Contains(sid))
            {
                return L"it grants " + SidText(sid) + L" access " + Hex(ace->Mask) + L" (others may have " +
                       Hex(othersMay) + L")";
            }
            continue;
        }
        default:
            return L"it has an access entry of type " + ToString(static_cast<unsigned long>(header->AceType));
        }
    }
    return std::wstring();
}

} // namespace

CObjectSecurity::CObjectSecurity(ObjectProtection protection) : m_attributes()
{
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(Definition(protection), SDDL_REVISION_1,
                                                                m_descriptor.Put(), nullptr))
    {
        throw CWin32Exception(L"CObjectSecurity::CObjectSecurity() - ConvertStringSecurityDescriptorToSecurityDescriptor",
                              ::GetLastError());
    }
    m_attributes.nLength = sizeof(m_attributes);
    m_attributes.lpSecurityDescriptor = m_descriptor.Get();
    m_attributes.bInheritHandle = FALSE;
}

SECURITY_ATTRIBUTES *CObjectSecurity::Attributes()
{
    return &m_attributes;
}

CObjectSecurity::operator SECURITY_ATTRIBUTES *()
{
    return &m_attributes;
}

PSECURITY_DESCRIPTOR CObjectSecurity::Descriptor() const
{
    return m_descriptor.Get();
}

ACCESS_MASK CObjectSecurity::OthersMay(ObjectProtection protection)
{
    return Find(protection).othersMay;
}

const wchar_t *CObjectSecurity::Definition(ObjectProtection protection)
{
    return Find(protection).sddl;
}

std::wstring FindUntrustedWriters(HANDLE handle, SE_OBJECT_TYPE objectType, ObjectProtection protection)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    CUniqueSecurityDescriptor descriptor;
    const DWORD error = ::GetSecurityInfo(handle, objectType, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                          &owner, nullptr, &dacl, nullptr, descriptor.Put());
    if (error != ERROR_SUCCESS)
    {
        // "GetSecurityInfo function" promises the descriptor, to be freed with LocalFree, only
        // on ERROR_SUCCESS; what a failed call left in it is not freed.
        static_cast<void>(descriptor.Detach());
        return L"its descriptor cannot be read (error " + ToString(static_cast<unsigned long>(error)) + L")";
    }
    const CTrustedAccounts trusted;
    std::wstring why;
    if (!owner)
    {
        why = L"it has no owner";
    }
    else if (!trusted.Contains(owner))
    {
        // An owner may always rewrite the access list.
        why = L"it is owned by " + SidText(owner);
    }
    else if (!dacl)
    {
        why = L"it has no access list, so everyone may do anything with it";
    }
    else
    {
        why = FindUntrustedAce(dacl, CObjectSecurity::OthersMay(protection), trusted);
    }
    return why;
}

void RequireTrustedObject(HANDLE handle, SE_OBJECT_TYPE objectType, ObjectProtection protection,
                          const std::wstring &where, const std::wstring &name)
{
    const std::wstring why = FindUntrustedWriters(handle, objectType, protection);
    if (!why.empty())
    {
        throw CUntrustedObjectException(where, L"\"" + name + L"\" is not to be trusted: " + why);
    }
}

void RequireNoForeignObject(const std::wstring &name, bool isSection, ObjectProtection protection,
                            const std::wstring &where)
{
    CSmartHandle object(isSection ? ::OpenFileMappingW(READ_CONTROL, FALSE, name.c_str())
                                  : ::OpenEventW(READ_CONTROL, FALSE, name.c_str()));
    const DWORD error = object.IsValid() ? ERROR_SUCCESS : ::GetLastError();
    switch (error)
    {
    case ERROR_SUCCESS:
        RequireTrustedObject(object, SE_KERNEL_OBJECT, protection, where, name);
        return;
    case ERROR_FILE_NOT_FOUND:
        return;
    case ERROR_INVALID_HANDLE:
        // What opening a name held by an object of another type answers.
        throw CUntrustedObjectException(where, L"\"" + name + L"\" is held by an object that is not " +
                                                   (isSection ? L"a file mapping" : L"an event"));
    default:
        throw CUntrustedObjectException(where, L"\"" + name + L"\" exists and cannot be opened to check it (error " +
                                                   ToString(static_cast<unsigned long>(error)) + L")");
    }
}

} // namespace Win32
} // namespace CorvaneTools
