#pragma once

// What a privileged process must refuse to write through, made as the platform allows:
// a folder everyone may write into, and links.
#include "tests/support/WaitUntil.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>

namespace TestSupport {

// A new folder whose access list lets everyone write into it. This platform keeps no
// descriptor: it sets the Unix mode from the list (o+rwx here; at creation the umask would
// take o+w away again, so the list is set afterwards) and reads write access for Everyone
// back from that mode, as for a folder chmod o+w made (measured).
inline bool MakeFolderWritableByEveryone(const std::wstring &path)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::CreateDirectoryW(path.c_str(), nullptr) ||
        !::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)",
                                                                SDDL_REVISION_1, &descriptor, nullptr))
    {
        return false;
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    const bool set = ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) &&
                     ::SetNamedSecurityInfoW(const_cast<wchar_t *>(path.c_str()), SE_FILE_OBJECT,
                                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                             nullptr, dacl, nullptr) == ERROR_SUCCESS;
    ::LocalFree(descriptor);
    return set;
}

// The host's path of a file under Wine; empty elsewhere.
inline std::string UnixPath(std::wstring path)
{
    typedef char *(__cdecl * UnixFileName)(const wchar_t *);
    if (!path.empty() && path.back() == L'\\')
    {
        path.pop_back();
    }
    const auto unixFileName = reinterpret_cast<UnixFileName>(
        reinterpret_cast<void *>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char *name = unixFileName ? unixFileName(path.c_str()) : nullptr;
    if (!name)
    {
        return std::string();
    }
    const std::string result(name);
    ::HeapFree(::GetProcessHeap(), 0, name);
    return result;
}

// A symbolic link at link to target (a folder or a file), which must exist: this platform
// hides a link to nowhere from every listing and look-up (measured), so only a link whose
// target is there can be seen to have been made; delete the target afterwards for one
// that leads nowhere. Windows
// makes it with CreateSymbolicLink (given the privilege); Wine 8's CreateSymbolicLink
// reports success and makes nothing (measured), so there the host's ln makes it: Wine
// starts a Unix program given by its path. False when neither worked.
// Runs a program of the host and waits for it.
inline bool RunHostProgram(const wchar_t *program, const std::string &narrow)
{
    std::wstring command(narrow.begin(), narrow.end());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(program, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    {
        return false;
    }
    ::WaitForSingleObject(process.hProcess, 10000);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return true;
}

inline bool MakeLink(const std::wstring &link, const std::wstring &target, bool folder)
{
    const auto exists = [&] {
        WIN32_FIND_DATAW found;
        const HANDLE search = ::FindFirstFileW(link.c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
        {
            return false;
        }
        ::FindClose(search);
        return true;
    };
    ::CreateSymbolicLinkW(link.c_str(), target.c_str(), folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
    if (exists())
    {
        return true;
    }
    const std::string unixLink = UnixPath(link);
    const std::string unixTarget = UnixPath(target);
    if (unixLink.empty() || unixTarget.empty())
    {
        return false;
    }
    // Wine reports no exit code for a Unix program: the link itself tells.
    return RunHostProgram(L"Z:\\bin\\ln", "/bin/ln -s \"" + unixTarget + "\" \"" + unixLink + "\"") &&
           WaitUntil(exists, 10000);
}

// A link made on the host shows here as a plain directory that neither RemoveDirectory nor
// DeleteFile removes; the host's rm does, before its target goes and leaves it dangling
// and unlisted.
inline void RemoveHostLink(const std::wstring &link)
{
    const std::string unixLink = UnixPath(link);
    if (!unixLink.empty())
    {
        RunHostProgram(L"Z:\\bin\\rm", "/bin/rm -f \"" + unixLink + "\"");
    }
}

} // namespace TestSupport
