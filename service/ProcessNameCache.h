#pragma once

#include "counters/ProcessConnectionsSchema.h"
#include "service/OwnerConnectionTable.h"
#include "service/ProcessIdentities.h"

#include <windows.h>

#include <memory>

namespace CorvaneTools {
namespace TessalyService {

// Instance names of owning processes, "<image name without .exe>:<pid>" or "unknown:<pid>",
// looked up once per process and kept, with its creation time and an open handle that keeps
// its id from being reused, until the process leaves the TCP table. Fixed-size: a sample
// that meets no new process calls nothing and allocates nothing.
class CProcessNameCache
{
public:
    // More than the instances a sample names, so that owners near the cut keep their names.
    static const DWORD Capacity = 4 * Counters::MaxProcessInstances;
    static const DWORD MaxNameLength = Counters::ProcessInstanceNameChars;

    explicit CProcessNameCache(IProcessIdentities &identities);
    ~CProcessNameCache();
    CProcessNameCache(const CProcessNameCache &) = delete;
    CProcessNameCache &operator=(const CProcessNameCache &) = delete;

    // The instance name of the process, terminated; valid until the next call. Marks it
    // as named in this sample.
    const wchar_t *NameOf(DWORD pid, DWORD &length);
    // Ends a sample: forgets the processes that are not in its table.
    void Forget(const COwnerConnectionTable &owners);

    DWORD GetCount() const;
    // The creation time kept for the process; false when it is not kept or was unreadable.
    bool GetCreationTime(DWORD pid, ULONGLONG &time) const;

    // "<image>:<pid>" from a full image path, the image cut so that the id always fits,
    // with the characters that would break a counter path replaced.
    static DWORD FormatName(const wchar_t *path, DWORD pathLength, DWORD pid, wchar_t *name);

private:
    struct Entry
    {
        DWORD pid;
        HANDLE process;
        bool hasCreationTime;
        ULONGLONG creationTime;
        DWORD nameLength;
        wchar_t name[MaxNameLength + 1];
        bool named; // in the current sample
    };

    Entry *Find(DWORD pid);
    Entry &Make(DWORD pid);
    // Looks the process up into the entry.
    void Fill(Entry &entry, DWORD pid);
    void Release(Entry &entry);

    IProcessIdentities &m_identities;
    std::unique_ptr<Entry[]> m_entries;
    DWORD m_count;
    // Long paths are allowed up to 32,767 characters.
    static const DWORD PathCapacity = 32768;
    std::unique_ptr<wchar_t[]> m_path;
};

} // namespace TessalyService
} // namespace CorvaneTools
