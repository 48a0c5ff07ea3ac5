#pragma once

#include <windows.h>

namespace TestSupport {

// A standard user, modelled as this platform allows: the own token with every privilege
// deleted (SeCreateGlobalPrivilege named, as DISABLE_MAX_PRIVILEGE alone keeps it here) and
// the Administrators group deny-only. Such a token is held to descriptors. Here every
// process runs as one account, which owns what any of them makes; notOwner also makes the
// own account and its default owner deny-only, as another user is (such a token can no
// longer load the counter DLL from the prefix). Null on failure.
class CStandardUserToken
{
public:
    explicit CStandardUserToken(bool notOwner = false) : m_token(nullptr)
    {
        HANDLE own = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, &own))
        {
            return;
        }
        BYTE administrators[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof(administrators);
        BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
        BYTE owner[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_OWNER)];
        DWORD length = 0;
        LUID_AND_ATTRIBUTES global = {};
        if (::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
            ::GetTokenInformation(own, TokenUser, user, sizeof(user), &length) &&
            ::GetTokenInformation(own, TokenOwner, owner, sizeof(owner), &length) &&
            ::LookupPrivilegeValueW(nullptr, L"SeCreateGlobalPrivilege", &global.Luid))
        {
            SID_AND_ATTRIBUTES deny[] = {{administrators, 0},
                                         {reinterpret_cast<TOKEN_USER *>(user)->User.Sid, 0},
                                         {reinterpret_cast<TOKEN_OWNER *>(owner)->Owner, 0}};
            if (!::CreateRestrictedToken(own, DISABLE_MAX_PRIVILEGE, notOwner ? 3 : 1, deny, 1, &global, 0, nullptr,
                                         &m_token))
            {
                m_token = nullptr;
            }
        }
        ::CloseHandle(own);
    }
    ~CStandardUserToken()
    {
        if (m_token)
        {
            ::CloseHandle(m_token);
        }
    }
    CStandardUserToken(const CStandardUserToken &) = delete;
    CStandardUserToken &operator=(const CStandardUserToken &) = delete;

    HANDLE Get() const
    {
        return m_token;
    }

private:
    HANDLE m_token;
};

} // namespace TestSupport
