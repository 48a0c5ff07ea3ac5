#pragma once

// The deletions the system carries out at the next restart, as MoveFileEx records them:
// pairs of names in Session Manager's PendingFileRenameOperations, the source as "\??\"
// + path and an empty destination for a deletion.
#include <windows.h>

#include <string>
#include <vector>

namespace TestSupport {

const wchar_t PendingOperationsKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t PendingOperationsValue[] = L"PendingFileRenameOperations";

inline std::vector<std::wstring> PendingOperationEntries()
{
    DWORD bytes = 0;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, PendingOperationsKey, PendingOperationsValue, RRF_RT_REG_MULTI_SZ, nullptr,
                       nullptr, &bytes) != ERROR_SUCCESS)
    {
        return {};
    }
    std::vector<wchar_t> text(bytes / sizeof(wchar_t) + 2, L'\0');
    bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, PendingOperationsKey, PendingOperationsValue, RRF_RT_REG_MULTI_SZ, nullptr,
                       text.data(), &bytes) != ERROR_SUCCESS)
    {
        return {};
    }
    // Empty strings are entries here (a deletion's destination), so the end is the size.
    std::vector<std::wstring> entries;
    const size_t count = bytes / sizeof(wchar_t);
    for (size_t at = 0; at + 1 < count; at += entries.back().size() + 1)
    {
        entries.push_back(std::wstring(text.data() + at));
    }
    return entries;
}

inline bool IsPendingDeletion(const std::wstring &path)
{
    const std::vector<std::wstring> entries = PendingOperationEntries();
    for (size_t at = 0; at + 1 < entries.size(); at += 2)
    {
        if (::_wcsicmp(entries[at].c_str(), (L"\\??\\" + path).c_str()) == 0 && entries[at + 1].empty())
        {
            return true;
        }
    }
    return false;
}

// Takes a test's own entry out again, so that no later start of the prefix acts on it.
inline void ForgetPendingDeletion(const std::wstring &path)
{
    const std::vector<std::wstring> entries = PendingOperationEntries();
    std::wstring kept;
    for (size_t at = 0; at + 1 < entries.size(); at += 2)
    {
        if (::_wcsicmp(entries[at].c_str(), (L"\\??\\" + path).c_str()) != 0)
        {
            kept += entries[at] + L'\0' + entries[at + 1] + L'\0';
        }
    }
    kept += L'\0';
    HKEY key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, PendingOperationsKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
    {
        return;
    }
    if (kept.size() == 1)
    {
        ::RegDeleteValueW(key, PendingOperationsValue);
    }
    else
    {
        ::RegSetValueExW(key, PendingOperationsValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(kept.data()),
                         static_cast<DWORD>(kept.size() * sizeof(wchar_t)));
    }
    ::RegCloseKey(key);
}

} // namespace TestSupport
