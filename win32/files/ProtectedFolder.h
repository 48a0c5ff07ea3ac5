#pragma once

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Win32 {

// The folders a LocalSystem process writes its log and its crash dumps into. Whoever else
// may write into such a folder can plant a link or a file under the name the process is
// about to write, and the process then writes where that user chose.

// Creates the folder and whatever parents are missing with the readable-folder
// descriptor (SYSTEM and Administrators full, others read); existing folders are left as
// they are. Throws CWin32Exception as CreateDirectoriesIfRequired does.
void CreateProtectedDirectories(const std::wstring &path);

// The descriptor text of the folders CreateProtectedDirectories makes. A standard user's
// own run (the platform's administrator test false) also gives its own account, userSid,
// full access: without it, it could not write into the folder it made.
std::wstring ProtectedFolderDefinition(bool administrator, const std::wstring &userSid);

// Why the process must not write into the folder: it is a reparse point (a link, junction
// or mount point), not a folder, or an account other than SYSTEM, Administrators, the
// installer service or the process's own may write into it. Empty when it may be used.
std::wstring FindFolderHazard(const std::wstring &folder);

} // namespace Win32
} // namespace CorvaneTools
