#pragma once

#include "win32/files/FileUtils.h"

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Win32 {

// How many staging names ReplaceFileContents tries before it gives up.
const unsigned int StagingAttempts = 16;

// The name of attempt n to stage a new copy of destination: beside it, so that no one
// who cannot write the destination's folder can touch the bytes on their way.
std::wstring StagingFileName(const std::wstring &destination, unsigned int attempt);

// Makes destination hold exactly these bytes, or leaves it as it was: a new file of a
// staging name (never one that exists), written, flushed, then moved over destination in
// one step. When a program holds the old copy, that one is moved aside until the next
// restart and aside names it; otherwise aside is cleared. A failure deletes the staging file and
// throws CWin32Exception; a folder at destination is refused with CException.
void ReplaceFileContents(const std::wstring &destination, CByteView bytes, std::wstring &aside);

} // namespace Win32
} // namespace CorvaneTools
