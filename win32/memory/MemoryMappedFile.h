#pragma once

#include "win32/handles/SmartHandle.h"
#include "win32/handles/UniqueOwners.h"
#include "win32/security/AccessMode.h"

#include <string>

namespace CorvaneTools {
namespace Win32 {

// A view of a whole disk file.
class CMemoryMappedFile
{
public:
    CMemoryMappedFile(const std::wstring &path, AccessMode mode);

    CMemoryMappedFile(const CMemoryMappedFile &) = delete;
    CMemoryMappedFile &operator=(const CMemoryMappedFile &) = delete;

    const void *GetBaseAddress() const;
    void *GetBaseAddress();

    // Length of the file when it was mapped: readers of the view check offsets against it.
    unsigned __int64 GetSize() const;

    static HANDLE OpenFile(const std::wstring &path, AccessMode mode);
    static DWORD GetPageMode(AccessMode mode);
    static DWORD GetAccessMode(AccessMode mode);

private:
    CSmartHandle m_mapping;
    CUniqueMapView m_view;
    unsigned __int64 m_size;
};

} // namespace Win32
} // namespace CorvaneTools
