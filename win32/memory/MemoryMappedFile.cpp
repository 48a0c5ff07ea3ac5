#include "win32/memory/MemoryMappedFile.h"

#include "win32/errors/Win32Exception.h"
#include "win32/text/ToString.h"

namespace CorvaneTools {
namespace Win32 {

namespace {

std::wstring UnexpectedMode(AccessMode mode)
{
    return L"Unexpected access mode: " + ToString(static_cast<unsigned long>(mode));
}

} // namespace

CMemoryMappedFile::CMemoryMappedFile(const std::wstring &path, AccessMode mode) : m_size(0)
{
    DWORD error = 0;
    {
        CSmartHandle file(OpenFile(path, mode));
        const DWORD pageMode = GetPageMode(mode);
        LARGE_INTEGER size = {};
        if (::GetFileSizeEx(file, &size))
        {
            m_size = static_cast<unsigned __int64>(size.QuadPart);
        }
        m_mapping = ::CreateFileMappingW(file, nullptr, pageMode, 0, 0, nullptr);
        error = ::GetLastError();
    }
    if (!m_mapping.IsValid())
    {
        throw CWin32Exception(L"CMemoryMappedFile::CMemoryMappedFile() - CreateFileMapping", error);
    }
    m_view.Reset(::MapViewOfFile(m_mapping, GetAccessMode(mode), 0, 0, 0));
    if (!m_view.IsValid())
    {
        throw CWin32Exception(L"CMemoryMappedFile::CMemoryMappedFile() - MapViewOfFile", ::GetLastError());
    }
}

const void *CMemoryMappedFile::GetBaseAddress() const
{
    return m_view.Get();
}

void *CMemoryMappedFile::GetBaseAddress()
{
    return m_view.Get();
}

unsigned __int64 CMemoryMappedFile::GetSize() const
{
    return m_size;
}

HANDLE CMemoryMappedFile::OpenFile(const std::wstring &path, AccessMode mode)
{
    DWORD access = 0;
    DWORD share = 0;
    switch (mode)
    {
    case ReadOnly:
        access = GENERIC_READ;
        share = FILE_SHARE_READ;
        break;
    case ReadWrite:
        access = GENERIC_READ | GENERIC_WRITE;
        share = 0;
        break;
    default:
        throw CException(L"CMemoryMappedFile::OpenFile()", UnexpectedMode(mode));
    }
    const HANDLE file =
        ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        throw CWin32Exception(L"CMemoryMappedFile::OpenFile() -\"" + path + L"\"", ::GetLastError());
    }
    return file;
}

DWORD CMemoryMappedFile::GetPageMode(AccessMode mode)
{
    switch (mode)
    {
    case ReadOnly:
        return PAGE_READONLY;
    case ReadWrite:
        return PAGE_READWRITE;
    }
    throw CException(L"CMemoryMappedFile::GetPageMode()", UnexpectedMode(mode));
}

DWORD CMemoryMappedFile::GetAccessMode(AccessMode mode)
{
    switch (mode)
    {
    case ReadOnly:
        return FILE_MAP_READ;
    case ReadWrite:
        return FILE_MAP_WRITE;
    }
    throw CException(L"CMemoryMappedFile::GetAccessMode()", UnexpectedMode(mode));
}

} // namespace Win32
} // namespace CorvaneTools
