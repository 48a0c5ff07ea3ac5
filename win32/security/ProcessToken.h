#pragma once

#include "win32/handles/SmartHandle.h"
#include "win32/security/SecurityPrivilege.h"

#include <string>
#include <vector>

namespace CorvaneTools {
namespace Win32 {

// An access token and the privileges in it.
class CProcessToken
{
public:
    // The current process's token, for queries.
    CProcessToken();
    explicit CProcessToken(DWORD desiredAccess);
    // Takes ownership of a token the caller opened.
    explicit CProcessToken(HANDLE token);

    CProcessToken(const CProcessToken &) = delete;
    CProcessToken &operator=(const CProcessToken &) = delete;

    // The token's privilege list, held in buffer (grown as needed).
    TOKEN_PRIVILEGES *GetTokenPrivileges(std::vector<BYTE> &buffer) const;

    bool HasPrivilege(const std::wstring &name);
    bool IsPrivilegeEnabled(const std::wstring &name);
    bool EnablePrivilegeIfHeld(const std::wstring &name);
    void EnablePrivilege(const std::wstring &name);
    void DisablePrivilege(const std::wstring &name);

    static bool IsUserAnAdmin();

    HANDLE GetHandle() const;

private:
    // The privilege's attributes; false when the token does not hold it.
    bool FindPrivilege(const std::wstring &name, DWORD &attributes);
    BOOL Adjust(const std::wstring &name, DWORD attributes);

    CSmartHandle m_token;
    CSecurityPrivilege m_privileges;
};

} // namespace Win32
} // namespace CorvaneTools
