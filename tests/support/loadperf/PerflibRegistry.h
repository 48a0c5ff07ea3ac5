#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace TessalyTestSupport {

// The title lists are shared by both architectures, so they are always reached through
// the 64-bit view.
const REGSAM kPerflibView = KEY_WOW64_64KEY;
// What CKey reports for a key the platform reserves; the system error of that name.
const LONG kReservedKey = 714;
extern const wchar_t kPerflibPath[];
std::wstring ApplicationPerformancePath(const std::wstring &applicationName);

// A key under HKEY_LOCAL_MACHINE, opened through the native registry calls: Wine's
// RegOpenKeyEx quietly swaps Perflib\009 for a pseudo handle with fixed lists, while the
// native calls say so (kReservedKey here). Values are then read and written
// with the usual calls.
class CKey
{
public:
    CKey() : m_key(nullptr)
    {
    }
    ~CKey();
    CKey(const CKey &) = delete;
    CKey &operator=(const CKey &) = delete;

    LONG Open(const std::wstring &path, REGSAM access);
    // created tells whether the key is new; the parent must exist.
    LONG Create(const std::wstring &path, REGSAM access, bool &created);
    // The key itself, which must have been opened with DELETE and have no subkeys.
    LONG Delete();

    HKEY Get() const
    {
        return m_key;
    }

private:
    void Close();

    HKEY m_key;
};

// ERROR_FILE_NOT_FOUND when absent.
LONG ReadValue(HKEY key, const wchar_t *name, DWORD &type, std::vector<BYTE> &data);
bool ReadDword(HKEY key, const wchar_t *name, DWORD &value);
LONG WriteDword(HKEY key, const wchar_t *name, DWORD value);
LONG WriteString(HKEY key, const wchar_t *name, const std::wstring &value);

// A title list: alternating index and text entries of a REG_MULTI_SZ value.
typedef std::vector<std::pair<std::wstring, std::wstring>> TitleList;
// An absent value is an empty list.
LONG ReadTitleList(HKEY key, const wchar_t *name, TitleList &list);
LONG WriteTitleList(HKEY key, const wchar_t *name, const TitleList &list);
// 0 when the entry's index is not a number.
DWORD TitleIndex(const std::pair<std::wstring, std::wstring> &entry);
void TitleListFromMultiString(const wchar_t *data, size_t length, TitleList &list);

// Where a language's Counter and Help lists are kept: Perflib\<language>, or the
// substitute when the platform reserves that key.
std::wstring LanguageListsPath(const std::wstring &language);
extern const wchar_t kSubstituteListsPath[];
// Whether the system has the language: Perflib\<language> exists, reserved or not.
LONG LanguageKeyExists(const std::wstring &language, bool &exists);

// The names of a key's subkeys.
LONG ListSubkeys(HKEY key, std::vector<std::wstring> &names);

// Records the state of every value and key before it is changed and, unless committed,
// puts all of it back when destroyed, so that a failure midway leaves nothing behind.
class CRegistryUndoLog
{
public:
    CRegistryUndoLog() : m_committed(false)
    {
    }
    ~CRegistryUndoLog();
    CRegistryUndoLog(const CRegistryUndoLog &) = delete;
    CRegistryUndoLog &operator=(const CRegistryUndoLog &) = delete;

    // Call before the value at HKLM\path changes.
    LONG RememberValue(const std::wstring &path, REGSAM view, const wchar_t *name);
    void RememberCreatedKey(const std::wstring &path, REGSAM view);
    void Commit()
    {
        m_committed = true;
    }

private:
    struct SEntry
    {
        std::wstring path;
        REGSAM view;
        bool isKey;
        std::wstring name;
        bool existed;
        DWORD type;
        std::vector<BYTE> data;
    };

    void Undo(const SEntry &entry) const;

    std::vector<SEntry> m_entries;
    bool m_committed;
};

} // namespace TessalyTestSupport
