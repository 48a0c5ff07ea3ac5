#pragma once

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Win32 {

// How many names beside a held file MoveAsideUntilRestart tries before it gives up.
const unsigned int AsideAttempts = 16;

// The name of attempt n to move path aside: in its own folder, so that the rename never
// crosses a volume and no one who cannot write that folder can reach the file.
std::wstring AsideFileName(const std::wstring &path, unsigned int attempt);

// A file that a running program has loaded cannot be deleted or replaced, but it can be
// renamed: it goes to a free aside name and the system deletes it at the next restart.
// Returns the aside name. Throws CWin32Exception and then leaves the file where it was.
std::wstring MoveAsideUntilRestart(const std::wstring &path);

// Deletes path now or, when a program holds it, moves it aside until the next restart
// (aside then names where it went; otherwise it is cleared). Returns false when there was
// nothing to delete. A folder standing at path is refused with CException.
bool DeleteNowOrAtRestart(const std::wstring &path, std::wstring &aside);

// Throws CException at where when a folder stands where the file path must go.
void RequireNoFolderAt(const std::wstring &path, const std::wstring &where);

// Whether the failure of a delete, a rename or a replacement may mean only that a program
// holds the file.
bool MayBeHeld(DWORD error);

} // namespace Win32
} // namespace CorvaneTools
