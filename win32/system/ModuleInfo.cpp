#include "win32/system/ModuleInfo.h"

#include <cwchar>
#include <vector>

namespace CorvaneTools {
namespace Win32 {

namespace {

std::wstring StringValue(const void *versionInfo, const wchar_t *block, const wchar_t *name)
{
    void *value = nullptr;
    UINT length = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\") + block + L"\\" + name;
    if (!::VerQueryValueW(versionInfo, path.c_str(), &value, &length) || !value)
    {
        return std::wstring();
    }
    const wchar_t *text = static_cast<const wchar_t *>(value);
    return std::wstring(text, ::wcsnlen(text, length));
}

} // namespace

std::wstring GetModuleFileName(HMODULE module)
{
    wchar_t buffer[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(module, buffer, MAX_PATH);
    // A path that fills the buffer was cut short, and may lack its terminator.
    if (length == 0 || length >= MAX_PATH)
    {
        return L"UNAVAILABLE";
    }
    return std::wstring(buffer, length);
}

std::wstring GetModulePath(HMODULE module)
{
    const std::wstring path = GetModuleFileName(module);
    const size_t separator = path.find_last_of(L"\\/:");
    return separator == std::wstring::npos ? path : path.substr(0, separator);
}

std::wstring GetProductVersion(HMODULE module)
{
    // The module's own resource, so that it needs no file path; VerQueryValue wants a copy
    // it may write to.
    const HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    const HGLOBAL loaded = resource ? ::LoadResource(module, resource) : nullptr;
    const void *data = loaded ? ::LockResource(loaded) : nullptr;
    if (!data)
    {
        return std::wstring();
    }
    const BYTE *bytes = static_cast<const BYTE *>(data);
    std::vector<BYTE> versionInfo(bytes, bytes + ::SizeofResource(module, resource));
    // Room for whatever VerQueryValue may add after the resource.
    versionInfo.resize(versionInfo.size() * 2);

    std::wstring version = StringValue(versionInfo.data(), L"080904b0", L"ProductVersion");
    if (!version.empty())
    {
        return version;
    }
    void *table = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(versionInfo.data(), L"\\VarFileInfo\\Translation", &table, &length) || !table)
    {
        return std::wstring();
    }
    const WORD *translations = static_cast<const WORD *>(table);
    for (UINT i = 0; i + 1 < length / sizeof(WORD) && version.empty(); i += 2)
    {
        wchar_t block[16];
        ::_snwprintf_s(block, _countof(block), _TRUNCATE, L"%04x%04x", translations[i], translations[i + 1]);
        version = StringValue(versionInfo.data(), block, L"ProductVersion");
    }
    return version;
}

} // namespace Win32
} // namespace CorvaneTools
