#pragma once

#include "win32/handles/UniqueOwners.h"

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Win32 {

// Owns one loaded library and frees it.
class CLibraryLoader
{
public:
    // Loaded with the altered search path: a full path's own directory is searched for
    // its dependencies. Without throwOnFailure a failed load leaves nothing loaded.
    CLibraryLoader(const std::wstring &name, bool throwOnFailure);

    CLibraryLoader(const CLibraryLoader &) = delete;
    CLibraryLoader &operator=(const CLibraryLoader &) = delete;

    bool IsLoaded() const;
    HMODULE GetModule() const;

    // Null when nothing is loaded or the library does not export the name.
    FARPROC GetProcAddress(const std::wstring &name) const;

    // Unlike the destructor, reports a failed unload.
    void FreeLibrary();

protected:
    explicit CLibraryLoader(HMODULE module);

private:
    CUniqueModule m_module;
};

// A DLL of the platform, taken from the system directory only: by bare name the loader
// would also look in the program's folder and the working directory, where anyone may have
// put a DLL of that name. Never throws; IsLoaded tells.
class CSystemLibrary : public CLibraryLoader
{
public:
    explicit CSystemLibrary(const wchar_t *name);
};

// Takes the program's folder and the working directory out of the search for every DLL the
// process loads later without a full path. First thing the program does; false when the
// platform cannot (the DLLs then still come by their full path through CSystemLibrary).
bool RestrictLibrarySearchToSystemDirectory();

// An exported function as its own type. Going through void (*)() tells the compiler the
// conversion between function types is meant.
template <typename Function>
Function FunctionCast(FARPROC address)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

// A function of a module already in the process, looked up by name; null when missing.
template <typename Function>
Function LookUpFunction(const wchar_t *module, const char *name)
{
    const HMODULE handle = ::GetModuleHandleW(module);
    return handle ? FunctionCast<Function>(::GetProcAddress(handle, name)) : nullptr;
}

} // namespace Win32
} // namespace CorvaneTools
