#include "perfmon/RawImage.h"

#include "win32/errors/Exception.h"
#include "win32/errors/Win32Exception.h"
#include "win32/text/StringConverter.h"

#include <cstring>

namespace CorvaneTools {
namespace PerfMon {

namespace {

const WORD MZ = 0x5A4D;
const DWORD PESignature = 0x00004550;
const size_t FileHeaderOffset = 4;
const size_t NTHeadersSize = FileHeaderOffset + sizeof(IMAGE_FILE_HEADER);

template <typename T>
T Read(const BYTE *at)
{
    T value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

} // namespace

CRawImage::CRawImage(const std::wstring &path, bool validate)
    : m_base(nullptr), m_size(0), m_dosHeader(nullptr), m_ntHeaders(nullptr), m_optionalHeader(nullptr),
      m_optionalSize(0), m_sectionTable(nullptr), m_sectionCount(0), m_structureValid(false)
{
    try
    {
        m_file.reset(new Win32::CMemoryMappedFile(path, Win32::ReadOnly));
        m_base = static_cast<const BYTE *>(m_file->GetBaseAddress());
        m_size = m_file->GetSize();
    }
    catch (const Win32::CWin32Exception &e)
    {
        // An empty file cannot be mapped; it is no image either.
        if (e.GetError() != ERROR_FILE_INVALID)
        {
            throw;
        }
    }
    Parse(validate);
}

CRawImage::CRawImage(const BYTE *data, size_t size, bool validate)
    : m_base(data), m_size(size), m_dosHeader(nullptr), m_ntHeaders(nullptr), m_optionalHeader(nullptr),
      m_optionalSize(0), m_sectionTable(nullptr), m_sectionCount(0), m_structureValid(false)
{
    Parse(validate);
}

void CRawImage::Parse(bool validate)
{
    m_dosHeader = reinterpret_cast<const IMAGE_DOS_HEADER *>(At(0, sizeof(IMAGE_DOS_HEADER)));
    if (m_dosHeader)
    {
        const LONG lfanew = Read<LONG>(reinterpret_cast<const BYTE *>(&m_dosHeader->e_lfanew));
        if (lfanew >= 0)
        {
            const BYTE *nt = At(static_cast<unsigned __int64>(lfanew), NTHeadersSize);
            if (nt && Read<DWORD>(nt) == PESignature)
            {
                m_ntHeaders = nt;
            }
        }
    }
    if (m_ntHeaders)
    {
        const BYTE *fileHeader = m_ntHeaders + FileHeaderOffset;
        const WORD sections = Read<WORD>(fileHeader + offsetof(IMAGE_FILE_HEADER, NumberOfSections));
        const WORD optionalSize = Read<WORD>(fileHeader + offsetof(IMAGE_FILE_HEADER, SizeOfOptionalHeader));
        const unsigned __int64 optionalOffset = static_cast<unsigned __int64>(m_ntHeaders - m_base) + NTHeadersSize;
        const BYTE *optional = At(optionalOffset, optionalSize);
        const BYTE *table =
            At(optionalOffset + optionalSize, static_cast<unsigned __int64>(sections) * sizeof(IMAGE_SECTION_HEADER));
        if (optional && table)
        {
            m_optionalHeader = optional;
            m_optionalSize = optionalSize;
            m_sectionTable = table;
            m_sectionCount = sections;
        }
    }
    m_structureValid = CheckStructure();
    if (validate)
    {
        if (!HasMZ() || !m_structureValid)
        {
            throw Win32::CException(L"CRawImage::CRawImage()", L"Unexpected image file format");
        }
        if (!IsX86() && !IsX64())
        {
            throw Win32::CException(L"CRawImage::CRawImage()", L"Unsupported image file (machine not x86 or x64)");
        }
    }
}

CRawImage::~CRawImage() = default;

const BYTE *CRawImage::At(unsigned __int64 offset, unsigned __int64 size) const
{
    if (!m_base || offset > m_size || size > m_size - offset)
    {
        return nullptr;
    }
    return m_base + offset;
}

bool CRawImage::HasMZ() const
{
    return m_dosHeader && Read<WORD>(reinterpret_cast<const BYTE *>(&m_dosHeader->e_magic)) == MZ;
}

WORD CRawImage::Machine() const
{
    return m_ntHeaders ? Read<WORD>(m_ntHeaders + FileHeaderOffset + offsetof(IMAGE_FILE_HEADER, Machine)) : 0;
}

bool CRawImage::IsValidImage() const
{
    return HasMZ() && (IsX86() || IsX64()) && m_structureValid;
}

bool CRawImage::IsDLL() const
{
    return m_ntHeaders &&
           (Read<WORD>(m_ntHeaders + FileHeaderOffset + offsetof(IMAGE_FILE_HEADER, Characteristics)) &
            IMAGE_FILE_DLL) != 0;
}

bool CRawImage::IsX86() const
{
    return Machine() == IMAGE_FILE_MACHINE_I386;
}

bool CRawImage::IsX64() const
{
    return Machine() == IMAGE_FILE_MACHINE_AMD64;
}

const BYTE *CRawImage::FromRVA(DWORD rva, unsigned __int64 size, unsigned __int64 *available) const
{
    if (!m_sectionTable)
    {
        return nullptr;
    }
    for (WORD i = 0; i < m_sectionCount; ++i)
    {
        const BYTE *section = m_sectionTable + i * sizeof(IMAGE_SECTION_HEADER);
        const DWORD address = Read<DWORD>(section + offsetof(IMAGE_SECTION_HEADER, VirtualAddress));
        const DWORD rawSize = Read<DWORD>(section + offsetof(IMAGE_SECTION_HEADER, SizeOfRawData));
        const DWORD rawOffset = Read<DWORD>(section + offsetof(IMAGE_SECTION_HEADER, PointerToRawData));
        if (rva < address || rva - address >= rawSize)
        {
            continue;
        }
        // Only what the section really has in the file counts, and only what the file holds.
        const unsigned __int64 offset = static_cast<unsigned __int64>(rawOffset) + (rva - address);
        unsigned __int64 left = rawSize - (rva - address);
        if (offset >= m_size)
        {
            return nullptr;
        }
        if (left > m_size - offset)
        {
            left = m_size - offset;
        }
        if (size > left)
        {
            return nullptr;
        }
        if (available)
        {
            *available = left;
        }
        return m_base + offset;
    }
    return nullptr;
}

bool CRawImage::FindExportDirectory(const IMAGE_EXPORT_DIRECTORY *&directory, bool &present) const
{
    present = false;
    const BYTE *optional = m_optionalHeader;
    const WORD optionalSize = m_optionalSize;
    if (!optional || optionalSize < sizeof(WORD))
    {
        return false;
    }
    size_t countOffset = 0;
    size_t directoriesOffset = 0;
    switch (Read<WORD>(optional))
    {
    case IMAGE_NT_OPTIONAL_HDR32_MAGIC:
        countOffset = offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes);
        directoriesOffset = offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
        break;
    case IMAGE_NT_OPTIONAL_HDR64_MAGIC:
        countOffset = offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes);
        directoriesOffset = offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
        break;
    default:
        return false;
    }
    const size_t exportEnd = directoriesOffset + (IMAGE_DIRECTORY_ENTRY_EXPORT + 1) * sizeof(IMAGE_DATA_DIRECTORY);
    if (optionalSize < exportEnd || Read<DWORD>(optional + countOffset) <= IMAGE_DIRECTORY_ENTRY_EXPORT)
    {
        return false;
    }
    const BYTE *entry = optional + directoriesOffset + IMAGE_DIRECTORY_ENTRY_EXPORT * sizeof(IMAGE_DATA_DIRECTORY);
    const DWORD rva = Read<DWORD>(entry + offsetof(IMAGE_DATA_DIRECTORY, VirtualAddress));
    if (rva == 0)
    {
        return false;
    }
    present = true;
    directory = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(FromRVA(rva, sizeof(IMAGE_EXPORT_DIRECTORY)));
    return directory != nullptr;
}

bool CRawImage::NameAt(DWORD rva, const char *&name, size_t &length) const
{
    unsigned __int64 available = 0;
    const BYTE *at = FromRVA(rva, 1, &available);
    if (!at)
    {
        return false;
    }
    const void *end = std::memchr(at, 0, static_cast<size_t>(available));
    if (!end)
    {
        return false;
    }
    name = reinterpret_cast<const char *>(at);
    length = static_cast<const BYTE *>(end) - at;
    return true;
}

bool CRawImage::ExportTables(const IMAGE_EXPORT_DIRECTORY *directory, const BYTE *&functions, const BYTE *&names,
                             const BYTE *&ordinals, DWORD &functionCount, DWORD &nameCount) const
{
    const BYTE *raw = reinterpret_cast<const BYTE *>(directory);
    functionCount = Read<DWORD>(raw + offsetof(IMAGE_EXPORT_DIRECTORY, NumberOfFunctions));
    nameCount = Read<DWORD>(raw + offsetof(IMAGE_EXPORT_DIRECTORY, NumberOfNames));
    functions = FromRVA(Read<DWORD>(raw + offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfFunctions)),
                        static_cast<unsigned __int64>(functionCount) * sizeof(DWORD));
    names = FromRVA(Read<DWORD>(raw + offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfNames)),
                    static_cast<unsigned __int64>(nameCount) * sizeof(DWORD));
    ordinals = FromRVA(Read<DWORD>(raw + offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfNameOrdinals)),
                       static_cast<unsigned __int64>(nameCount) * sizeof(WORD));
    return (functions || functionCount == 0) && ((names && ordinals) || nameCount == 0);
}

bool CRawImage::CheckStructure() const
{
    if (!m_sectionTable)
    {
        return false;
    }
    const IMAGE_EXPORT_DIRECTORY *directory = nullptr;
    bool present = false;
    if (!FindExportDirectory(directory, present))
    {
        return !present;
    }
    const BYTE *functions = nullptr;
    const BYTE *names = nullptr;
    const BYTE *ordinals = nullptr;
    DWORD functionCount = 0;
    DWORD nameCount = 0;
    if (!ExportTables(directory, functions, names, ordinals, functionCount, nameCount))
    {
        return false;
    }
    for (DWORD j = 0; j < nameCount; ++j)
    {
        const char *name = nullptr;
        size_t length = 0;
        if (Read<WORD>(ordinals + j * sizeof(WORD)) >= functionCount ||
            !NameAt(Read<DWORD>(names + j * sizeof(DWORD)), name, length))
        {
            return false;
        }
    }
    return true;
}

DWORD CRawImage::ExportsFunction(const std::wstring &name) const
{
    const IMAGE_EXPORT_DIRECTORY *directory = nullptr;
    bool present = false;
    const BYTE *functions = nullptr;
    const BYTE *names = nullptr;
    const BYTE *ordinals = nullptr;
    DWORD functionCount = 0;
    DWORD nameCount = 0;
    // Nothing is taken from a file that failed a check, not even the parts that look sound.
    if (!m_structureValid || !FindExportDirectory(directory, present) ||
        !ExportTables(directory, functions, names, ordinals, functionCount, nameCount))
    {
        return 0;
    }
    const std::string wanted = Win32::CStringConverter::WtoA(name);
    // The lowest function index whose name matches wins, as if functions were searched in
    // order; walking the names once keeps this linear in the table size.
    DWORD found = functionCount;
    for (DWORD j = 0; j < nameCount; ++j)
    {
        const WORD index = Read<WORD>(ordinals + j * sizeof(WORD));
        if (index >= functionCount || index >= found || Read<DWORD>(functions + index * sizeof(DWORD)) == 0)
        {
            continue;
        }
        const char *exported = nullptr;
        size_t length = 0;
        if (NameAt(Read<DWORD>(names + j * sizeof(DWORD)), exported, length) && length == wanted.size() &&
            std::memcmp(exported, wanted.data(), length) == 0)
        {
            found = index;
        }
    }
    return found < functionCount ? Read<DWORD>(functions + found * sizeof(DWORD)) : 0;
}

} // namespace PerfMon
} // namespace CorvaneTools
