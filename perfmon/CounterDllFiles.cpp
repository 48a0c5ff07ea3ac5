#include "perfmon/CounterDllFiles.h"

#include "win32/files/FileUtils.h"
#include "win32/handles/SmartHandle.h"
#include "win32/system/SystemDirectories.h"
#include "win32/system/SystemInfo.h"
#include "win32/system/WOW64FileSystemRedirector.h"

namespace CorvaneTools {
namespace PerfMon {

CFileImage::CFileImage(const std::wstring &path)
    : bytes(Win32::ReadFileBytes(path)), image{path, bytes.data(), bytes.size()}
{
}

bool FileExists(const std::wstring &path)
{
    Win32::CSmartHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.IsValid();
}

bool SystemDirectoryIsRedirected()
{
#if defined(_WIN64)
    return false;
#else
    return Win32::Is64bitSystem();
#endif
}

bool HasRedirection()
{
    return Win32::Is64bitSystem() && Win32::CWOW64FileSystemRedirector::IsAvailable();
}

bool IsVistaOrLater()
{
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const BOOL known = ::GetVersionExW(&version);
#pragma GCC diagnostic pop
    return known && version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 6;
}

std::vector<std::wstring> SystemCopyPaths(const std::wstring &fileName)
{
    std::vector<std::wstring> paths(1, Win32::GetSystemDirectory() + L"\\" + fileName);
    if (HasRedirection())
    {
        paths.push_back(Win32::GetSystemWow64Directory() + L"\\" + fileName);
    }
    return paths;
}

} // namespace PerfMon
} // namespace CorvaneTools
