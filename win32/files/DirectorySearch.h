#pragma once

#include "win32/handles/UniqueOwners.h"

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Win32 {

// The entries matching a pattern. A pattern that matches nothing gives no entries.
//
//     CDirectorySearch search(pattern);
//     while (search.NextFile()) { ... search.GetFileName() ... }
class CDirectorySearch
{
public:
    explicit CDirectorySearch(const std::wstring &pattern);

    CDirectorySearch(const CDirectorySearch &) = delete;
    CDirectorySearch &operator=(const CDirectorySearch &) = delete;

    // Makes the next entry current, the first one on the first call; false at the end.
    bool NextFile();

    // The current entry's name without its directory.
    std::wstring GetFileName() const;
    DWORD GetAttributes() const;
    bool IsDirectory() const;

private:
    WIN32_FIND_DATAW m_findData;
    CUniqueFindHandle m_search;
    // The entry found when the search started has not been handed out yet.
    bool m_firstPending;
};

} // namespace Win32
} // namespace CorvaneTools
