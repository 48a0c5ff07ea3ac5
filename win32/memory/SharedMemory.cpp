#include "win32/memory/SharedMemory.h"

#include "win32/errors/Win32Exception.h"
#include "win32/text/ToString.h"

#include <cstring>
#include <utility>

namespace CorvaneTools {
namespace Win32 {

namespace {

CUniqueMapView MapWhole(HANDLE mapping, DWORD access, const std::wstring &name)
{
    CUniqueMapView view(::MapViewOfFile(mapping, access, 0, 0, 0));
    if (!view.IsValid())
    {
        throw CWin32Exception(L"CSharedMemory::CSharedMemory() - MapViewOfFile: \"" + name + L"\"", ::GetLastError());
    }
    return view;
}

// Its creator writes the header just after creating the section, so an opener in between
// reads 0; that is given a moment before the sizes count as different.
DWORD ExistingHeader(const void *first, DWORD size)
{
    const volatile DWORD *header = static_cast<const volatile DWORD *>(first);
    const DWORD start = ::GetTickCount();
    while (*header == 0 && size != 0 && ::GetTickCount() - start < CSharedMemory::HeaderWaitMs)
    {
        ::Sleep(1);
    }
    return *header;
}

// A section of the stated size must really be that large: its maker may have lied in the
// header, and a reader that trusted it would read past the end of the view.
bool ViewHolds(const void *view, DWORD size)
{
    MEMORY_BASIC_INFORMATION region = {};
    return ::VirtualQuery(view, &region, sizeof(region)) == sizeof(region) &&
           region.RegionSize >= static_cast<SIZE_T>(size) + sizeof(DWORD);
}

std::wstring SizeMismatchWhere(const std::wstring &fullName)
{
    return L"CSharedMemory::CSharedMemory() - Already exists and not the same size: \"" + fullName + L"\"";
}

} // namespace

CSharedMemory::CSharedMemory(const IKernelObjectName &name, DWORD size, AccessMode mode, bool allowExisting,
                             SECURITY_ATTRIBUTES *securityAttributes)
    : CSharedMemory(name, size, mode, allowExisting ? CreateOrOpen : CreateOnly, securityAttributes)
{
}

CSharedMemory::CSharedMemory(const IKernelObjectName &name, DWORD size, AccessMode mode,
                             KernelObjectCreationMode creation, SECURITY_ATTRIBUTES *securityAttributes)
{
    const std::wstring fullName = name.GetName();
    if (creation == OpenOnly)
    {
        OpenExisting(fullName, size, mode);
        return;
    }
    const bool allowExisting = creation == CreateOrOpen;
    const DWORD mappingSize = CalculateSize(size);
    const DWORD protection = GetProtection(mode);

    m_mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, securityAttributes, PAGE_READWRITE, 0, mappingSize,
                                     fullName.c_str());
    const DWORD error = ::GetLastError();
    const std::wstring createWhere = L"CSharedMemory::CSharedMemory() - CreateFileMapping: \"" + fullName + L"\"";
    if (!m_mapping.IsValid())
    {
        throw CWin32Exception(createWhere, error);
    }
    const bool existed = error == ERROR_ALREADY_EXISTS;
    if (existed && !allowExisting)
    {
        throw CWin32Exception(createWhere, ERROR_ALREADY_EXISTS);
    }

    {
        const CUniqueMapView first = MapWhole(m_mapping, FILE_MAP_WRITE, fullName);
        if (!existed)
        {
            std::memcpy(first.Get(), &size, sizeof(size));
        }
        else
        {
            const DWORD stored = ExistingHeader(first.Get(), size);
            if (stored != size || !ViewHolds(first.Get(), size))
            {
                throw CWin32Exception(SizeMismatchWhere(fullName), ERROR_BAD_LENGTH);
            }
        }
    }

    m_view = MapWhole(m_mapping, protection, fullName);
}

void CSharedMemory::OpenExisting(const std::wstring &fullName, DWORD size, AccessMode mode)
{
    CalculateSize(size);
    const DWORD access = GetProtection(mode);
    m_mapping = ::OpenFileMappingW(access | READ_CONTROL, FALSE, fullName.c_str());
    if (!m_mapping.IsValid())
    {
        throw CWin32Exception(L"CSharedMemory::CSharedMemory() - OpenFileMapping: \"" + fullName + L"\"",
                              ::GetLastError());
    }
    CUniqueMapView view = MapWhole(m_mapping, access, fullName);
    // Read once, without the creator's grace period: an opener that only reads must not be
    // kept waiting by a section whose header nobody will ever write.
    const DWORD stored = *static_cast<const volatile DWORD *>(view.Get());
    if (stored != size || !ViewHolds(view.Get(), size))
    {
        if (stored == 0)
        {
            throw CWin32Exception(L"CSharedMemory::CSharedMemory() - Not yet sized by its creator: \"" + fullName +
                                      L"\"",
                                  ERROR_NOT_READY);
        }
        throw CWin32Exception(SizeMismatchWhere(fullName), ERROR_BAD_LENGTH);
    }
    m_view = std::move(view);
}

void *CSharedMemory::GetMemory() const
{
    return static_cast<BYTE *>(m_view.Get()) + sizeof(DWORD);
}

HANDLE CSharedMemory::GetHandle() const
{
    return m_mapping;
}

DWORD CSharedMemory::CalculateSize(DWORD size)
{
    if (size > MaxSize)
    {
        throw CException(L"CSharedMemory::CalculateSize()", L"Size is too big: " +
                                                                ToString(static_cast<unsigned long>(size)) +
                                                                L" max is:" + ToString(static_cast<unsigned long>(MaxSize)));
    }
    return size + sizeof(DWORD);
}

DWORD CSharedMemory::GetProtection(AccessMode mode)
{
    switch (mode)
    {
    case ReadOnly:
        return FILE_MAP_READ;
    case ReadWrite:
        return FILE_MAP_WRITE;
    }
    throw CException(L"CSharedMemory::GetProtection()",
                     L"Unexpected protection flag: " + ToString(static_cast<unsigned long>(mode)));
}

} // namespace Win32
} // namespace CorvaneTools
