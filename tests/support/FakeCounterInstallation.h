#pragma once

#include "tests/support/TestNames.h"

#include <windows.h>

#include <string>

namespace TestSupport {

// Counters "installed" under a counter-set name of the test's own: the values the
// counter-text loader and the installer would have left, without DLLs or texts.
class CFakeCounterInstallation
{
public:
    CFakeCounterInstallation(DWORD firstCounter, const std::wstring &checksum,
                             const std::wstring &name = UniqueName(L"Counters"))
        : m_name(name), m_first(firstCounter)
    {
        const std::wstring key = Key() + L"\\Performance";
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"First Counter", REG_DWORD, &firstCounter,
                          sizeof(firstCounter));
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"SchemaChecksum", REG_SZ, checksum.c_str(),
                          static_cast<DWORD>((checksum.size() + 1) * sizeof(wchar_t)));
    }

    ~CFakeCounterInstallation()
    {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, Key().c_str());
    }

    CFakeCounterInstallation(const CFakeCounterInstallation &) = delete;
    CFakeCounterInstallation &operator=(const CFakeCounterInstallation &) = delete;

    const std::wstring &Name() const
    {
        return m_name;
    }

    DWORD First() const
    {
        return m_first;
    }

private:
    std::wstring Key() const
    {
        return L"SYSTEM\\CurrentControlSet\\Services\\" + m_name;
    }

    const std::wstring m_name;
    const DWORD m_first;
};

} // namespace TestSupport
