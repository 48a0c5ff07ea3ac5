#include "win32/security/SecurityPrivilege.h"

#include "win32/errors/Win32Exception.h"

namespace CorvaneTools {
namespace Win32 {

CSecurityPrivilege::CSecurityPrivilege(const std::wstring &systemName) : m_systemName(systemName)
{
}

LUID CSecurityPrivilege::GetPrivilegeValue(const std::wstring &name)
{
    const auto found = m_values.find(name);
    if (found != m_values.end())
    {
        return found->second;
    }
    LUID value = {};
    if (!::LookupPrivilegeValueW(m_systemName.empty() ? nullptr : m_systemName.c_str(), name.c_str(), &value))
    {
        throw CWin32Exception(L"CSecurityPrivilege::GetPrivilegeValue()", ::GetLastError());
    }
    const auto inserted = m_values.emplace(name, value).first;
    m_names[Key(value)] = &inserted->first;
    return value;
}

const std::wstring *CSecurityPrivilege::GetPrivilegeName(const LUID &value) const
{
    const auto found = m_names.find(Key(value));
    return found == m_names.end() ? nullptr : found->second;
}

unsigned __int64 CSecurityPrivilege::Key(const LUID &value)
{
    return (static_cast<unsigned __int64>(static_cast<DWORD>(value.HighPart)) << 32) | value.LowPart;
}

} // namespace Win32
} // namespace CorvaneTools
