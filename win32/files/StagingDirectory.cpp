#include "win32/files/StagingDirectory.h"

#include "win32/errors/Win32Exception.h"
#include "win32/security/ObjectSecurity.h"
#include "win32/system/SystemDirectories.h"
#include "win32/text/ToString.h"

#include <atomic>

namespace CorvaneTools {
namespace Win32 {

namespace {

const unsigned int s_nameAttempts = 16;
// Nothing in the path is followed: a link found there is a link, not its target.
const DWORD s_noFollow = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

unsigned long NextNumber()
{
    static std::atomic<DWORD> counter(::GetTickCount());
    return static_cast<unsigned long>(++counter);
}

bool Identify(HANDLE handle, BY_HANDLE_FILE_INFORMATION &identity)
{
    return ::GetFileInformationByHandle(handle, &identity) != FALSE;
}

bool SameObject(const BY_HANDLE_FILE_INFORMATION &a, const BY_HANDLE_FILE_INFORMATION &b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// "SetFileInformationByHandle function", FileDispositionInfo: deletes the object the
// handle is open on, whatever its path names by now.
bool DeleteByHandle(HANDLE handle)
{
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

void Report(const std::wstring &text)
{
    ::OutputDebugStringW((L"~CStagingDirectory() - " + text + L"\r\n").c_str());
}

} // namespace

CStagingDirectory::CStagingDirectory(const std::wstring &prefix) : m_identity()
{
    Create(StagingParent(), prefix);
}

CStagingDirectory::CStagingDirectory(const std::wstring &parent, const std::wstring &prefix) : m_identity()
{
    Create(parent, prefix);
}

CStagingDirectory::~CStagingDirectory()
{
    try
    {
        if (StillOurs())
        {
            for (const CMadeFile &file : m_files)
            {
                DeleteMadeFile(file);
            }
        }
        else
        {
            Report(L"\"" + m_path + L"\" is no longer the folder made; its files are left");
        }
        if (!DeleteByHandle(m_directory))
        {
            Report(L"\"" + m_path + L"\" not removed (error " + ToString(::GetLastError()) + L")");
        }
    }
    catch (...)
    {
    }
}

const std::wstring &CStagingDirectory::GetPath() const
{
    return m_path;
}

std::wstring CStagingDirectory::SaveFile(const std::wstring &name, const std::string &bytes)
{
    const std::wstring path = m_path + name;
    for (auto made = m_files.begin(); made != m_files.end(); ++made)
    {
        if (made->name == name)
        {
            // Written again: the earlier one is ours to take away first.
            DeleteMadeFile(*made);
            m_files.erase(made);
            break;
        }
    }
    CSmartHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
    {
        throw CWin32Exception(L"CStagingDirectory::SaveFile() - CreateFile \"" + path + L"\"", ::GetLastError());
    }
    CMadeFile made = {name, {}};
    if (!Identify(file, made.identity))
    {
        throw CWin32Exception(L"CStagingDirectory::SaveFile() - GetFileInformationByHandle", ::GetLastError());
    }
    // Remembered before writing: a file half written is still ours to delete.
    m_files.push_back(made);
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size())
    {
        throw CWin32Exception(L"CStagingDirectory::SaveFile() - WriteFile \"" + path + L"\"", ::GetLastError());
    }
    return path;
}

std::wstring CStagingDirectory::StagingParent()
{
    wchar_t windows[MAX_PATH];
    const UINT length = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length > 0 && length < MAX_PATH)
    {
        const std::wstring temp = std::wstring(windows) + L"\\Temp\\";
        const CSmartHandle folder(::CreateFileW(temp.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, s_noFollow, nullptr));
        BY_HANDLE_FILE_INFORMATION identity = {};
        if (folder.IsValid() && Identify(folder, identity) &&
            (identity.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                FILE_ATTRIBUTE_DIRECTORY &&
            FindUntrustedWriters(folder, SE_FILE_OBJECT, ObjectProtection::ReadableFolder).empty())
        {
            return temp;
        }
    }
    return GetTempPath();
}

void CStagingDirectory::Create(const std::wstring &parent, const std::wstring &prefix)
{
    CObjectSecurity security(ObjectProtection::PrivateFolder);
    DWORD error = ERROR_ALREADY_EXISTS;
    for (unsigned int attempt = 0; attempt < s_nameAttempts && error == ERROR_ALREADY_EXISTS; ++attempt)
    {
        m_path = parent + prefix + L"-" + ToString(static_cast<unsigned long>(::GetCurrentProcessId())) + L"-" +
                 ToString(NextNumber()) + L"\\";
        // A folder of that name that is already there is someone else's: the next name.
        error = ::CreateDirectoryW(m_path.c_str(), security) ? ERROR_SUCCESS : ::GetLastError();
    }
    if (error != ERROR_SUCCESS)
    {
        throw CWin32Exception(L"CStagingDirectory::CStagingDirectory() - CreateDirectory \"" + m_path + L"\"", error);
    }
    // No delete sharing: while it is held, the folder cannot be renamed or replaced.
    m_directory = ::CreateFileW(m_path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | DELETE | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, s_noFollow, nullptr);
    if (!m_directory.IsValid() || !Identify(m_directory, m_identity))
    {
        error = ::GetLastError();
        ::RemoveDirectoryW(m_path.c_str());
        throw CWin32Exception(L"CStagingDirectory::CStagingDirectory() - CreateFile \"" + m_path + L"\"", error);
    }
}

// The path still names the folder made, itself and not through a link.
bool CStagingDirectory::StillOurs() const
{
    const CSmartHandle folder(::CreateFileW(m_path.c_str(), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, s_noFollow, nullptr));
    BY_HANDLE_FILE_INFORMATION identity = {};
    return folder.IsValid() && Identify(folder, identity) &&
           !(identity.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && SameObject(identity, m_identity);
}

void CStagingDirectory::DeleteMadeFile(const CMadeFile &file) const
{
    const std::wstring path = m_path + file.name;
    const CSmartHandle handle(::CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, s_noFollow, nullptr));
    BY_HANDLE_FILE_INFORMATION identity = {};
    if (!handle.IsValid() || !Identify(handle, identity))
    {
        Report(L"\"" + path + L"\" not opened for deletion (error " + ToString(::GetLastError()) + L")");
    }
    else if ((identity.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !SameObject(identity, file.identity))
    {
        Report(L"\"" + path + L"\" is not the file made; left alone");
    }
    else if (!DeleteByHandle(handle))
    {
        Report(L"\"" + path + L"\" not deleted (error " + ToString(::GetLastError()) + L")");
    }
}

} // namespace Win32
} // namespace CorvaneTools
