#pragma once

#include <windows.h>

#include <map>
#include <string>

namespace CorvaneTools {
namespace Win32 {

// Privilege names to LUIDs, looked up once each.
class CSecurityPrivilege
{
public:
    // An empty system name means the local machine.
    explicit CSecurityPrivilege(const std::wstring &systemName = std::wstring());

    LUID GetPrivilegeValue(const std::wstring &name);

    // The cached name of a LUID, or null when it was never looked up.
    const std::wstring *GetPrivilegeName(const LUID &value) const;

private:
    static unsigned __int64 Key(const LUID &value);

    std::wstring m_systemName;
    std::map<std::wstring, LUID> m_values;
    std::map<unsigned __int64, const std::wstring *> m_names;
};

} // namespace Win32
} // namespace CorvaneTools
