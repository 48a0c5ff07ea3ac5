#include "service/ProcessNameCache.h"

#include <cwchar>

namespace CorvaneTools {
namespace TessalyService {

namespace {

const wchar_t s_unknown[] = L"unknown";

bool EndsWithExe(const wchar_t *name, DWORD length)
{
    return length >= 4 && name[length - 4] == L'.' && (name[length - 3] | 0x20) == L'e' &&
           (name[length - 2] | 0x20) == L'x' && (name[length - 1] | 0x20) == L'e';
}

// A counter path is "\object(parent/instance#index)\counter", so an instance name must hold
// none of these; the replacements are the ones readers of such names already know.
wchar_t PathSafe(wchar_t c)
{
    switch (c)
    {
    case L'(':
        return L'[';
    case L')':
        return L']';
    case L'#':
    case L'/':
    case L'\\':
        return L'_';
    default:
        return c;
    }
}

} // namespace

CProcessNameCache::CProcessNameCache(IProcessIdentities &identities)
    : m_identities(identities), m_entries(new Entry[Capacity]), m_count(0), m_path(new wchar_t[PathCapacity])
{
}

CProcessNameCache::~CProcessNameCache()
{
    for (DWORD i = 0; i < m_count; ++i)
    {
        Release(m_entries[i]);
    }
}

DWORD CProcessNameCache::FormatName(const wchar_t *path, DWORD pathLength, DWORD pid, wchar_t *name)
{
    wchar_t id[16];
    const int idLength = std::swprintf(id, sizeof(id) / sizeof(id[0]), L":%lu", static_cast<unsigned long>(pid));
    DWORD start = pathLength;
    while (start > 0 && path[start - 1] != L'\\' && path[start - 1] != L'/')
    {
        --start;
    }
    DWORD imageLength = pathLength - start;
    if (EndsWithExe(path + start, imageLength))
    {
        imageLength -= 4;
    }
    if (imageLength == 0)
    {
        path = s_unknown;
        start = 0;
        imageLength = sizeof(s_unknown) / sizeof(s_unknown[0]) - 1;
    }
    const DWORD room = MaxNameLength - static_cast<DWORD>(idLength);
    const DWORD kept = imageLength < room ? imageLength : room;
    for (DWORD i = 0; i < kept; ++i)
    {
        name[i] = PathSafe(path[start + i]);
    }
    std::wmemcpy(name + kept, id, static_cast<size_t>(idLength) + 1);
    return kept + static_cast<DWORD>(idLength);
}

CProcessNameCache::Entry *CProcessNameCache::Find(DWORD pid)
{
    for (DWORD i = 0; i < m_count; ++i)
    {
        if (m_entries[i].pid == pid)
        {
            return &m_entries[i];
        }
    }
    return nullptr;
}

void CProcessNameCache::Release(Entry &entry)
{
    if (entry.process)
    {
        m_identities.Close(entry.process);
        entry.process = nullptr;
    }
}

void CProcessNameCache::Fill(Entry &entry, DWORD pid)
{
    entry.pid = pid;
    entry.process = m_identities.Open(pid);
    entry.hasCreationTime = entry.process && m_identities.GetCreationTime(entry.process, entry.creationTime);
    DWORD length = PathCapacity;
    if (entry.process && m_identities.GetImagePath(entry.process, m_path.get(), length) && length < PathCapacity)
    {
        entry.nameLength = FormatName(m_path.get(), length, pid, entry.name);
    }
    else
    {
        entry.nameLength = FormatName(s_unknown, sizeof(s_unknown) / sizeof(s_unknown[0]) - 1, pid, entry.name);
    }
}

CProcessNameCache::Entry &CProcessNameCache::Make(DWORD pid)
{
    Entry *entry = nullptr;
    if (m_count < Capacity)
    {
        entry = &m_entries[m_count++];
    }
    else
    {
        // At most a sample's instances are named in it, far fewer than the capacity.
        for (DWORD i = 0; i < m_count && !entry; ++i)
        {
            entry = m_entries[i].named ? nullptr : &m_entries[i];
        }
        Release(*entry);
    }
    entry->named = false;
    Fill(*entry, pid);
    return *entry;
}

const wchar_t *CProcessNameCache::NameOf(DWORD pid, DWORD &length)
{
    Entry *entry = Find(pid);
    if (!entry)
    {
        entry = &Make(pid);
    }
    else if (!entry->process)
    {
        // Without a handle nothing holds the id to the process that was named, so it is
        // asked again.
        Fill(*entry, pid);
    }
    entry->named = true;
    length = entry->nameLength;
    return entry->name;
}

void CProcessNameCache::Forget(const COwnerConnectionTable &owners)
{
    for (DWORD i = 0; i < m_count;)
    {
        Entry &entry = m_entries[i];
        entry.named = false;
        if (owners.Contains(entry.pid))
        {
            ++i;
            continue;
        }
        Release(entry);
        entry = m_entries[--m_count];
    }
}

DWORD CProcessNameCache::GetCount() const
{
    return m_count;
}

bool CProcessNameCache::GetCreationTime(DWORD pid, ULONGLONG &time) const
{
    for (DWORD i = 0; i < m_count; ++i)
    {
        if (m_entries[i].pid == pid && m_entries[i].hasCreationTime)
        {
            time = m_entries[i].creationTime;
            return true;
        }
    }
    return false;
}

} // namespace TessalyService
} // namespace CorvaneTools
