#include "win32/SharedMemory.h"

#include "win32/Win32Exception.h"
#include "win32/ToString.h"

#include <cstring>

namespace CorvaneTools {
namespace Win32 {

namespace {

void *MapWhole(HANDLE mapping, DWORD access, const std::wstring &name)
{
    void *view = ::MapViewOfFile(mapping, access, 0, 0, 0);
    if (!view)
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

} // namespace

CSharedMemory::CSharedMemory(const IKernelObjectName &name, DWORD size, AccessMode mode, bool allowExisting,
                             SECURITY_ATTRIBUTES *securityAttributes)
    : m_view(nullptr)
{
    const std::wstring fullName = name.GetName();
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

    void *first = MapWhole(m_mapping, FILE_MAP_WRITE, fullName);
    if (!existed)
    {
        std::memcpy(first, &size, sizeof(size));
    }
    else
    {
        const DWORD stored = ExistingHeader(first, size);
        if (stored != size)
        {
            ::UnmapViewOfFile(first);
            throw CWin32Exception(
                L"CSharedMemory::CSharedMemory() - Already exists and not the same size: \"" + fullName + L"\"",
                ERROR_BAD_LENGTH);
        }
    }
    ::UnmapViewOfFile(first);

    m_view = MapWhole(m_mapping, protection, fullName);
}

CSharedMemory::~CSharedMemory()
{
    if (m_view)
    {
        ::UnmapViewOfFile(m_view);
    }
}

void *CSharedMemory::GetMemory() const
{
    return static_cast<BYTE *>(m_view) + sizeof(DWORD);
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
