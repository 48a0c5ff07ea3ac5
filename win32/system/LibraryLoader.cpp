#include "win32/system/LibraryLoader.h"

#include "win32/errors/Win32Exception.h"
#include "win32/system/SystemDirectories.h"
#include "win32/text/StringConverter.h"

namespace CorvaneTools {
namespace Win32 {

CLibraryLoader::CLibraryLoader(const std::wstring &name, bool throwOnFailure)
    : m_module(::LoadLibraryExW(name.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH))
{
    if (!m_module.IsValid() && throwOnFailure)
    {
        const DWORD error = ::GetLastError();
        throw CWin32Exception(L"CLibraryLoader::CLibraryLoader() - \"" + name + L"\"", error);
    }
}

CLibraryLoader::CLibraryLoader(HMODULE module) : m_module(module)
{
}

namespace {

HMODULE LoadFromSystemDirectory(const wchar_t *name)
{
    // "LoadLibraryExW function": LOAD_LIBRARY_SEARCH_SYSTEM32 needs KB2533623 on Windows 7,
    // and without it the call fails with ERROR_INVALID_PARAMETER; the full path then does.
    const HMODULE module = ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module || ::GetLastError() != ERROR_INVALID_PARAMETER)
    {
        return module;
    }
    try
    {
        return ::LoadLibraryExW((GetSystemDirectory() + L"\\" + name).c_str(), nullptr,
                                LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    catch (...)
    {
        return nullptr;
    }
}

} // namespace

CSystemLibrary::CSystemLibrary(const wchar_t *name) : CLibraryLoader(LoadFromSystemDirectory(name))
{
}

bool RestrictLibrarySearchToSystemDirectory()
{
    // "SetDefaultDllDirectories function": looked up, as it is missing from Windows 7
    // without KB2533623.
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
    const auto restrict =
        LookUpFunction<SetDefaultDllDirectoriesFunction>(L"kernel32.dll", "SetDefaultDllDirectories");
    return restrict && restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

bool CLibraryLoader::IsLoaded() const
{
    return m_module.IsValid();
}

HMODULE CLibraryLoader::GetModule() const
{
    return m_module.Get();
}

FARPROC CLibraryLoader::GetProcAddress(const std::wstring &name) const
{
    // A null module would look in the program itself.
    if (!m_module.IsValid())
    {
        return nullptr;
    }
    return ::GetProcAddress(m_module.Get(), CStringConverter::WtoA(name).c_str());
}

void CLibraryLoader::FreeLibrary()
{
    if (m_module.IsValid())
    {
        if (!::FreeLibrary(m_module.Detach()))
        {
            throw CWin32Exception(L"CLibraryLoader::FreeLibrary()", ::GetLastError());
        }
    }
}

} // namespace Win32
} // namespace CorvaneTools
