#include "tools/PerformanceDataReader.h"
#include "win32/handles/UniqueOwners.h"

#include <cstring>
#include <stdexcept>

namespace CorvaneTools {
namespace Tools {

namespace {

std::string Narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

// A list of "index", "text" pairs, each zero-terminated, as the counter-text lists are kept.
void AddNames(const std::vector<wchar_t> &list, std::map<DWORD, std::wstring> &names)
{
    size_t at = 0;
    while (at < list.size() && list[at] != 0)
    {
        const std::wstring number(&list[at]);
        at += number.size() + 1;
        if (at >= list.size())
        {
            break;
        }
        const std::wstring text(&list[at]);
        at += text.size() + 1;
        const DWORD index = static_cast<DWORD>(wcstoul(number.c_str(), nullptr, 10));
        if (index != 0 && names.find(index) == names.end())
        {
            names[index] = text;
        }
    }
}

std::vector<wchar_t> ReadList(HKEY key, const wchar_t *name)
{
    std::vector<wchar_t> list(16384);
    for (;;)
    {
        DWORD bytes = static_cast<DWORD>(list.size() * sizeof(wchar_t));
        const LONG result = ::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(list.data()), &bytes);
        if (result == ERROR_MORE_DATA)
        {
            list.resize(list.size() * 2);
            continue;
        }
        if (result != ERROR_SUCCESS)
        {
            return std::vector<wchar_t>();
        }
        list.resize(bytes / sizeof(wchar_t));
        list.push_back(0);
        list.push_back(0);
        return list;
    }
}

// The "Counter" list under a key of HKEY_LOCAL_MACHINE; empty where the key cannot be opened.
// The key is owned only after success: "RegOpenKeyExW function" says nothing of phkResult
// when it fails.
std::vector<wchar_t> ReadKeyList(const wchar_t *path, REGSAM access)
{
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access, &opened) != ERROR_SUCCESS)
    {
        return std::vector<wchar_t>();
    }
    const CorvaneTools::Win32::CUniqueRegistryKey key(opened);
    return ReadList(key.Get(), L"Counter");
}

// A copy of the T at this offset, when it lies wholly before end.
template <typename T>
bool CopyAt(const BYTE *base, unsigned long long at, unsigned long long end, T &value)
{
    if (at > end || sizeof(T) > end - at)
    {
        return false;
    }
    std::memcpy(&value, base + at, sizeof(T));
    return true;
}

// The counter definitions between the object's header and its definition length.
bool CopyDefinitions(const PERF_OBJECT_TYPE &object, std::vector<PERF_COUNTER_DEFINITION> &counters)
{
    const BYTE *const base = reinterpret_cast<const BYTE *>(&object);
    unsigned long long at = object.HeaderLength;
    for (DWORD k = 0; k < object.NumCounters; ++k)
    {
        PERF_COUNTER_DEFINITION counter;
        if (!CopyAt(base, at, object.DefinitionLength, counter) || counter.ByteLength < sizeof(counter) ||
            (counter.CounterSize != sizeof(DWORD) && counter.CounterSize != sizeof(ULONGLONG)))
        {
            return false;
        }
        counters.push_back(counter);
        at += counter.ByteLength;
    }
    return true;
}

// The values of the counter block at this offset; its length is given back for the walk to
// step past it.
bool CopyValues(const BYTE *base, unsigned long long at, unsigned long long end,
                const std::vector<PERF_COUNTER_DEFINITION> &counters, std::vector<ULONGLONG> &values, DWORD &length)
{
    PERF_COUNTER_BLOCK block;
    if (!CopyAt(base, at, end, block) || block.ByteLength < sizeof(block) || block.ByteLength > end - at)
    {
        return false;
    }
    for (const PERF_COUNTER_DEFINITION &counter : counters)
    {
        if (static_cast<unsigned long long>(counter.CounterOffset) + counter.CounterSize > block.ByteLength)
        {
            return false;
        }
        ULONGLONG value = 0;
        std::memcpy(&value, base + at + counter.CounterOffset, counter.CounterSize);
        values.push_back(value);
    }
    length = block.ByteLength;
    return true;
}

// The name past the definition's fixed fields, within its length and ended by a NUL inside
// NameLength. An instance known by its unique id alone has none.
bool CopyName(const BYTE *definitionStart, const PERF_INSTANCE_DEFINITION &definition, std::wstring &name)
{
    name.clear();
    if (definition.NameLength == 0)
    {
        return true;
    }
    if (definition.NameOffset < sizeof(definition) ||
        static_cast<unsigned long long>(definition.NameOffset) + definition.NameLength > definition.ByteLength)
    {
        return false;
    }
    for (DWORD k = 0; k + sizeof(wchar_t) <= definition.NameLength; k += sizeof(wchar_t))
    {
        wchar_t c;
        std::memcpy(&c, definitionStart + definition.NameOffset + k, sizeof(c));
        if (c == 0)
        {
            return true;
        }
        name += c;
    }
    return false;
}

// One instance definition with its name and counter block; at is moved past both.
bool CopyInstance(const BYTE *base, unsigned long long &at, unsigned long long end,
                  const std::vector<PERF_COUNTER_DEFINITION> &counters, CCheckedObject::CInstance &instance)
{
    PERF_INSTANCE_DEFINITION definition;
    DWORD length = 0;
    if (!CopyAt(base, at, end, definition) || definition.ByteLength < sizeof(definition) ||
        definition.ByteLength > end - at || !CopyName(base + at, definition, instance.name) ||
        !CopyValues(base, at + definition.ByteLength, end, counters, instance.values, length))
    {
        return false;
    }
    at += definition.ByteLength + length;
    return true;
}

} // namespace

CPerformanceDataReader::CPerformanceDataReader(const std::wstring &valueName)
    : CPerformanceDataReader(CPerformanceDataSession(), valueName)
{
}

CPerformanceDataReader::CPerformanceDataReader(const CPerformanceDataSession &, const std::wstring &valueName)
    : m_data(65536), m_returned(0), m_objectsOffset(0)
{
    for (;;)
    {
        DWORD bytes = static_cast<DWORD>(m_data.size());
        const LONG result = ::RegQueryValueExW(HKEY_PERFORMANCE_DATA, valueName.c_str(), nullptr, nullptr,
                                               m_data.data(), &bytes);
        if (result == ERROR_MORE_DATA)
        {
            m_data.resize(m_data.size() * 2);
            continue;
        }
        if (result != ERROR_SUCCESS)
        {
            throw std::runtime_error("query of \"" + Narrow(valueName) + "\" failed with " + std::to_string(result));
        }
        // The whole buffer is kept: under Wine the objects may lie past the returned length.
        m_returned = bytes;
        break;
    }
    if (m_returned < sizeof(PERF_DATA_BLOCK) || std::memcmp(GetHeader().Signature, L"PERF", 8) != 0 ||
        GetHeader().TotalByteLength > m_returned || GetHeader().HeaderLength > GetHeader().TotalByteLength)
    {
        throw std::runtime_error("the performance library returned no valid data block");
    }
    // The objects belong at HeaderLength. This platform's version under Wine writes them one
    // data block header further on (past the length it reports, which is right otherwise);
    // the walk that fits is taken.
    const DWORD header = GetHeader().HeaderLength;
    const unsigned long long shifted = static_cast<unsigned long long>(GetHeader().TotalByteLength) + sizeof(PERF_DATA_BLOCK);
    if (ObjectsFitAt(header, GetHeader().TotalByteLength))
    {
        m_objectsOffset = header;
    }
    else if (ObjectsFitAt(header + sizeof(PERF_DATA_BLOCK), shifted < m_data.size() ? shifted : m_data.size()))
    {
        m_objectsOffset = header + sizeof(PERF_DATA_BLOCK);
    }
    else
    {
        throw std::runtime_error("the objects of the returned data do not fit in it: " + std::to_string(m_returned) +
                                 " bytes returned, TotalByteLength " + std::to_string(GetHeader().TotalByteLength) +
                                 ", HeaderLength " + std::to_string(header) + ", NumObjectTypes " +
                                 std::to_string(GetHeader().NumObjectTypes));
    }
}

bool CPerformanceDataReader::ObjectsFitAt(unsigned long long offset, unsigned long long end) const
{
    unsigned long long at = offset;
    for (DWORD i = 0; i < GetHeader().NumObjectTypes; ++i)
    {
        if (at + sizeof(PERF_OBJECT_TYPE) > end)
        {
            return false;
        }
        PERF_OBJECT_TYPE object;
        std::memcpy(&object, &m_data[at], sizeof(object));
        if (object.HeaderLength != sizeof(PERF_OBJECT_TYPE) || object.DefinitionLength < object.HeaderLength ||
            object.TotalByteLength < object.DefinitionLength || at + object.TotalByteLength > end ||
            object.DefinitionLength - object.HeaderLength < object.NumCounters * sizeof(PERF_COUNTER_DEFINITION))
        {
            return false;
        }
        at += object.TotalByteLength;
    }
    return true;
}

const PERF_DATA_BLOCK &CPerformanceDataReader::GetHeader() const
{
    return *reinterpret_cast<const PERF_DATA_BLOCK *>(m_data.data());
}

DWORD CPerformanceDataReader::GetObjectsOffset() const
{
    return m_objectsOffset;
}

std::vector<const PERF_OBJECT_TYPE *> CPerformanceDataReader::GetObjects() const
{
    std::vector<const PERF_OBJECT_TYPE *> objects;
    const BYTE *at = m_data.data() + m_objectsOffset;
    for (DWORD i = 0; i < GetHeader().NumObjectTypes; ++i)
    {
        const PERF_OBJECT_TYPE *object = reinterpret_cast<const PERF_OBJECT_TYPE *>(at);
        objects.push_back(object);
        at += object->TotalByteLength;
    }
    return objects;
}

const PERF_OBJECT_TYPE *CPerformanceDataReader::FindObject(DWORD titleIndex) const
{
    for (const PERF_OBJECT_TYPE *object : GetObjects())
    {
        if (object->ObjectNameTitleIndex == titleIndex)
        {
            return object;
        }
    }
    return nullptr;
}

std::vector<const PERF_COUNTER_DEFINITION *> CPerformanceDataReader::GetCounters(const PERF_OBJECT_TYPE &object)
{
    std::vector<const PERF_COUNTER_DEFINITION *> counters;
    const BYTE *at = reinterpret_cast<const BYTE *>(&object) + object.HeaderLength;
    for (DWORD k = 0; k < object.NumCounters; ++k)
    {
        const PERF_COUNTER_DEFINITION *counter = reinterpret_cast<const PERF_COUNTER_DEFINITION *>(at);
        counters.push_back(counter);
        at += counter->ByteLength;
    }
    return counters;
}

const PERF_COUNTER_BLOCK &CPerformanceDataReader::GetCounterBlock(const PERF_OBJECT_TYPE &object)
{
    return *reinterpret_cast<const PERF_COUNTER_BLOCK *>(reinterpret_cast<const BYTE *>(&object) +
                                                         object.DefinitionLength);
}

ULONGLONG CPerformanceDataReader::GetValue(const PERF_COUNTER_DEFINITION &counter, const PERF_COUNTER_BLOCK &block)
{
    const BYTE *at = reinterpret_cast<const BYTE *>(&block) + counter.CounterOffset;
    if (counter.CounterSize == sizeof(DWORD))
    {
        DWORD value;
        std::memcpy(&value, at, sizeof(value));
        return value;
    }
    ULONGLONG value = 0;
    std::memcpy(&value, at, counter.CounterSize < sizeof(value) ? counter.CounterSize : sizeof(value));
    return value;
}

std::map<DWORD, std::wstring> CPerformanceDataReader::LoadCounterNames(const CPerformanceDataSession &)
{
    std::map<DWORD, std::wstring> names;
    // The library's own list first; under Wine it is a fixed stand-in without the installed
    // texts, which are then read from where the counter-text loader keeps them.
    AddNames(ReadList(HKEY_PERFORMANCE_DATA, L"Counter 009"), names);
    AddNames(ReadKeyList(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009", KEY_READ), names);
    // Wine keeps Perflib\009 for its fixed lists; the counter-text loader of the test prefix
    // keeps the installed texts here instead.
    AddNames(ReadKeyList(L"SOFTWARE\\Tessaly\\Test Support\\Counter Texts\\009", KEY_READ | KEY_WOW64_64KEY), names);
    return names;
}

bool CPerformanceDataReader::ReadFirstCounter(const std::wstring &application, DWORD &first)
{
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + application + L"\\Performance";
    DWORD bytes = sizeof(first);
    return ::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"First Counter", RRF_RT_REG_DWORD, nullptr, &first,
                          &bytes) == ERROR_SUCCESS;
}

bool CPerformanceDataReader::ReadCheckedValues(const PERF_OBJECT_TYPE &object,
                                               std::vector<std::pair<DWORD, ULONGLONG>> &values)
{
    values.clear();
    CCheckedObject checked;
    if (object.NumInstances != PERF_NO_INSTANCES || !ReadChecked(object, checked))
    {
        return false;
    }
    for (size_t k = 0; k < checked.counters.size(); ++k)
    {
        values.emplace_back(checked.counters[k].CounterNameTitleIndex, checked.instances[0].values[k]);
    }
    return true;
}

bool CPerformanceDataReader::ReadChecked(const PERF_OBJECT_TYPE &object, CCheckedObject &checked)
{
    // The object itself was found to fit in the data; everything inside it is checked here.
    checked = CCheckedObject();
    const BYTE *const base = reinterpret_cast<const BYTE *>(&object);
    const unsigned long long total = object.TotalByteLength;
    if (object.HeaderLength < sizeof(PERF_OBJECT_TYPE) || object.HeaderLength > object.DefinitionLength ||
        object.DefinitionLength > total || object.NumInstances < PERF_NO_INSTANCES ||
        !CopyDefinitions(object, checked.counters))
    {
        return false;
    }
    if (object.NumInstances == PERF_NO_INSTANCES)
    {
        checked.instances.resize(1);
        return CopyValues(base, object.DefinitionLength, total, checked.counters, checked.instances[0].values,
                          checked.counterBlockLength);
    }
    checked.hasInstances = true;
    unsigned long long at = object.DefinitionLength;
    for (LONG i = 0; i < object.NumInstances; ++i)
    {
        checked.instances.emplace_back();
        if (!CopyInstance(base, at, total, checked.counters, checked.instances.back()))
        {
            return false;
        }
    }
    return true;
}

} // namespace Tools
} // namespace CorvaneTools
