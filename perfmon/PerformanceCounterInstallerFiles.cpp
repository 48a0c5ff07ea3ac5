#include "perfmon/CounterDllFiles.h"
#include "perfmon/PerformanceCounterInstaller.h"
#include "perfmon/RawImage.h"
#include "win32/errors/Exception.h"
#include "win32/files/FileReplacement.h"
#include "win32/files/RestartDeletion.h"
#include "win32/handles/SmartHandle.h"
#include "win32/system/SystemDirectories.h"
#include "win32/system/WOW64FileSystemRedirector.h"

#include <cwchar>
#include <utility>

namespace CorvaneTools {
namespace PerfMon {

using Win32::CException;
using Win32::CWOW64FileSystemRedirector;

namespace {

// "Creating the Application's Performance Key": Library may be a full path, and as
// REG_EXPAND_SZ it may hold environment variables. By bare name the reader's DLL search,
// not the system directory, would decide which file is loaded.
const wchar_t SystemCopyDirectory[] = L"%SystemRoot%\\System32\\";

std::wstring Quoted(const std::wstring &path)
{
    return L"PerformanceCounterDll: \"" + path + L"\"";
}

// A copy a reader still has loaded goes aside until the restart, which deletes it.
void Place(const std::wstring &destination, const IInstallPerformanceMonitorCounters::CDllImage &image,
           std::vector<std::wstring> &deletedAtRestart)
{
    std::wstring aside;
    Win32::ReplaceFileContents(destination, Win32::CByteView{image.data, image.size}, aside);
    if (!aside.empty())
    {
        deletedAtRestart.push_back(aside);
    }
}

} // namespace

void CPerformanceCounterInstaller::ValidateDLL(const std::wstring &path, bool expectX64,
                                               const std::wstring &openFunction, const std::wstring &collectFunction,
                                               const std::wstring &closeFunction)
{
    const wchar_t where[] = L"CPerformanceCounterInstaller::ValidateDLL()";
    if (!FileExists(path))
    {
        throw CException(where, Quoted(path) + L" does not exist.");
    }
    const CFileImage file(path);
    ValidateImage(file.image, expectX64, openFunction, collectFunction, closeFunction);
}

void CPerformanceCounterInstaller::ValidateImage(const CDllImage &dll, bool expectX64,
                                                 const std::wstring &openFunction,
                                                 const std::wstring &collectFunction,
                                                 const std::wstring &closeFunction)
{
    const wchar_t where[] = L"CPerformanceCounterInstaller::ValidateDLL()";
    const CRawImage image(dll.data, dll.size, false);
    const std::wstring &path = dll.label;
    if (!image.IsValidImage() || !image.IsDLL())
    {
        throw CException(where, Quoted(path) + L" is not a valid dll image file.");
    }
    if (expectX64 && !image.IsX64())
    {
        throw CException(where, Quoted(path) + L" is not an x64 dll.");
    }
    if (!expectX64 && !image.IsX86())
    {
        throw CException(where, Quoted(path) + L" is not a Win32 dll.");
    }
    const std::pair<const std::wstring *, const wchar_t *> entryPoints[] = {
        {&openFunction, L"open"}, {&collectFunction, L"collect"}, {&closeFunction, L"close"}};
    for (const auto &entryPoint : entryPoints)
    {
        if (!image.ExportsFunction(*entryPoint.first))
        {
            throw CException(where, Quoted(path) + L" does not export " + entryPoint.second + L" function: \"" +
                                        *entryPoint.first + L"\"");
        }
    }
}

std::wstring CPerformanceCounterInstaller::PlaceInSystemDirectory(const CDllImage &image,
                                                                  const std::wstring &fileName,
                                                                  std::vector<std::wstring> &deletedAtRestart)
{
    const std::wstring destination = Win32::GetSystemDirectory() + L"\\" + fileName;
    CWOW64FileSystemRedirector redirector;
    if (SystemDirectoryIsRedirected())
    {
        redirector.Disable();
    }
    Place(destination, image, deletedAtRestart);
    return destination;
}

std::wstring CPerformanceCounterInstaller::PlaceInSysWOW64(const CDllImage &image, const std::wstring &fileName,
                                                           std::vector<std::wstring> &deletedAtRestart)
{
    const std::wstring destination = Win32::GetSystemWow64Directory() + L"\\" + fileName;
    Place(destination, image, deletedAtRestart);
    return destination;
}

std::wstring CPerformanceCounterInstaller::CopyLibraryValue(const std::wstring &fileName)
{
    return SystemCopyDirectory + fileName;
}

std::wstring CPerformanceCounterInstaller::CopiedFileName(const std::wstring &library)
{
    if (library.find(L'\\') == std::wstring::npos)
    {
        return library;
    }
    const size_t prefix = std::wcslen(SystemCopyDirectory);
    const std::wstring rest = library.size() > prefix ? library.substr(prefix) : std::wstring();
    return ::_wcsnicmp(library.c_str(), SystemCopyDirectory, prefix) == 0 && rest.find(L'\\') == std::wstring::npos
               ? rest
               : std::wstring();
}

DWORD CPerformanceCounterInstaller::PlaceDLLs(const CDllImage &x86, const CDllImage &x64,
                                              const std::wstring &dllFileName, const std::wstring &openFunction,
                                              const std::wstring &collectFunction, const std::wstring &closeFunction)
{
    DWORD flags = 0;
    if (HasRedirection())
    {
        if (x64.data)
        {
            ValidateImage(x64, true, openFunction, collectFunction, closeFunction);
            PlaceInSystemDirectory(x64, dllFileName, m_deletedAtRestart);
            flags = InstalledX64;
        }
        if (x86.data)
        {
            ValidateImage(x86, false, openFunction, collectFunction, closeFunction);
            PlaceInSysWOW64(x86, dllFileName, m_deletedAtRestart);
            flags |= InstalledX86;
        }
    }
    else if (x86.data)
    {
        ValidateImage(x86, false, openFunction, collectFunction, closeFunction);
        PlaceInSystemDirectory(x86, dllFileName, m_deletedAtRestart);
        flags = InstalledX86;
    }
    return flags;
}

DWORD CPerformanceCounterInstaller::RemovalBlocked(const std::wstring &path)
{
    // A program that has loaded the copy shares delete access: the copy can be moved aside.
    // Anyone else's handle without that sharing, or a lack of rights, blocks the removal.
    const Win32::CSmartHandle file(::CreateFileW(path.c_str(), DELETE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.IsValid())
    {
        return 0;
    }
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
}

std::wstring CPerformanceCounterInstaller::FindBlockedCopy(const std::wstring &fileName, DWORD &error)
{
    for (const std::wstring &copy : SystemCopyPaths(fileName))
    {
        error = RemovalBlocked(copy);
        if (error != 0)
        {
            return copy;
        }
    }
    error = 0;
    return std::wstring();
}

DWORD CPerformanceCounterInstaller::RemoveCopies(const std::wstring &fileName)
{
    const wchar_t where[] = L"CPerformanceCounterInstaller::Uninstall()";
    const std::vector<std::wstring> copies = SystemCopyPaths(fileName);
    CWOW64FileSystemRedirector redirector;
    if (SystemDirectoryIsRedirected())
    {
        redirector.Disable();
    }
    DWORD error = 0;
    FindBlockedCopy(fileName, error);
    if (error == ERROR_ACCESS_DENIED && IsVistaOrLater())
    {
        // The caller can ask for elevation and try again.
        throw Win32::CWin32Exception(where, error);
    }
    if (error != 0)
    {
        return error;
    }
    for (const std::wstring &copy : copies)
    {
        std::wstring aside;
        Win32::DeleteNowOrAtRestart(copy, aside);
        if (!aside.empty())
        {
            m_deletedAtRestart.push_back(aside);
        }
    }
    return 0;
}

const std::vector<std::wstring> &CPerformanceCounterInstaller::DeletedAtRestart() const
{
    return m_deletedAtRestart;
}

} // namespace PerfMon
} // namespace CorvaneTools
