#include "win32/security/ProcessToken.h"

#include "win32/errors/Win32Exception.h"

#include <shlobj.h>

namespace CorvaneTools {
namespace Win32 {

namespace {

HANDLE OpenOwnToken(DWORD desiredAccess)
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), desiredAccess, &token))
    {
        throw CWin32Exception(L"CProcessToken::CProcessToken() - OpenToken", ::GetLastError());
    }
    return token;
}

} // namespace

CProcessToken::CProcessToken() : m_token(OpenOwnToken(TOKEN_QUERY))
{
}

CProcessToken::CProcessToken(DWORD desiredAccess) : m_token(OpenOwnToken(desiredAccess))
{
}

CProcessToken::CProcessToken(HANDLE token) : m_token(token)
{
}

TOKEN_PRIVILEGES *CProcessToken::GetTokenPrivileges(std::vector<BYTE> &buffer) const
{
    DWORD needed = 0;
    if (!::GetTokenInformation(m_token, TokenPrivileges, buffer.empty() ? nullptr : buffer.data(),
                               static_cast<DWORD>(buffer.size()), &needed))
    {
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        {
            throw CWin32Exception(L"CProcessToken::GetTokenPrivileges()", ::GetLastError());
        }
        buffer.resize(needed);
        if (!::GetTokenInformation(m_token, TokenPrivileges, buffer.data(), static_cast<DWORD>(buffer.size()),
                                   &needed))
        {
            throw CWin32Exception(L"CProcessToken::GetTokenPrivileges()", ::GetLastError());
        }
    }
    return reinterpret_cast<TOKEN_PRIVILEGES *>(buffer.data());
}

bool CProcessToken::FindPrivilege(const std::wstring &name, DWORD &attributes)
{
    const LUID value = m_privileges.GetPrivilegeValue(name);
    std::vector<BYTE> buffer;
    const TOKEN_PRIVILEGES *privileges = GetTokenPrivileges(buffer);
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
    {
        const LUID_AND_ATTRIBUTES &entry = privileges->Privileges[i];
        if (entry.Luid.LowPart == value.LowPart && entry.Luid.HighPart == value.HighPart)
        {
            attributes = entry.Attributes;
            return true;
        }
    }
    return false;
}

bool CProcessToken::HasPrivilege(const std::wstring &name)
{
    DWORD attributes = 0;
    return FindPrivilege(name, attributes) && (attributes & SE_PRIVILEGE_REMOVED) == 0;
}

bool CProcessToken::IsPrivilegeEnabled(const std::wstring &name)
{
    DWORD attributes = 0;
    return FindPrivilege(name, attributes) && (attributes & SE_PRIVILEGE_REMOVED) == 0 &&
           (attributes & SE_PRIVILEGE_ENABLED) != 0;
}

bool CProcessToken::EnablePrivilegeIfHeld(const std::wstring &name)
{
    DWORD attributes = 0;
    if (!FindPrivilege(name, attributes) || (attributes & SE_PRIVILEGE_REMOVED) != 0)
    {
        return false;
    }
    if ((attributes & SE_PRIVILEGE_ENABLED) != 0)
    {
        return true;
    }
    return Adjust(name, SE_PRIVILEGE_ENABLED) != FALSE;
}

void CProcessToken::EnablePrivilege(const std::wstring &name)
{
    if (!Adjust(name, SE_PRIVILEGE_ENABLED))
    {
        throw CWin32Exception(L"CProcessToken::EnablePrivilege()", ::GetLastError());
    }
}

void CProcessToken::DisablePrivilege(const std::wstring &name)
{
    if (!Adjust(name, 0))
    {
        throw CWin32Exception(L"CProcessToken::DisablePrivilege()", ::GetLastError());
    }
}

BOOL CProcessToken::Adjust(const std::wstring &name, DWORD attributes)
{
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = m_privileges.GetPrivilegeValue(name);
    privileges.Privileges[0].Attributes = attributes;
    // Success that leaves ERROR_NOT_ALL_ASSIGNED still counts as success.
    return ::AdjustTokenPrivileges(m_token, FALSE, &privileges, sizeof(privileges), nullptr, nullptr);
}

bool CProcessToken::IsUserAnAdmin()
{
    return ::IsUserAnAdmin() != FALSE;
}

HANDLE CProcessToken::GetHandle() const
{
    return m_token;
}

} // namespace Win32
} // namespace CorvaneTools
