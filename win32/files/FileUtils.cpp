#include "win32/files/FileUtils.h"

#include "win32/errors/Win32Exception.h"
#include "win32/handles/SmartHandle.h"
#include "win32/text/StringConverter.h"
#include "win32/text/ToString.h"

namespace CorvaneTools {
namespace Win32 {

namespace {

// CreateDirectory reports "already exists" for a file of that name too.
DWORD CreateOneDirectory(const std::wstring &path, SECURITY_ATTRIBUTES *security)
{
    if (::CreateDirectoryW(path.c_str(), security))
    {
        return ERROR_SUCCESS;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_ALREADY_EXISTS)
    {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        {
            return ERROR_SUCCESS;
        }
    }
    return error;
}

} // namespace

void CreateDirectoryIfRequired(const std::wstring &path, SECURITY_ATTRIBUTES *security)
{
    const DWORD error = CreateOneDirectory(path, security);
    if (error != ERROR_SUCCESS)
    {
        throw CWin32Exception(L"CreateDirectoryIfRequired()", error);
    }
}

void CreateDirectoriesIfRequired(const std::wstring &path, SECURITY_ATTRIBUTES *security)
{
    const DWORD error = CreateOneDirectory(path, security);
    if (error == ERROR_SUCCESS)
    {
        return;
    }
    if (error != ERROR_PATH_NOT_FOUND)
    {
        throw CWin32Exception(L"CreateDirectoriesIfRequired()", error);
    }
    const size_t separator = path.rfind(L'\\');
    if (separator == std::wstring::npos)
    {
        throw CWin32Exception(L"CreateDirectoriesIfRequired()", ERROR_PATH_NOT_FOUND);
    }
    CreateDirectoriesIfRequired(path.substr(0, separator), security);
    CreateDirectoryIfRequired(path, security);
}

bool PathCombine(const std::wstring &directory, const std::wstring &name, std::wstring &path)
{
    wchar_t buffer[MAX_PATH];
    if (!::PathCombineW(buffer, directory.c_str(), name.c_str()))
    {
        return false;
    }
    path = buffer;
    return true;
}

std::wstring GetFileNamePart(const std::wstring &path)
{
    const size_t separator = path.rfind(L'\\');
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

std::wstring GetDirectoryPart(const std::wstring &path)
{
    const size_t separator = path.rfind(L'\\');
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

void DeleteFile(const std::wstring &path)
{
    if (!::DeleteFileW(path.c_str()))
    {
        const DWORD error = ::GetLastError();
        throw CWin32Exception(L"DeleteFile() - \"" + path + L"\"", error);
    }
}

void SaveStringAsFile(const std::wstring &path, const std::string &data)
{
    const int length = GetStringLength(data, false);
    CSmartHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
    {
        const DWORD error = ::GetLastError();
        throw CWin32Exception(L"SaveStringAsFile() \"" + path + L"\"", error);
    }
    DWORD written = 0;
    if (!::WriteFile(file, data.data(), static_cast<DWORD>(length), &written, nullptr))
    {
        const DWORD error = ::GetLastError();
        throw CWin32Exception(L"SaveStringAsFile()", L"\"" + path + L"\"", error);
    }
    if (written < static_cast<DWORD>(length))
    {
        const DWORD error = ::GetLastError();
        throw CWin32Exception(L"SaveStringAsFile()", L"\"" + path + L"\" - Failed to write all data", error);
    }
}

void SaveStringAsFile(const std::wstring &path, const std::wstring &data)
{
    SaveStringAsFile(path, CStringConverter::WtoA(data));
}

std::string Utf16LETextFileBytes(const std::wstring &text)
{
    std::string bytes("\xFF\xFE", 2);
    bytes.reserve(2 + text.size() * 2);
    for (const wchar_t c : text)
    {
        bytes.push_back(static_cast<char>(static_cast<unsigned int>(c) & 0xFF));
        bytes.push_back(static_cast<char>((static_cast<unsigned int>(c) >> 8) & 0xFF));
    }
    return bytes;
}

namespace {

CByteView FindResourceBytes(const wchar_t *where, const wchar_t *resourceName, const wchar_t *resourceType,
                            HMODULE module)
{
    const HRSRC resource = ::FindResourceW(module, resourceName, resourceType);
    if (!resource)
    {
        throw CWin32Exception(std::wstring(where) + L" - FindResource", ::GetLastError());
    }
    const HGLOBAL loaded = ::LoadResource(module, resource);
    if (!loaded)
    {
        throw CWin32Exception(std::wstring(where) + L" - LoadResource", ::GetLastError());
    }
    const void *data = ::LockResource(loaded);
    if (!data)
    {
        throw CWin32Exception(std::wstring(where) + L" - LockResource", ::GetLastError());
    }
    return CByteView{static_cast<const BYTE *>(data), ::SizeofResource(module, resource)};
}

} // namespace

CByteView GetResourceBytes(const wchar_t *resourceName, const wchar_t *resourceType, HMODULE module)
{
    return FindResourceBytes(L"GetResourceBytes()", resourceName, resourceType, module);
}

std::vector<BYTE> ReadFileBytes(const std::wstring &path)
{
    const CSmartHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file.IsValid() || !::GetFileSizeEx(file, &size))
    {
        throw CWin32Exception(L"ReadFileBytes() - \"" + path + L"\"", ::GetLastError());
    }
    if (size.QuadPart > 0x7FFFFFFF)
    {
        throw CWin32Exception(L"ReadFileBytes() - \"" + path + L"\"", ERROR_FILE_TOO_LARGE);
    }
    std::vector<BYTE> bytes(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty() && !::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
    {
        throw CWin32Exception(L"ReadFileBytes() - \"" + path + L"\"", ::GetLastError());
    }
    if (read != bytes.size())
    {
        throw CWin32Exception(L"ReadFileBytes() - \"" + path + L"\"", ERROR_HANDLE_EOF);
    }
    return bytes;
}

void WriteResourceToFile(HANDLE file, const wchar_t *resourceName, const wchar_t *resourceType, HMODULE module)
{
    const CByteView resource = FindResourceBytes(L"WriteResourceToFile()", resourceName, resourceType, module);
    const void *data = resource.data;
    const DWORD size = static_cast<DWORD>(resource.size);
    DWORD written = 0;
    if (!::WriteFile(file, data, size, &written, nullptr))
    {
        throw CWin32Exception(L"WriteResourceToFile() - WriteFile", ::GetLastError());
    }
    if (written < size)
    {
        throw CWin32Exception(L"WriteResourceToFile() - WriteFile",
                              L"Wrote less bytes (" + ToString(static_cast<unsigned long>(written)) +
                                  L"( than expected: " + ToString(static_cast<unsigned long>(size)));
    }
}

} // namespace Win32
} // namespace CorvaneTools
