#pragma once

#include "win32/errors/Win32Exception.h"
#include "win32/sync/ReferenceCounted.h"

#include <string>
#include <vector>

namespace CorvaneTools {
namespace Win32 {

class CCountedRegKey : public TReferenceCounted<HKEY>
{
public:
    explicit CCountedRegKey(HKEY key);

protected:
    void Close() override;
    ~CCountedRegKey() override;
};

// A position in one of a key's lists. The end has no key and index 0.
class CRegKeyIterator
{
public:
    bool operator==(const CRegKeyIterator &other) const;
    bool operator!=(const CRegKeyIterator &other) const;

protected:
    CRegKeyIterator();
    explicit CRegKeyIterator(CCountedRegKey *key);
    CRegKeyIterator(const CRegKeyIterator &other);
    CRegKeyIterator &operator=(const CRegKeyIterator &other);
    ~CRegKeyIterator();

    void MakeEnd();

    CCountedRegKey *m_key;
    DWORD m_index;
};

template <typename Impl>
class TRegKeyIterator : public Impl
{
public:
    TRegKeyIterator() = default;
    using Impl::Impl;

    const Impl &operator*() const
    {
        return *this;
    }

    const Impl *operator->() const
    {
        return this;
    }

    TRegKeyIterator &operator++()
    {
        Impl::Advance();
        return *this;
    }

    TRegKeyIterator operator++(int)
    {
        TRegKeyIterator before(*this);
        Impl::Advance();
        return before;
    }
};

// A registry key whose handle is shared by all copies and closed with the last one.
// Writers throw CRegistryKey::Exception with the registry's result; readers return false.
class CRegistryKey
{
public:
    class Exception : public CWin32Exception
    {
    public:
        Exception(const wchar_t *where, DWORD error);
    };

    class SubkeyIteratorImpl : public CRegKeyIterator
    {
    public:
        SubkeyIteratorImpl();
        explicit SubkeyIteratorImpl(CCountedRegKey *key);

        std::wstring GetName() const;
        std::wstring GetClass() const;

    protected:
        void Advance();

    private:
        void QueryKeyInfo();
        void GrowBuffers();
        bool GetSubkeyInfo();
        void Read();

        std::vector<wchar_t> m_name;
        std::vector<wchar_t> m_class;
    };

    typedef TRegKeyIterator<SubkeyIteratorImpl> SubkeyIterator;

    CRegistryKey();
    CRegistryKey(HKEY parent, const wchar_t *subKey, REGSAM access, const wchar_t *machineName = nullptr);
    CRegistryKey(const CRegistryKey &other);
    CRegistryKey(CRegistryKey &&other) noexcept;
    CRegistryKey &operator=(CRegistryKey other) noexcept;
    ~CRegistryKey();

    // Null for an empty key.
    HKEY GetHandle() const;

    CRegistryKey OpenKey(const wchar_t *subKey, REGSAM access) const;
    CRegistryKey CreateOrOpenKey(const wchar_t *subKey, DWORD *disposition = nullptr,
                                 const wchar_t *keyClass = nullptr, DWORD options = REG_OPTION_NON_VOLATILE,
                                 REGSAM access = KEY_ALL_ACCESS,
                                 SECURITY_ATTRIBUTES *securityAttributes = nullptr) const;

    void SetValue(const wchar_t *name, const wchar_t *value, DWORD type = REG_SZ);
    void SetValue(const wchar_t *name, DWORD value, DWORD type = REG_DWORD);
    // REG_MULTI_SZ: each entry with its zero, then an empty string. A list cannot hold an
    // empty entry or one with a zero inside (readers would end the list there), so those
    // are refused with ERROR_INVALID_PARAMETER.
    void SetMultiStringValue(const wchar_t *name, const std::vector<std::wstring> &values);

    // REG_SZ or REG_EXPAND_SZ (unexpanded), up to its first zero; stored data need not end
    // with one. False, with value unchanged, on any problem.
    bool QueryValue(const wchar_t *name, std::wstring &value) const;
    // REG_DWORD or REG_DWORD_BIG_ENDIAN of exactly 4 bytes, as stored.
    bool QueryValue(const wchar_t *name, DWORD &value) const;

    bool DeleteValue(const wchar_t *name);
    // Only a key without subkeys is deleted; otherwise ERROR_ACCESS_DENIED.
    void DeleteKey(const wchar_t *subKey);

    SubkeyIterator BeginSubkeys() const;
    SubkeyIterator EndSubkeys() const;

private:
    explicit CRegistryKey(CCountedRegKey *key);
    static CCountedRegKey *Adopt(HKEY key);
    void Write(const wchar_t *where, const wchar_t *name, DWORD type, const void *data, DWORD bytes);

    CCountedRegKey *m_key;
};

} // namespace Win32
} // namespace CorvaneTools
