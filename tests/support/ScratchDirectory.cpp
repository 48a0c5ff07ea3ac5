#include "tests/support/ScratchDirectory.h"

namespace TestSupport {

CScratchDirectory::CScratchDirectory(const std::wstring &what)
{
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    m_path = temp + UniqueName(what);
    // Unique within this run only: a fresh Wine server hands out the same process ids, and
    // a run that failed may have left its directory.
    bool created = ::CreateDirectoryW(m_path.c_str(), nullptr) != FALSE;
    if (!created && ::GetLastError() == ERROR_ALREADY_EXISTS)
    {
        RemoveTree(m_path);
        created = ::CreateDirectoryW(m_path.c_str(), nullptr) != FALSE;
    }
    if (!created)
    {
        throw std::runtime_error("cannot create the scratch directory");
    }
}

CScratchDirectory::~CScratchDirectory()
{
    RemoveTree(m_path);
}

const std::wstring &CScratchDirectory::Path() const
{
    return m_path;
}

std::wstring CScratchDirectory::operator/(const std::wstring &name) const
{
    return m_path + L"\\" + name;
}

void RemoveTree(const std::wstring &path)
{
    WIN32_FIND_DATAW data;
    const HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &data);
    if (search != INVALID_HANDLE_VALUE)
    {
        do
        {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
            {
                continue;
            }
            const std::wstring child = path + L"\\" + name;
            ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            {
                // A link goes itself; what it points at is not this tree's to remove.
                if (!::RemoveDirectoryW(child.c_str()))
                {
                    ::DeleteFileW(child.c_str());
                }
            }
            else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            {
                RemoveTree(child);
            }
            else
            {
                ::DeleteFileW(child.c_str());
            }
        } while (::FindNextFileW(search, &data));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(path.c_str());
}

bool Exists(const std::wstring &path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteBytes(const std::wstring &path, const std::string &bytes)
{
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
}

std::string ReadBytes(const std::wstring &path)
{
    const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING, 0, nullptr);
    std::string bytes;
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
    {
        bytes.append(buffer, read);
    }
    ::CloseHandle(file);
    return bytes;
}

} // namespace TestSupport
