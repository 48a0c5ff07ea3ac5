#include "win32/files/RestartDeletion.h"

#include "win32/errors/Exception.h"
#include "win32/errors/Win32Exception.h"
#include "win32/text/ToString.h"

namespace CorvaneTools {
namespace Win32 {

namespace {

const wchar_t s_where[] = L"MoveAsideUntilRestart()";

// A name already taken belongs to someone else or to an earlier removal; it is left alone.
std::wstring RenameToFreeAsideName(const std::wstring &path)
{
    for (unsigned int attempt = 0; attempt < AsideAttempts; ++attempt)
    {
        const std::wstring aside = AsideFileName(path, attempt);
        if (::MoveFileExW(path.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH))
        {
            return aside;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
        {
            throw CWin32Exception(std::wstring(s_where) + L" - MoveFileEx \"" + path + L"\"", error);
        }
    }
    throw CWin32Exception(std::wstring(s_where) + L" - no free name beside \"" + path + L"\"", ERROR_FILE_EXISTS);
}

} // namespace

std::wstring AsideFileName(const std::wstring &path, unsigned int attempt)
{
    return path + L"." + ToString(static_cast<unsigned long>(::GetCurrentProcessId())) + L"-" +
           ToString(static_cast<unsigned long>(attempt)) + L".old";
}

std::wstring MoveAsideUntilRestart(const std::wstring &path)
{
    const std::wstring aside = RenameToFreeAsideName(path);
    // "MoveFileExW function": with MOVEFILE_DELAY_UNTIL_REBOOT and no new name the file is
    // deleted when the system restarts; only administrators and LocalSystem may ask it.
    if (!::MoveFileExW(aside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
    {
        const DWORD error = ::GetLastError();
        ::MoveFileExW(aside.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH);
        throw CWin32Exception(std::wstring(s_where) + L" - MoveFileEx \"" + aside + L"\" at restart", error);
    }
    return aside;
}

bool DeleteNowOrAtRestart(const std::wstring &path, std::wstring &aside)
{
    aside.clear();
    if (::DeleteFileW(path.c_str()))
    {
        return true;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
    {
        return false;
    }
    RequireNoFolderAt(path, L"DeleteNowOrAtRestart()");
    if (!MayBeHeld(error))
    {
        throw CWin32Exception(L"DeleteNowOrAtRestart() - DeleteFile \"" + path + L"\"", error);
    }
    aside = MoveAsideUntilRestart(path);
    return true;
}

void RequireNoFolderAt(const std::wstring &path, const std::wstring &where)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    {
        throw CException(where, L"\"" + path + L"\" is a folder, not a file; it was left as it is");
    }
}

bool MayBeHeld(DWORD error)
{
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

} // namespace Win32
} // namespace CorvaneTools
