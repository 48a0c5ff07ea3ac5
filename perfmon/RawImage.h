#pragma once

#include "win32/memory/MemoryMappedFile.h"

#include <memory>
#include <string>

namespace CorvaneTools {
namespace PerfMon {

// A read-only view of a PE image file. The file is whatever the user named, so every
// offset taken from it is checked against the file's length before it is followed; a
// file that fails a check is simply not a valid image.
class CRawImage
{
public:
    // With validate, a file that is not an x86 or x64 image throws.
    CRawImage(const std::wstring &path, bool validate);
    // Bytes already in memory, which must outlive the image: what is checked is then
    // exactly what is used, with no file between the two that someone could change.
    CRawImage(const BYTE *data, size_t size, bool validate);
    ~CRawImage();

    CRawImage(const CRawImage &) = delete;
    CRawImage &operator=(const CRawImage &) = delete;

    bool IsValidImage() const;
    bool IsDLL() const;
    bool IsX86() const;
    bool IsX64() const;

    // Relative virtual address of the named export (exact, case-sensitive); 0 when absent.
    DWORD ExportsFunction(const std::wstring &name) const;

private:
    void Parse(bool validate);
    // Null unless [offset, offset + size) lies inside the file.
    const BYTE *At(unsigned __int64 offset, unsigned __int64 size) const;
    // Null unless the whole range lies inside one section's data in the file.
    const BYTE *FromRVA(DWORD rva, unsigned __int64 size, unsigned __int64 *available = nullptr) const;
    bool HasMZ() const;
    WORD Machine() const;
    bool FindExportDirectory(const IMAGE_EXPORT_DIRECTORY *&directory, bool &present) const;
    // The three export tables of a directory, each checked to lie inside the file.
    bool ExportTables(const IMAGE_EXPORT_DIRECTORY *directory, const BYTE *&functions, const BYTE *&names,
                      const BYTE *&ordinals, DWORD &functionCount, DWORD &nameCount) const;
    // Headers, section table and every export table and name inside the file.
    bool CheckStructure() const;
    bool NameAt(DWORD rva, const char *&name, size_t &length) const;

    std::unique_ptr<Win32::CMemoryMappedFile> m_file;
    const BYTE *m_base;
    unsigned __int64 m_size;
    const IMAGE_DOS_HEADER *m_dosHeader;
    // The signature and file header; null when e_lfanew points outside the file.
    const BYTE *m_ntHeaders;
    // The optional header and the section table; null unless both lie inside the file.
    const BYTE *m_optionalHeader;
    WORD m_optionalSize;
    const BYTE *m_sectionTable;
    WORD m_sectionCount;
    bool m_structureValid;
};

} // namespace PerfMon
} // namespace CorvaneTools
