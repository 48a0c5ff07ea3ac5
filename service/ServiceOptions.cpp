#include "service/ServiceOptions.h"

#include "service/ConfigurationNames.h"

#include "win32/errors/Exception.h"
#include "win32/errors/Win32Exception.h"
#include "win32/files/FileUtils.h"
#include "win32/files/ProtectedFolder.h"
#include "win32/registry/RegistryKey.h"
#include "win32/system/SystemDirectories.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>

namespace CorvaneTools {
namespace TessalyService {

using CorvaneTools::Win32::CException;
using CorvaneTools::Win32::CRegistryKey;

namespace {

const DWORD s_optionError = 255;
const wchar_t *const s_pollValue = PollValueName;
const wchar_t *const s_logValue = LogValueName;
const wchar_t *const s_logPathValue = LogPathValueName;

// Leading blanks and an optional sign, then digits up to the first non-digit; no digits
// reads as 0. False when the seconds are negative or too many for 32-bit milliseconds.
bool ReadPollSeconds(const wchar_t *text, DWORD &seconds)
{
    while (std::iswspace(*text))
    {
        ++text;
    }
    const bool negative = *text == L'-';
    if (*text == L'-' || *text == L'+')
    {
        ++text;
    }
    unsigned long long value = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text)
    {
        // Stop growing once out of range, so that no number of digits can wrap.
        if (value <= CServiceOptions::MaxPollIntervalSeconds)
        {
            value = value * 10 + static_cast<unsigned>(*text - L'0');
        }
    }
    if (value > CServiceOptions::MaxPollIntervalSeconds || (negative && value != 0))
    {
        return false;
    }
    seconds = static_cast<DWORD>(value);
    return true;
}

bool IsDirectory(const std::wstring &path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring LogPathError(const std::wstring &argument, const wchar_t *what, const std::wstring &path,
                          const std::wstring &currentDirectory)
{
    return L"/logPath: " + argument + L"\noption defines " + what + L": \"" + path + L"\"." +
           L"\n\nWorking directory:" + currentDirectory;
}

} // namespace

const wchar_t CServiceOptions::LogPathOption[] = L"logPath";

CServiceOptions::CServiceOptions(const std::wstring &serviceName)
    : m_serviceName(serviceName), m_createLog(false), m_logOptionsSet(false), m_pollIntervalMs(DefaultPollIntervalMs),
      m_pollIntervalSet(false)
{
}

int CServiceOptions::ParseCommandLineArgument(wchar_t **argv, int argc, int index, std::wstring &message,
                                              DWORD &result)
{
    result = 0;
    if (index < 0 || index >= argc || !argv[index] || !argv[index][0])
    {
        return 0;
    }
    const wchar_t *const option = argv[index] + 1;
    if (::_wcsicmp(option, L"poll") == 0)
    {
        return ParsePoll(argv, argc, index, message, result);
    }
    if (::_wcsicmp(option, L"createLog") == 0)
    {
        m_createLog = true;
        m_logOptionsSet = true;
        return 1;
    }
    if (::_wcsicmp(option, LogPathOption) == 0)
    {
        return ParseLogPath(argv, argc, index, message, result);
    }
    return 0;
}

int CServiceOptions::ParsePoll(wchar_t **argv, int argc, int index, std::wstring &message, DWORD &result)
{
    const std::wstring name = argv[index];
    if (index + 1 >= argc)
    {
        message = name + L" requires that the next command line argument is the polling interval (defaults to 1 "
                         L"second if " +
                  name + L" is not specified.";
        result = s_optionError;
        return 0;
    }
    // A negative interval or one whose milliseconds do not fit 32 bits would wrap into
    // some other interval; refusing it says so instead of polling at a surprising rate.
    DWORD seconds = 0;
    if (!ReadPollSeconds(argv[index + 1], seconds))
    {
        message = L"/poll: " + std::wstring(argv[index + 1]) +
                  L"\noption defines a polling interval that is out of range: it must be from 0 to " +
                  std::to_wstring(MaxPollIntervalSeconds) + L" seconds.";
        result = s_optionError;
        return 0;
    }
    m_pollIntervalMs = seconds * 1000;
    m_pollIntervalSet = true;
    return 2;
}

int CServiceOptions::ParseLogPath(wchar_t **argv, int argc, int index, std::wstring &message, DWORD &result)
{
    if (index + 1 >= argc)
    {
        message = std::wstring(argv[index]) + L" requires that the next command line argument is the config file path.";
        result = s_optionError;
        return 0;
    }
    const std::wstring argument = argv[index + 1];
    m_logPath = argument;
    if (argument == L".")
    {
        m_logPath = CorvaneTools::Win32::GetCurrentDirectory();
    }
    // Absolute paths and plain names are left to the service to find or create at start.
    else if (argument.size() >= 2 && argument[0] == L'.' && !CheckRelativeLogPath(argument, message, result))
    {
        return 0;
    }
    m_createLog = true;
    m_logOptionsSet = true;
    return 2;
}

// A path relative to the working directory is made absolute and must name a directory
// now: the service later starts with another working directory.
bool CServiceOptions::CheckRelativeLogPath(const std::wstring &argument, std::wstring &message, DWORD &result)
{
    const std::wstring currentDirectory = CorvaneTools::Win32::GetCurrentDirectory();
    std::wstring combined;
    if (!CorvaneTools::Win32::PathCombine(currentDirectory, argument, combined))
    {
        message = LogPathError(argument, L"an invalid path", m_logPath, currentDirectory);
        result = s_optionError;
        return false;
    }
    m_logPath = combined;
    try
    {
        CorvaneTools::Win32::CreateProtectedDirectories(m_logPath);
    }
    catch (const CException &)
    {
        // Kept even when the directory exists after all: arguments consumed win over it.
        message = LogPathError(argument, L"a path that is not valida as a directory", m_logPath, currentDirectory);
        result = s_optionError;
    }
    if (!IsDirectory(m_logPath))
    {
        message = LogPathError(argument, L"a path that is not a directory", m_logPath, currentDirectory);
        result = s_optionError;
        return false;
    }
    return true;
}

std::wstring CServiceOptions::GetServiceSpecificUsage(const std::wstring &usage) const
{
    return usage + L"  /createLog         \tCreate a log file.\n" +
           L"  /logPath path\tUse the supplied path to for the log file.\n" + L"  \t\tImplies /createLog\n" +
           L"  /poll interval\tPoll for TCP stats changes every\n" +
           L"  \t\tinterval seconds. Defaults to every second.\n" + L"\n" +
           L"Note that /createLog /logPath and /poll can be used with /install and /run\n" +
           L"but MUST come AFTER the /install or /run command.\n";
}

void CServiceOptions::SaveConfiguration(DWORD pollIntervalMs, bool createLog, const std::wstring &logPath)
{
    const CRegistryKey service(HKEY_LOCAL_MACHINE, ServiceKeyPath(m_serviceName).c_str(), KEY_CREATE_SUB_KEY);
    CRegistryKey config = service.CreateOrOpenKey(ConfigKeyName, nullptr, L"", REG_OPTION_NON_VOLATILE, KEY_WRITE);
    config.SetValue(s_pollValue, pollIntervalMs);
    config.SetValue(s_logValue, static_cast<DWORD>(createLog ? 1 : 0));
    if (logPath.empty())
    {
        config.DeleteValue(s_logPathValue);
    }
    else
    {
        config.SetValue(s_logPathValue, logPath.c_str());
    }
}

void CServiceOptions::SaveConfiguration()
{
    SaveConfiguration(m_pollIntervalMs, m_createLog, m_logPath);
}

// The readers refuse values of another type or size, which then count as missing.
DWORD CServiceOptions::ReadPollInterval()
{
    if (m_pollIntervalSet)
    {
        return m_pollIntervalMs;
    }
    DWORD poll = DefaultPollIntervalMs;
    try
    {
        const CRegistryKey config(HKEY_LOCAL_MACHINE, GetConfigKeyPath().c_str(), KEY_READ);
        if (!config.QueryValue(s_pollValue, poll))
        {
            poll = DefaultPollIntervalMs;
            NoteIgnoredValue(config.GetHandle(), s_pollValue, L"REG_DWORD", L"polling every 1000ms");
        }
    }
    catch (const CException &)
    {
        poll = DefaultPollIntervalMs;
    }
    return poll;
}

bool CServiceOptions::ReadCreateLog()
{
    if (m_logOptionsSet)
    {
        return m_createLog;
    }
    DWORD log = 0;
    try
    {
        const CRegistryKey config(HKEY_LOCAL_MACHINE, GetConfigKeyPath().c_str(), KEY_READ);
        if (!config.QueryValue(s_logValue, log))
        {
            log = 0;
            NoteIgnoredValue(config.GetHandle(), s_logValue, L"REG_DWORD", L"no log file");
        }
    }
    catch (const CException &)
    {
        log = 0;
    }
    m_createLog = log == 1;
    return m_createLog;
}

std::wstring CServiceOptions::ReadLogPath()
{
    if (m_logOptionsSet)
    {
        return m_logPath;
    }
    std::wstring path;
    if (!ReadCreateLog())
    {
        return path;
    }
    try
    {
        const CRegistryKey config(HKEY_LOCAL_MACHINE, GetConfigKeyPath().c_str(), KEY_READ);
        if (!config.QueryValue(s_logPathValue, path))
        {
            path.clear();
            NoteIgnoredValue(config.GetHandle(), s_logPathValue, L"REG_SZ", L"the log is in the program's directory");
        }
    }
    catch (const CException &)
    {
        path.clear();
    }
    return path;
}

std::vector<std::wstring> CServiceOptions::TakeIgnoredSettings()
{
    std::vector<std::wstring> ignored;
    ignored.swap(m_ignoredSettings);
    return ignored;
}

// Only a value that is there but of another type or size is worth a line; a missing one
// is the ordinary default.
void CServiceOptions::NoteIgnoredValue(HKEY config, const wchar_t *name, const wchar_t *expected,
                                       const std::wstring &instead)
{
    DWORD type = REG_NONE;
    DWORD bytes = 0;
    if (::RegQueryValueExW(config, name, nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS)
    {
        Note(L"Config value " + std::wstring(name) + L" ignored: not a " + expected + L" (type " +
             std::to_wstring(type) + L", " + std::to_wstring(bytes) + L" bytes); " + instead);
    }
}

// The log setting is read again by each of its users.
void CServiceOptions::Note(const std::wstring &line)
{
    if (std::find(m_ignoredSettings.begin(), m_ignoredSettings.end(), line) == m_ignoredSettings.end())
    {
        m_ignoredSettings.push_back(line);
    }
}

std::wstring CServiceOptions::GetConfigKeyPath() const
{
    return ConfigKeyPath(m_serviceName);
}

bool CServiceOptions::GetCreateLog() const
{
    return m_createLog;
}

const std::wstring &CServiceOptions::GetLogPath() const
{
    return m_logPath;
}

bool CServiceOptions::GetLogOptionsSet() const
{
    return m_logOptionsSet;
}

DWORD CServiceOptions::GetPollIntervalMs() const
{
    return m_pollIntervalMs;
}

bool CServiceOptions::GetPollIntervalSet() const
{
    return m_pollIntervalSet;
}

} // namespace TessalyService
} // namespace CorvaneTools
