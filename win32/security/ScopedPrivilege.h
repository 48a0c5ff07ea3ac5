#pragma once

#include "win32/security/ProcessToken.h"

#include <string>

namespace CorvaneTools {
namespace Win32 {

// Enables a held privilege for a scope, and disables it again only if it enabled it.
class CScopedPrivilege
{
public:
    CScopedPrivilege(CProcessToken &token, const std::wstring &name, bool enable);
    ~CScopedPrivilege();

    CScopedPrivilege(const CScopedPrivilege &) = delete;
    CScopedPrivilege &operator=(const CScopedPrivilege &) = delete;

    bool EnabledByMe() const;

private:
    std::wstring m_name;
    CProcessToken *m_token;
    bool m_enabledByMe;
};

} // namespace Win32
} // namespace CorvaneTools
