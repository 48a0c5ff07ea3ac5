#include "win32/system/SystemDirectories.h"

#include "win32/errors/Win32Exception.h"
#include "win32/system/LibraryLoader.h"
#include "win32/text/ToString.h"

#include <vector>

namespace CorvaneTools {
namespace Win32 {

namespace {

const UINT SystemDirectoryBuffer = MAX_PATH;

std::wstring CheckedSystemDirectory(const wchar_t *where, const wchar_t *buffer, UINT length)
{
    if (length == 0)
    {
        throw CWin32Exception(where, ::GetLastError());
    }
    if (length > SystemDirectoryBuffer)
    {
        throw CException(where, L"System directory is more than: " +
                                    ToString(static_cast<unsigned long>(SystemDirectoryBuffer)) + L" bytes long...");
    }
    return std::wstring(buffer, length);
}

} // namespace

std::wstring GetCurrentDirectory()
{
    const DWORD size = ::GetCurrentDirectoryW(0, nullptr);
    std::vector<wchar_t> buffer(size + 1);
    const DWORD length = ::GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    // A length that does not fit means the directory changed between the calls.
    if (length == 0 || length >= buffer.size())
    {
        throw CException(L"GetCurrentDirectory()", L"Failed to get current directory");
    }
    return std::wstring(buffer.data(), length);
}

std::wstring GetTempPath()
{
    const DWORD size = ::GetTempPathW(0, nullptr);
    if (size == 0)
    {
        throw CWin32Exception(L"GetTempPath()", ::GetLastError());
    }
    std::vector<wchar_t> buffer(size);
    const DWORD length = ::GetTempPathW(size, buffer.data());
    if (length == 0)
    {
        throw CWin32Exception(L"GetTempPath()", ::GetLastError());
    }
    if (length >= size)
    {
        throw CException(L"GetTempPath()",
                         L"Failed to get temp path, second call needed more space " +
                             ToString(static_cast<unsigned long>(length + 1)) + L" than first call allocated " +
                             ToString(static_cast<unsigned long>(size)));
    }
    return std::wstring(buffer.data(), length);
}

std::wstring GetSystemDirectory()
{
    wchar_t buffer[SystemDirectoryBuffer];
    const UINT length = ::GetSystemDirectoryW(buffer, SystemDirectoryBuffer);
    return CheckedSystemDirectory(L"GetSystemDirectory()", buffer, length);
}

std::wstring GetSystemWow64Directory()
{
    typedef UINT(WINAPI * Function)(LPWSTR, UINT);
    static const Function function = LookUpFunction<Function>(L"kernel32", "GetSystemWow64DirectoryW");
    if (!function)
    {
        throw CException(L"GetSystemWow64Directory()", L"Functionality not available on this platform");
    }
    wchar_t buffer[SystemDirectoryBuffer];
    const UINT length = function(buffer, SystemDirectoryBuffer);
    return CheckedSystemDirectory(L"GetSystemWow64Directory()", buffer, length);
}

} // namespace Win32
} // namespace CorvaneTools
