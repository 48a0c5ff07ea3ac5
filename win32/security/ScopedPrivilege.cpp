#include "win32/security/ScopedPrivilege.h"

#include "win32/errors/Exception.h"

namespace CorvaneTools {
namespace Win32 {

CScopedPrivilege::CScopedPrivilege(CProcessToken &token, const std::wstring &name, bool enable)
    : m_name(name), m_token(&token), m_enabledByMe(false)
{
    if (enable && m_token->HasPrivilege(m_name) && !m_token->IsPrivilegeEnabled(m_name))
    {
        m_enabledByMe = true;
        m_token->EnablePrivilege(m_name);
    }
}

CScopedPrivilege::~CScopedPrivilege()
{
    if (m_enabledByMe)
    {
        try
        {
            m_token->DisablePrivilege(m_name);
        }
        catch (const CException &)
        {
        }
    }
}

bool CScopedPrivilege::EnabledByMe() const
{
    return m_enabledByMe;
}

} // namespace Win32
} // namespace CorvaneTools
