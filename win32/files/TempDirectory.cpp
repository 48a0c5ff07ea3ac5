#include "win32/files/TempDirectory.h"

#include "win32/errors/ErrorMessage.h"
#include "win32/errors/Win32Exception.h"
#include "win32/files/DirectorySearch.h"
#include "win32/system/SystemDirectories.h"
#include "win32/text/ToString.h"

#include <ctime>

namespace CorvaneTools {
namespace Win32 {

namespace {

const std::wstring &ProcessIdText()
{
    static const std::wstring text = ToString(static_cast<unsigned long>(::GetCurrentProcessId()));
    return text;
}

} // namespace

CTempDirectory::CTempDirectory(const std::wstring &prefix) : m_path(CreateTempDirectory(prefix))
{
}

CTempDirectory::~CTempDirectory()
{
    try
    {
        RemoveDirectoryContents(m_path);
    }
    catch (const CException &e)
    {
        ::OutputDebugStringW(e.GetMessage().c_str());
    }
    catch (...)
    {
    }
    if (!::RemoveDirectoryW(m_path.c_str()))
    {
        const DWORD error = ::GetLastError();
        try
        {
            ::OutputDebugStringW((L"~CTempDirectory() - RemoveDirectory() failed: " +
                                  GetLastErrorMessage(error, false)).c_str());
        }
        catch (...)
        {
        }
    }
}

const std::wstring &CTempDirectory::GetPath() const
{
    return m_path;
}

std::wstring CTempDirectory::CreateTempDirectory(const std::wstring &prefix)
{
    const std::wstring name = GetTempPath() + prefix + L"-" + ProcessIdText() + L"-" +
                              ToString(static_cast<__int64>(std::time(nullptr))) + L"\\";
    if (!::CreateDirectoryW(name.c_str(), nullptr))
    {
        const DWORD error = ::GetLastError();
        throw CException(L"CTempDirectory::CreateTempDirectory()",
                         L"Failed to create directory: \"" + name + L"\" - " + GetLastErrorMessage(error, false));
    }
    return name;
}

void CTempDirectory::RemoveDirectoryContents(const std::wstring &directory)
{
    if (!RemoveContents(directory))
    {
        throw CException(L"CTempDirectory::RemoveDirectoryContents()", L"Not all files could be deleted");
    }
}

bool CTempDirectory::RemoveContents(const std::wstring &directory)
{
    bool allDeleted = true;
    CDirectorySearch search(directory + L"*.*");
    while (search.NextFile())
    {
        // By name: not every file system lists "." and ".." first, or at all.
        const std::wstring name = search.GetFileName();
        if (name == L"." || name == L"..")
        {
            continue;
        }
        const std::wstring path = directory + name;
        if (!search.IsDirectory())
        {
            allDeleted = ::DeleteFileW(path.c_str()) && allDeleted;
            continue;
        }
        // A link to a directory elsewhere is removed, never followed into.
        if (!(search.GetAttributes() & FILE_ATTRIBUTE_REPARSE_POINT) && !RemoveContents(path + L"\\"))
        {
            // Still holds what could not be deleted; the rest of the listing goes on.
            allDeleted = false;
            continue;
        }
        if (!::RemoveDirectoryW(path.c_str()))
        {
            throw CWin32Exception(L"CTempDirectory::RemoveDirectoryContents() - RemoveDirectory() failed",
                                  ::GetLastError());
        }
    }
    return allDeleted;
}

} // namespace Win32
} // namespace CorvaneTools
