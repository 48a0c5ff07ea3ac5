#include "perfmon/MD5Digest.h"

#include "win32/errors/Win32Exception.h"
#include "win32/handles/UniqueAny.h"
#include "win32/text/ToString.h"

#include <wincrypt.h>

namespace CorvaneTools {
namespace PerfMon {

using Win32::CException;
using Win32::CWin32Exception;

namespace {

const wchar_t *const s_where = L"GetMD5Digest()";

BOOL ReleaseCryptProvider(HCRYPTPROV provider) noexcept
{
    return ::CryptReleaseContext(provider, 0);
}

typedef Win32::TUniqueAny<HCRYPTPROV, &ReleaseCryptProvider> CCryptProvider;
typedef Win32::TUniqueAny<HCRYPTHASH, &::CryptDestroyHash> CCryptHash;

CCryptProvider AcquireProvider()
{
    CCryptProvider provider;
    if (!::CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_FULL,
                                CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET))
    {
        throw CWin32Exception(s_where, ::GetLastError());
    }
    return provider;
}

CCryptHash CreateHash(const CCryptProvider &provider)
{
    CCryptHash hash;
    if (!::CryptCreateHash(provider.Get(), CALG_MD5, 0, 0, hash.Put()))
    {
        throw CWin32Exception(s_where, ::GetLastError());
    }
    return hash;
}

} // namespace

void GetMD5Digest(const void *data, DWORD length, BYTE *output, DWORD outputLength)
{
    if (outputLength != 16)
    {
        throw CException(s_where, L"Unexpected output length: " + Win32::ToString(static_cast<unsigned long>(outputLength)) +
                                      L" expected: 16");
    }
    const CCryptProvider provider = AcquireProvider();
    const CCryptHash hash = CreateHash(provider);
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
