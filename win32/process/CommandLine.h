#pragma once

#include <string>
#include <vector>

namespace CorvaneTools {
namespace Win32 {

// One argument written so that the platform's command-line splitter (CommandLineToArgvW)
// gives it back unchanged: quoted when it is empty or holds a blank, a tab or a double
// quote, with the backslashes before a quote and at the end of a quoted argument doubled
// and every quote escaped as \".
std::wstring QuoteCommandLineArgument(const std::wstring &argument);

// The parameters of a relaunch of this program with these arguments (the program's own
// left out), each quoted and followed by a blank. The value after an option named in
// pathOptions ("/name" or "-name", any case) is made absolute against currentDirectory
// when it is relative, as the relaunched copy may start in another directory.
std::wstring ElevatedParameters(const std::vector<std::wstring> &arguments, const std::wstring &currentDirectory,
                                const std::vector<std::wstring> &pathOptions);

} // namespace Win32
} // namespace CorvaneTools
