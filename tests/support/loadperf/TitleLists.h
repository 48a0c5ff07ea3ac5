#pragma once

#include "tests/support/loadperf/PerflibRegistry.h"

#include <windows.h>

#include <string>
#include <vector>

namespace TessalyTestSupport {

// Value names of the Performance and Perflib keys and of the language lists.
extern const wchar_t kFirstCounter[];
extern const wchar_t kLastCounter[];
extern const wchar_t kFirstHelp[];
extern const wchar_t kLastHelp[];
extern const wchar_t kCounter[];
extern const wchar_t kHelp[];
extern const wchar_t kObjectList[];

void Raise(DWORD &highest, DWORD index);

// Every language that has lists: Perflib's subkeys and the substitute's.
LONG ListLanguages(HKEY perflib, std::vector<std::wstring> &languages);
// Creates every missing key of the path, each recorded for undoing.
LONG CreatePath(CRegistryUndoLog &undo, const std::wstring &path, REGSAM access, CKey &key);
// The highest index any list, Perflib value or the performance library's own lists name.
DWORD HighestTitleIndexInUse(HKEY perflib, const std::vector<std::wstring> &languages);
DWORD OpenPerflib(CKey &perflib, CRegistryUndoLog &undo);
// Each change remembered first, for the undo log.
DWORD SetDword(CRegistryUndoLog &undo, const std::wstring &path, REGSAM view, HKEY key, const wchar_t *name,
               DWORD value);
// An empty list is deleted.
DWORD SetOrDeleteList(CRegistryUndoLog &undo, const std::wstring &path, HKEY key, const wchar_t *name,
                      const TitleList &list);

} // namespace TessalyTestSupport
