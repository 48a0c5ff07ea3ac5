#pragma once

#include <string>

namespace CorvaneTools {
namespace Win32 {

// One argument written so that the platform's command-line splitter (CommandLineToArgvW)
// gives it back unchanged: quoted when it is empty or holds a blank, a tab or a double
// quote, with the backslashes before a quote and at the end of a quoted argument doubled
// and every quote escaped as \".
std::wstring QuoteCommandLineArgument(const std::wstring &argument);

} // namespace Win32
} // namespace CorvaneTools
