#pragma once

#include "tools/PerformanceDataReader.h"

#include <map>
#include <string>

namespace CorvaneTools {
namespace Tools {

// An object's instances as the one-shot reader prints them: the object's name, then
// "Instance" and the counters' names, then one line per instance with its values, each
// line tab-separated and ended by "\n". The instances are ordered by the value of the
// counter whose title index is orderCounter, most first, then by name, ordinally.
std::wstring FormatInstanceTable(const std::wstring &objectName, const CCheckedObject &checked,
                                 const std::map<DWORD, std::wstring> &names, DWORD orderCounter);

} // namespace Tools
} // namespace CorvaneTools
