#include "service/ServiceOptions.h"

#include "service/ConfigurationNames.h"

#include "win32/errors/Exception.h"
#include "win32/errors/Win32Exception.h"
#include "win32/files/ProtectedFolder.h"
#include "win32/handles/UniqueOwners.h"
#include "win32/log/SimpleMessageLog.h"
#include "win32/registry/RegistryKey.h"
#include "win32/system/ModuleInfo.h"

namespace CorvaneTools {
namespace TessalyService {

// The log's options: where it goes, and how large it grows before it rolls over.

using CorvaneTools::Win32::CException;
using CorvaneTools::Win32::CRegistryKey;
using CorvaneTools::Win32::CSimpleMessageLog;

namespace {

const wchar_t *const s_logMaxSizeValue = L"LogMaxSize";

// A path too long to be worth a log line is named by its length.
std::wstring Shown(const std::wstring &path)
{
    return path.size() <= MAX_PATH ? L"\"" + path + L"\"" : L"of " + std::to_wstring(path.size()) + L" characters";
}

} // namespace

// 0 stands for the default, so that a value written by hand without thought keeps a bound.
DWORD CServiceOptions::ReadLogMaxSize()
{
    const DWORD defaultSize = CSimpleMessageLog::DefaultMaximumSize;
    const DWORD smallest = CSimpleMessageLog::SmallestMaximumSize;
    DWORD size = 0;
    try
    {
        const CRegistryKey config(HKEY_LOCAL_MACHINE, GetConfigKeyPath().c_str(), KEY_READ);
        if (!config.QueryValue(s_logMaxSizeValue, size))
        {
            size = 0;
            NoteIgnoredValue(config.GetHandle(), s_logMaxSizeValue, L"REG_DWORD",
                             L"the log rolls over at " + std::to_wstring(defaultSize) + L" bytes");
        }
    }
    catch (const CException &)
    {
        size = 0;
    }
    if (size == 0)
    {
        return defaultSize;
    }
    if (size < smallest)
    {
        Note(L"Config value LogMaxSize raised to " + std::to_wstring(smallest) + L" bytes, the smallest allowed (it was " +
             std::to_wstring(size) + L")");
        return smallest;
    }
    return size;
}

std::wstring CServiceOptions::GetLogFilePath()
{
    const std::wstring logPath = ReadLogPath();
    if (!m_createLog)
    {
        return std::wstring();
    }
    // A log in the program's directory beats no log at all.
    if (!logPath.empty() && LogDirectoryIsUsable(logPath))
    {
        return MakeLogFileName(logPath);
    }
    const std::wstring program = CorvaneTools::Win32::GetModulePath();
    const std::wstring hazard = CorvaneTools::Win32::FindFolderHazard(program);
    if (!hazard.empty())
    {
        Note(L"Log directory " + Shown(program) + L" refused: " + hazard + L"; no log file is written");
        return std::wstring();
    }
    return MakeLogFileName(program);
}

// A directory that exists but takes no file would lose the log and the crash dumps
// without a word; opening the log file once tells. One that others may write into, or a
// link, would let them choose where this process writes: it is refused before the log
// file is touched.
bool CServiceOptions::LogDirectoryIsUsable(const std::wstring &directory)
{
    DWORD error = ERROR_SUCCESS;
    try
    {
        CorvaneTools::Win32::CreateProtectedDirectories(directory);
        const std::wstring hazard = CorvaneTools::Win32::FindFolderHazard(directory);
        if (!hazard.empty())
        {
            Note(L"Log directory " + Shown(directory) + L" refused: " + hazard +
                 L"; the log is in the program's directory");
            return false;
        }
        const CorvaneTools::Win32::CUniqueFile file(
            ::CreateFileW(MakeLogFileName(directory).c_str(), FILE_APPEND_DATA,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
        error = file.IsValid() ? ERROR_SUCCESS : ::GetLastError();
    }
    catch (const CorvaneTools::Win32::CWin32Exception &e)
    {
        error = e.GetError();
    }
    catch (const CException &)
    {
        error = ERROR_INVALID_NAME;
    }
    if (error != ERROR_SUCCESS)
    {
        Note(L"Log directory " + Shown(directory) + L" cannot be used (error " + std::to_wstring(error) +
             L"); the log is in the program's directory");
    }
    return error == ERROR_SUCCESS;
}

std::wstring CServiceOptions::MakeLogFileName(const std::wstring &directory)
{
    return directory + L"\\" + LogFileName;
}

} // namespace TessalyService
} // namespace CorvaneTools
