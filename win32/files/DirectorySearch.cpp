#include "win32/files/DirectorySearch.h"

#include "win32/errors/Win32Exception.h"

namespace CorvaneTools {
namespace Win32 {

CDirectorySearch::CDirectorySearch(const std::wstring &pattern)
    : m_findData(), m_search(::FindFirstFileW(pattern.c_str(), &m_findData)), m_firstPending(false)
{
    if (!m_search.IsValid())
    {
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND)
        {
            throw CWin32Exception(L"CDirectorySearch::CDirectorySearch(\"" + pattern + L"\")", error);
        }
        return;
    }
    m_firstPending = true;
}

bool CDirectorySearch::NextFile()
{
    if (!m_search.IsValid())
    {
        return false;
    }
    if (m_firstPending)
    {
        m_firstPending = false;
        return true;
    }
    if (::FindNextFileW(m_search.Get(), &m_findData))
    {
        return true;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_NO_MORE_FILES)
    {
        throw CWin32Exception(L"CDirectorySearch::NextFile() - FindNextFile", error);
    }
    // The end of a search reports a failed close, which a destructor could not.
    if (!::FindClose(m_search.Detach()))
    {
        throw CWin32Exception(L"CDirectorySearch::NextFile() - FindClose", ::GetLastError());
    }
    return false;
}

std::wstring CDirectorySearch::GetFileName() const
{
    return m_findData.cFileName;
}

DWORD CDirectorySearch::GetAttributes() const
{
    return m_findData.dwFileAttributes;
}

bool CDirectorySearch::IsDirectory() const
{
    return (m_findData.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

} // namespace Win32
} // namespace CorvaneTools
