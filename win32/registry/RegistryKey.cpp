#include "win32/registry/RegistryKey.h"

#include "win32/handles/UniqueOwners.h"
#include "win32/text/StringConverter.h"

#include <utility>

namespace CorvaneTools {
namespace Win32 {

CCountedRegKey::CCountedRegKey(HKEY key) : TReferenceCounted<HKEY>(key)
{
}

void CCountedRegKey::Close()
{
    CUniqueRegistryKey(m_value).Reset();
}

CCountedRegKey::~CCountedRegKey() = default;

CRegKeyIterator::CRegKeyIterator() : m_key(nullptr), m_index(0)
{
}

CRegKeyIterator::CRegKeyIterator(CCountedRegKey *key) : m_key(key), m_index(0)
{
    if (m_key)
    {
        m_key->AddRef();
    }
}

CRegKeyIterator::CRegKeyIterator(const CRegKeyIterator &other) : m_key(other.m_key), m_index(other.m_index)
{
    if (m_key)
    {
        m_key->AddRef();
    }
}

CRegKeyIterator &CRegKeyIterator::operator=(const CRegKeyIterator &other)
{
    if (other.m_key)
    {
        other.m_key->AddRef();
    }
    if (m_key)
    {
        m_key->Release();
    }
    m_key = other.m_key;
    m_index = other.m_index;
    return *this;
}

CRegKeyIterator::~CRegKeyIterator()
{
    if (m_key)
    {
        m_key->Release();
    }
}

bool CRegKeyIterator::operator==(const CRegKeyIterator &other) const
{
    return m_key == other.m_key && m_index == other.m_index;
}

bool CRegKeyIterator::operator!=(const CRegKeyIterator &other) const
{
    return !(*this == other);
}

void CRegKeyIterator::MakeEnd()
{
    if (m_key)
    {
        m_key->Release();
    }
    m_key = nullptr;
    m_index = 0;
}

CRegistryKey::Exception::Exception(const wchar_t *where, DWORD error) : CWin32Exception(where, error)
{
}

CRegistryKey::SubkeyIteratorImpl::SubkeyIteratorImpl()
{
}

CRegistryKey::SubkeyIteratorImpl::SubkeyIteratorImpl(CCountedRegKey *key) : CRegKeyIterator(key)
{
    if (m_key)
    {
        QueryKeyInfo();
        Read();
    }
}

std::wstring CRegistryKey::SubkeyIteratorImpl::GetName() const
{
    return m_key ? m_name.data() : L"";
}

std::wstring CRegistryKey::SubkeyIteratorImpl::GetClass() const
{
    return m_key ? m_class.data() : L"";
}

void CRegistryKey::SubkeyIteratorImpl::Advance()
{
    if (m_key)
    {
        ++m_index;
        Read();
    }
}

void CRegistryKey::SubkeyIteratorImpl::QueryKeyInfo()
{
    DWORD longestName = 0;
    DWORD longestClass = 0;
    const LONG result = ::RegQueryInfoKeyW(m_key->Get(), nullptr, nullptr, nullptr, nullptr, &longestName,
                                           &longestClass, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (result != ERROR_SUCCESS)
    {
        throw Exception(L"CRegistryKey::SubkeyIterator::SubkeyIterator()", result);
    }
    if (m_name.size() < longestName + 1)
    {
        m_name.resize(longestName + 1);
    }
    if (m_class.size() < longestClass + 1)
    {
        m_class.resize(longestClass + 1);
    }
}

void CRegistryKey::SubkeyIteratorImpl::GrowBuffers()
{
    const size_t name = m_name.size();
    const size_t keyClass = m_class.size();
    QueryKeyInfo();
    // The key's own figures may lag behind what it holds; growing anyway ends the retries.
    if (m_name.size() == name && m_class.size() == keyClass)
    {
        m_name.resize(name * 2);
        m_class.resize(keyClass * 2);
    }
}

bool CRegistryKey::SubkeyIteratorImpl::GetSubkeyInfo()
{
    for (;;)
    {
        DWORD nameLength = static_cast<DWORD>(m_name.size());
        DWORD classLength = static_cast<DWORD>(m_class.size());
        const LONG result = ::RegEnumKeyExW(m_key->Get(), m_index, m_name.data(), &nameLength, nullptr,
                                            m_class.data(), &classLength, nullptr);
        if (result == ERROR_SUCCESS)
        {
            return true;
        }
        if (result == ERROR_NO_MORE_ITEMS)
        {
            return false;
        }
        if (result != ERROR_MORE_DATA)
        {
            throw Exception(L"CRegistryKey::SubkeyIterator::GetSubkeyInfo()", result);
        }
        GrowBuffers();
    }
}

void CRegistryKey::SubkeyIteratorImpl::Read()
{
    if (!GetSubkeyInfo())
    {
        MakeEnd();
    }
}

CRegistryKey::CRegistryKey() : m_key(nullptr)
{
}

CRegistryKey::CRegistryKey(HKEY parent, const wchar_t *subKey, REGSAM access, const wchar_t *machineName)
    : m_key(nullptr)
{
    CUniqueRegistryKey connection;
    if (machineName)
    {
        const LONG result = ::RegConnectRegistryW(machineName, parent, connection.Put());
        if (result != ERROR_SUCCESS)
        {
            throw Exception(L"CRegistryKey::CRegistryKey() - RegConnectRegistry", result);
        }
    }
    HKEY key = nullptr;
    const LONG result = ::RegOpenKeyExW(machineName ? connection.Get() : parent, subKey, 0, access, &key);
    // The opened subkey does not depend on the connection's root staying open.
    connection.Reset();
    if (result != ERROR_SUCCESS)
    {
        throw Exception(L"CRegistryKey::CRegistryKey(HKEY hKey ...)", result);
    }
    m_key = Adopt(key);
}

CRegistryKey::CRegistryKey(CCountedRegKey *key) : m_key(key)
{
}

CRegistryKey::CRegistryKey(const CRegistryKey &other) : m_key(other.m_key)
{
    if (m_key)
    {
        m_key->AddRef();
    }
}

CRegistryKey::CRegistryKey(CRegistryKey &&other) noexcept : m_key(other.m_key)
{
    other.m_key = nullptr;
}

CRegistryKey &CRegistryKey::operator=(CRegistryKey other) noexcept
{
    std::swap(m_key, other.m_key);
    return *this;
}

CRegistryKey::~CRegistryKey()
{
    if (m_key)
    {
        m_key->Release();
    }
}

CCountedRegKey *CRegistryKey::Adopt(HKEY key)
{
    CUniqueRegistryKey owner(key);
    CCountedRegKey *const counted = new CCountedRegKey(key);
    static_cast<void>(owner.Detach());
    return counted;
}

HKEY CRegistryKey::GetHandle() const
{
    return m_key ? m_key->Get() : nullptr;
}

CRegistryKey CRegistryKey::OpenKey(const wchar_t *subKey, REGSAM access) const
{
    return CRegistryKey(GetHandle(), subKey, access);
}

CRegistryKey CRegistryKey::CreateOrOpenKey(const wchar_t *subKey, DWORD *disposition, const wchar_t *keyClass,
                                           DWORD options, REGSAM access,
                                           SECURITY_ATTRIBUTES *securityAttributes) const
{
    HKEY key = nullptr;
    const LONG result = ::RegCreateKeyExW(GetHandle(), subKey, 0, const_cast<wchar_t *>(keyClass), options, access,
                                          securityAttributes, &key, disposition);
    if (result != ERROR_SUCCESS)
    {
        throw Exception(L"CRegistryKey::CreateOrOpenKey()", result);
    }
    return CRegistryKey(Adopt(key));
}

void CRegistryKey::Write(const wchar_t *where, const wchar_t *name, DWORD type, const void *data, DWORD bytes)
{
    const LONG result = ::RegSetValueExW(GetHandle(), name, 0, type, static_cast<const BYTE *>(data), bytes);
    if (result != ERROR_SUCCESS)
    {
        throw Exception(where, result);
    }
}

void CRegistryKey::SetValue(const wchar_t *name, const wchar_t *value, DWORD type)
{
    if (type != REG_SZ && type != REG_EXPAND_SZ)
    {
        throw Exception(L"CRegistryKey::SetValue()", ERROR_INVALID_FLAGS);
    }
    const DWORD bytes = static_cast<DWORD>(GetStringLength(value, true)) * sizeof(wchar_t);
    Write(L"CRegistryKey::SetValue()", name, type, value ? value : L"", bytes);
}

void CRegistryKey::SetValue(const wchar_t *name, DWORD value, DWORD type)
{
    if (type != REG_DWORD && type != REG_DWORD_BIG_ENDIAN)
    {
        throw Exception(L"CRegistryKey::SetValue()", ERROR_INVALID_FLAGS);
    }
    Write(L"CRegistryKey::SetValue()", name, type, &value, sizeof(value));
}

void CRegistryKey::SetMultiStringValue(const wchar_t *name, const std::vector<std::wstring> &values)
{
    std::wstring data;
    for (const std::wstring &value : values)
    {
        if (value.empty() || value.find(L'\0') != std::wstring::npos)
        {
            throw Exception(L"CRegistryKey::SetMultiStringValue()", ERROR_INVALID_PARAMETER);
        }
        data += value;
        data += L'\0';
    }
    data += L'\0';
    const DWORD bytes = static_cast<DWORD>(GetStringLength(data, false)) * sizeof(wchar_t);
    Write(L"CRegistryKey::SetMultiStringValue()", name, REG_MULTI_SZ, data.data(), bytes);
}

bool CRegistryKey::QueryValue(const wchar_t *name, std::wstring &value) const
{
    DWORD type = REG_NONE;
    DWORD bytes = 0;
    if (::RegQueryValueExW(GetHandle(), name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
    {
        return false;
    }
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD read = bytes;
    if (::RegQueryValueExW(GetHandle(), name, nullptr, &type, reinterpret_cast<BYTE *>(&text[0]), &read) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
    {
        return false;
    }
    // Stored strings need not end with a zero, nor with a whole character.
    text.resize(read / sizeof(wchar_t));
    const size_t end = text.find(L'\0');
    if (end != std::wstring::npos)
    {
        text.resize(end);
    }
    value.swap(text);
    return true;
}

bool CRegistryKey::QueryValue(const wchar_t *name, DWORD &value) const
{
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD bytes = sizeof(data);
    if (::RegQueryValueExW(GetHandle(), name, nullptr, &type, reinterpret_cast<BYTE *>(&data), &bytes) !=
            ERROR_SUCCESS ||
        (type != REG_DWORD && type != REG_DWORD_BIG_ENDIAN) || bytes != sizeof(data))
    {
        return false;
    }
    value = data;
    return true;
}

bool CRegistryKey::DeleteValue(const wchar_t *name)
{
    return ::RegDeleteValueW(GetHandle(), name) == ERROR_SUCCESS;
}

void CRegistryKey::DeleteKey(const wchar_t *subKey)
{
    {
        const CRegistryKey key(GetHandle(), subKey, KEY_ALL_ACCESS);
        if (key.BeginSubkeys() != key.EndSubkeys())
        {
            throw Exception(L"CRegistryKey::DeleteKey()", ERROR_ACCESS_DENIED);
        }
    }
    const LONG result = ::RegDeleteKeyW(GetHandle(), subKey);
    if (result != ERROR_SUCCESS)
    {
        throw Exception(L"CRegistryKey::DeleteKey()", result);
    }
}

CRegistryKey::SubkeyIterator CRegistryKey::BeginSubkeys() const
{
    return SubkeyIterator(m_key);
}

CRegistryKey::SubkeyIterator CRegistryKey::EndSubkeys() const
{
    return SubkeyIterator();
}

} // namespace Win32
} // namespace CorvaneTools
