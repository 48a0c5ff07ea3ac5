#include "perfmon/MD5Digest.h"

#include "win32/errors/Win32Exception.h"
#include "win32/text/ToString.h"

#include <wincrypt.h>

namespace CorvaneTools {
namespace PerfMon {

using Win32::CException;
using Win32::CWin32Exception;

namespace {

const wchar_t *const s_where = L"GetMD5Digest()";

class CCryptProvider
{
public:
    CCryptProvider() : m_provider(0)
    {
        if (!::CryptAcquireContextW(&m_provider, nullptr, nullptr, PROV_RSA_FULL,
                                    CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET))
        {
            throw CWin32Exception(s_where, ::GetLastError());
        }
    }
    ~CCryptProvider()
    {
        ::CryptReleaseContext(m_provider, 0);
    }
    CCryptProvider(const CCryptProvider &) = delete;
    CCryptProvider &operator=(const CCryptProvider &) = delete;

    HCRYPTPROV Get() const
    {
        return m_provider;
    }

private:
    HCRYPTPROV m_provider;
};

class CCryptHash
{
public:
    explicit CCryptHash(const CCryptProvider &provider) : m_hash(0)
    {
        if (!::CryptCreateHash(provider.Get(), CALG_MD5, 0, 0, &m_hash))
        {
            throw CWin32Exception(s_where, ::GetLastError());
        }
    }
    ~CCryptHash()
    {
        ::CryptDestroyHash(m_hash);
    }
    CCryptHash(const CCryptHash &) = delete;
    CCryptHash &operator=(const CCryptHash &) = delete;

    HCRYPTHASH Get() const
    {
        return m_hash;
    }

private:
    HCRYPTHASH m_hash;
};

} // namespace

void GetMD5Digest(const void *data, DWORD length, BYTE *output, DWORD outputLength)
{
    if (outputLength != 16)
    {
        throw CException(s_where, L"Unexpected output length: " + Win32::ToString(static_cast<unsigned long>(outputLength)) +
                                      L" expected: 16");
    }
    CCryptProvider provider;
    CCryptHash hash(provider);
    if (!::CryptHashData(hash.Get(), static_cast<const BYTE *>(data), length, 0))
    {
        throw CWin32Exception(s_where, ::GetLastError());
    }
    DWORD size = outputLength;
    if (!::CryptGetHashParam(hash.Get(), HP_HASHVAL, output, &size, 0))
    {
        throw CWin32Exception(s_where, ::GetLastError());
    }
    if (size != 16)
    {
        throw CWin32Exception(s_where, ERROR_INVALID_DATA);
    }
}

std::wstring GetMD5Digest(const void *data, DWORD length)
{
    BYTE digest[16];
    GetMD5Digest(data, length, digest, sizeof(digest));
    static const wchar_t s_digits[] = L"0123456789ABCDEF";
    std::wstring text;
    text.reserve(32);
    for (BYTE b : digest)
    {
        text += s_digits[b >> 4];
        text += s_digits[b & 0xF];
    }
    return text;
}

} // namespace PerfMon
} // namespace CorvaneTools
