#include "tests/support/loadperf/PerflibRegistry.h"

#include "tests/support/loadperf/CounterTextLoaderNames.h"

#include <winternl.h>

#include <cwchar>

extern "C" {
NTSTATUS NTAPI NtCreateKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG titleIndex,
                           PUNICODE_STRING keyClass, ULONG options, PULONG disposition);
NTSTATUS NTAPI NtOpenKey(PHANDLE key, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSTATUS NTAPI NtDeleteKey(HANDLE key);
}

namespace TessalyTestSupport {

const wchar_t kPerflibPath[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib";
const wchar_t kSubstituteListsPath[] = TESSALY_COUNTER_TEXT_LOADER_SUBSTITUTE_LISTS;

std::wstring ApplicationPerformancePath(const std::wstring &applicationName)
{
    return L"SYSTEM\\CurrentControlSet\\Services\\" + applicationName + L"\\Performance";
}

CKey::~CKey()
{
    Close();
}

void CKey::Close()
{
    if (m_key)
    {
        ::RegCloseKey(m_key);
        m_key = nullptr;
    }
}

namespace {

// The native calls take the whole path; a failure keeps its Win32 code.
LONG NativeKey(const std::wstring &path, REGSAM access, bool create, HKEY &key, bool &created)
{
    const std::wstring full = L"\\Registry\\Machine\\" + path;
    UNICODE_STRING name;
    ::RtlInitUnicodeString(&name, full.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE handle = nullptr;
    ULONG disposition = 0;
    const NTSTATUS status = create ? ::NtCreateKey(&handle, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                   &disposition)
                                   : ::NtOpenKey(&handle, access, &attributes);
    const NTSTATUS predefinedHandle = 0x40000016;
    if (status == predefinedHandle)
    {
        return kReservedKey;
    }
    if (status < 0)
    {
        return static_cast<LONG>(::RtlNtStatusToDosError(status));
    }
    key = static_cast<HKEY>(handle);
    created = create && disposition == REG_CREATED_NEW_KEY;
    return ERROR_SUCCESS;
}

} // namespace

LONG CKey::Open(const std::wstring &path, REGSAM access)
{
    Close();
    bool created = false;
    return NativeKey(path, access, false, m_key, created);
}

LONG CKey::Create(const std::wstring &path, REGSAM access, bool &created)
{
    Close();
    return NativeKey(path, access, true, m_key, created);
}

LONG CKey::Delete()
{
    const NTSTATUS status = ::NtDeleteKey(m_key);
    return status < 0 ? static_cast<LONG>(::RtlNtStatusToDosError(status)) : ERROR_SUCCESS;
}

LONG ReadValue(HKEY key, const wchar_t *name, DWORD &type, std::vector<BYTE> &data)
{
    DWORD size = 0;
    LONG result = ::RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    while (result == ERROR_SUCCESS || result == ERROR_MORE_DATA)
    {
        data.resize(size);
        result = ::RegQueryValueExW(key, name, nullptr, &type, data.empty() ? nullptr : data.data(), &size);
        if (result == ERROR_SUCCESS)
        {
            data.resize(size);
            break;
        }
    }
    return result;
}

bool ReadDword(HKEY key, const wchar_t *name, DWORD &value)
{
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&data), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(data))
    {
        return false;
    }
    value = data;
    return true;
}

LONG WriteDword(HKEY key, const wchar_t *name, DWORD value)
{
    return ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof(value));
}

LONG WriteString(HKEY key, const wchar_t *name, const std::wstring &value)
{
    return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void TitleListFromMultiString(const wchar_t *data, size_t length, TitleList &list)
{
    list.clear();
    std::vector<std::wstring> entries;
    size_t i = 0;
    while (i < length && data[i] != L'\0')
    {
        size_t end = i;
        while (end < length && data[end] != L'\0')
        {
            ++end;
        }
        entries.emplace_back(data + i, end - i);
        i = end + 1;
    }
    for (size_t k = 0; k + 1 < entries.size(); k += 2)
    {
        list.emplace_back(entries[k], entries[k + 1]);
    }
}

LONG ReadTitleList(HKEY key, const wchar_t *name, TitleList &list)
{
    list.clear();
    DWORD type = 0;
    std::vector<BYTE> data;
    const LONG result = ReadValue(key, name, type, data);
    if (result == ERROR_FILE_NOT_FOUND)
    {
        return ERROR_SUCCESS;
    }
    if (result != ERROR_SUCCESS)
    {
        return result;
    }
    if (type != REG_MULTI_SZ)
    {
        return ERROR_INVALID_DATA;
    }
    TitleListFromMultiString(reinterpret_cast<const wchar_t *>(data.data()), data.size() / sizeof(wchar_t), list);
    return ERROR_SUCCESS;
}

LONG WriteTitleList(HKEY key, const wchar_t *name, const TitleList &list)
{
    std::wstring data;
    for (const auto &entry : list)
    {
        data += entry.first;
        data += L'\0';
        data += entry.second;
        data += L'\0';
    }
    data += L'\0';
    return ::RegSetValueExW(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(data.data()),
                            static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}

DWORD TitleIndex(const std::pair<std::wstring, std::wstring> &entry)
{
    wchar_t *stop = nullptr;
    const unsigned long index = std::wcstoul(entry.first.c_str(), &stop, 10);
    return entry.first.empty() || *stop != L'\0' ? 0 : static_cast<DWORD>(index);
}

std::wstring LanguageListsPath(const std::wstring &language)
{
    const std::wstring perflib = std::wstring(kPerflibPath) + L"\\" + language;
    CKey key;
    return key.Open(perflib, KEY_QUERY_VALUE | kPerflibView) == kReservedKey
               ? std::wstring(kSubstituteListsPath) + L"\\" + language
               : perflib;
}

LONG LanguageKeyExists(const std::wstring &language, bool &exists)
{
    CKey key;
    const LONG result = key.Open(std::wstring(kPerflibPath) + L"\\" + language, KEY_QUERY_VALUE | kPerflibView);
    exists = result == ERROR_SUCCESS || result == kReservedKey;
    return exists || result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
}

LONG ListSubkeys(HKEY key, std::vector<std::wstring> &names)
{
    names.clear();
    for (DWORD i = 0;; ++i)
    {
        wchar_t name[256];
        DWORD length = sizeof(name) / sizeof(name[0]);
        const LONG result = ::RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
        {
            return ERROR_SUCCESS;
        }
        if (result != ERROR_SUCCESS)
        {
            return result;
        }
        names.emplace_back(name, length);
    }
}

CRegistryUndoLog::~CRegistryUndoLog()
{
    if (m_committed)
    {
        return;
    }
    for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it)
    {
        Undo(*it);
    }
}

LONG CRegistryUndoLog::RememberValue(const std::wstring &path, REGSAM view, const wchar_t *name)
{
    CKey key;
    LONG result = key.Open(path, KEY_QUERY_VALUE | view);
    if (result != ERROR_SUCCESS)
    {
        return result;
    }
    SEntry entry{path, view, false, name, false, 0, {}};
    result = ReadValue(key.Get(), name, entry.type, entry.data);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
    {
        return result;
    }
    entry.existed = result == ERROR_SUCCESS;
    m_entries.push_back(std::move(entry));
    return ERROR_SUCCESS;
}

void CRegistryUndoLog::RememberCreatedKey(const std::wstring &path, REGSAM view)
{
    m_entries.push_back(SEntry{path, view, true, L"", false, 0, {}});
}

void CRegistryUndoLog::Undo(const SEntry &entry) const
{
    CKey key;
    if (entry.isKey)
    {
        if (key.Open(entry.path, DELETE | entry.view) == ERROR_SUCCESS)
        {
            key.Delete();
        }
        return;
    }
    if (key.Open(entry.path, KEY_SET_VALUE | entry.view) != ERROR_SUCCESS)
    {
        return;
    }
    if (entry.existed)
    {
        ::RegSetValueExW(key.Get(), entry.name.c_str(), 0, entry.type, entry.data.empty() ? nullptr : entry.data.data(),
                         static_cast<DWORD>(entry.data.size()));
    }
    else
    {
        ::RegDeleteValueW(key.Get(), entry.name.c_str());
    }
}

} // namespace TessalyTestSupport
