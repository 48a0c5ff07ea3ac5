#pragma once

// windows.h maps GetCurrentDirectory and GetModuleFileName to their ...W forms; including
// it first keeps the names the same in every translation unit.
#include <windows.h>

#include <string>
#include <vector>

namespace CorvaneTools {
namespace TessalyService {

// The service's own options: a log file, its directory and the poll interval. They come
// from the command line after /install or /run, are stored in the service's Config key at
// install, and are read back from there when a start gives none.
class CServiceOptions
{
public:
    static const DWORD DefaultPollIntervalMs = 1000;
    // The largest number of seconds whose milliseconds fit in 32 bits.
    static const DWORD MaxPollIntervalSeconds = 0xFFFFFFFFu / 1000;
    // The option whose value is a directory: "/logPath path".
    static const wchar_t LogPathOption[];

    explicit CServiceOptions(const std::wstring &serviceName);

    // Arguments consumed from argv[index] on: 0 (not an option of this service, or an
    // error with result 255 and the message set), 1 or 2.
    int ParseCommandLineArgument(wchar_t **argv, int argc, int index, std::wstring &message, DWORD &result);
    std::wstring GetServiceSpecificUsage(const std::wstring &usage) const;

    // Registry failures throw CorvaneTools::Win32::CException.
    void SaveConfiguration(DWORD pollIntervalMs, bool createLog, const std::wstring &logPath);
    void SaveConfiguration();

    // Options from the command line win; otherwise the registry, with a default for
    // whatever is missing or unreadable there.
    DWORD ReadPollInterval();
    bool ReadCreateLog();
    std::wstring ReadLogPath();
    // The registry's LogMaxSize, in bytes: the default for 0, missing or unreadable, the
    // smallest size the log takes for less than that.
    DWORD ReadLogMaxSize();

    // Empty for no log file; in the program's directory when the log directory cannot be
    // created, is refused (a link, or others may write into it) or the log file cannot be
    // written there; empty too when the program's directory is refused as well.
    std::wstring GetLogFilePath();

    // What the reads above passed over (a registry value of the wrong type or size, an
    // unusable or refused log directory), one line each, for the log once it is open;
    // then cleared.
    std::vector<std::wstring> TakeIgnoredSettings();
    static std::wstring MakeLogFileName(const std::wstring &directory);

    // "SYSTEM\CurrentControlSet\Services\<service name>\Config" under HKLM.
    std::wstring GetConfigKeyPath() const;

    bool GetCreateLog() const;
    const std::wstring &GetLogPath() const;
    bool GetLogOptionsSet() const;
    DWORD GetPollIntervalMs() const;
    bool GetPollIntervalSet() const;

private:
    int ParsePoll(wchar_t **argv, int argc, int index, std::wstring &message, DWORD &result);
    int ParseLogPath(wchar_t **argv, int argc, int index, std::wstring &message, DWORD &result);
    bool CheckRelativeLogPath(const std::wstring &argument, std::wstring &message, DWORD &result);
    void NoteIgnoredValue(HKEY config, const wchar_t *name, const wchar_t *expected, const std::wstring &instead);
    void Note(const std::wstring &line);
    bool LogDirectoryIsUsable(const std::wstring &directory);

    std::wstring m_serviceName;
    bool m_createLog;
    std::wstring m_logPath;
    bool m_logOptionsSet;
    DWORD m_pollIntervalMs;
    bool m_pollIntervalSet;
    std::vector<std::wstring> m_ignoredSettings;
};

} // namespace TessalyService
} // namespace CorvaneTools
