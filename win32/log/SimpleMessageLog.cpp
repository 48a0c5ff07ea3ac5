#include "win32/log/SimpleMessageLog.h"

#include "win32/errors/Win32Exception.h"
#include "win32/files/FileUtils.h"
#include "win32/sync/LockOwner.h"
#include "win32/text/StringConverter.h"
#include "win32/text/ToString.h"

#include <algorithm>
#include <cstdio>

namespace CorvaneTools {
namespace Win32 {

const char *const CSimpleMessageLog::NewLogLine = "****************New Log*****************\r\n";

CSimpleMessageLog::CSimpleMessageLog()
    : m_logName(L"CorvaneTools.log"),
      m_bytes(0),
      m_rollOverAt(DefaultMaximumSize),
      m_maximumSize(DefaultMaximumSize),
      m_console(true),
      m_debugger(true),
      m_fileOutput(true),
      m_memoryList(false),
      m_formatFlags(PrefixThreadIdentifier)
{
}

CSimpleMessageLog::~CSimpleMessageLog()
{
    m_file.Close();
}

CSimpleMessageLog &CSimpleMessageLog::Instance()
{
    static CSimpleMessageLog instance;
    return instance;
}

void CSimpleMessageLog::SetThreadIdentifier(const std::wstring &identifier)
{
    SetThreadIdentifier(CStringConverter::WtoA(identifier));
}

void CSimpleMessageLog::SetThreadIdentifier(const std::string &identifier)
{
    TLockOwner<CLockableObject> lock(m_lock);
    SetIdentifierLocked(identifier + ": ");
}

void CSimpleMessageLog::SetIdentifierLocked(const std::string &identifier)
{
    m_identifiers.push_back(identifier);
    m_threadIdentifier.SetValue(&m_identifiers.back());
}

const std::string &CSimpleMessageLog::ThreadIdentifier()
{
    const std::string *identifier = static_cast<const std::string *>(m_threadIdentifier.GetValue());
    if (!identifier)
    {
        SetIdentifierLocked(ToStringA(::GetCurrentThreadId()) + ": ");
        identifier = &m_identifiers.back();
    }
    return *identifier;
}

// The name stays wide up to the file system: a narrow copy would best-fit the characters
// the ANSI code page lacks into others, and so name another file.
void CSimpleMessageLog::SetLogName(const std::wstring &name)
{
    TLockOwner<CLockableObject> lock(m_lock);
    if (!name.empty())
    {
        m_logName = name;
    }
    m_file.Close();
    m_rollOverAt = m_maximumSize;
}

void CSimpleMessageLog::SetLogName(const std::string &name)
{
    SetLogName(CStringConverter::AtoW(name));
}

void CSimpleMessageLog::SetMaximumSize(DWORD bytes)
{
    TLockOwner<CLockableObject> lock(m_lock);
    m_maximumSize = std::max(bytes, SmallestMaximumSize);
    m_rollOverAt = m_maximumSize;
}

DWORD CSimpleMessageLog::GetMaximumSize() const
{
    return m_maximumSize;
}

std::string CSimpleMessageLog::RolledOverLine(unsigned long long bytes, const std::wstring &previousPart)
{
    return "Log rolled over at " + std::to_string(bytes) + " bytes; the previous part is " +
           CStringConverter::WtoA(previousPart) + "\r\n";
}

void CSimpleMessageLog::LogMessage(const wchar_t *message, DWORD length)
{
    LogMessage(message ? CStringConverter::WtoA(message, static_cast<int>(length), CStringConverter::GetCodePageInfo())
                       : std::string());
}

void CSimpleMessageLog::LogMessage(const char *message, DWORD length)
{
    LogMessage(message ? std::string(message, length) : std::string());
}

void CSimpleMessageLog::LogMessage(const wchar_t *message)
{
    LogMessage(CStringConverter::WtoA(message));
}

void CSimpleMessageLog::LogMessage(const char *message)
{
    LogMessage(message ? std::string(message) : std::string());
}

void CSimpleMessageLog::LogMessage(const std::wstring &message)
{
    LogMessage(CStringConverter::WtoA(message));
}

void CSimpleMessageLog::LogMessage(const std::string &message)
{
    if (!m_console && !m_debugger && !m_fileOutput)
    {
        return;
    }
    TLockOwner<CLockableObject> lock(m_lock);
    const std::string &identifier = ThreadIdentifier();
    const std::string prefix = (m_formatFlags & PrefixThreadIdentifier) ? identifier : std::string();
    std::string time;
    if (m_formatFlags & PrefixTime)
    {
        SYSTEMTIME now;
        ::GetLocalTime(&now);
        char text[32];
        ::_snprintf_s(text, sizeof(text), _TRUNCATE, "%02d:%02d:%02d.%03d - ", now.wHour, now.wMinute, now.wSecond,
                      now.wMilliseconds);
        time = text;
    }
    if (m_console)
    {
        const std::string line = prefix + time + message + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
    if (m_debugger)
    {
        ::OutputDebugStringA((identifier + message + "\n").c_str());
    }
    if (m_fileOutput)
    {
        WriteToFile(prefix + time + message + "\r\n");
    }
    if (m_memoryList)
    {
        m_messages.push_back(prefix + time + message);
    }
}

void CSimpleMessageLog::WriteToFile(const std::string &line)
{
    // A file that could not be opened is tried again with the next message.
    if (!m_file.IsValid())
    {
        if (!OpenFile())
        {
            return;
        }
        Write(NewLogLine);
    }
    Write(line);
    // After the line, so that a roll-over never splits one.
    if (m_bytes >= m_rollOverAt)
    {
        RollOver();
    }
}

bool CSimpleMessageLog::OpenFile()
{
    // Shared for deletion too, so that another process of the program can roll it over.
    m_file = ::CreateFileW(m_logName.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!m_file.IsValid())
    {
        return false;
    }
    LARGE_INTEGER size = {};
    m_bytes = ::GetFileSizeEx(m_file, &size) ? static_cast<unsigned long long>(size.QuadPart) : 0;
    return true;
}

// Written straight to the file, not buffered: a line in a buffer is late for whoever
// follows the file and lost when the process is killed.
void CSimpleMessageLog::Write(const std::string &bytes)
{
    DWORD written = 0;
    ::WriteFile(m_file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    m_bytes += written;
}

void CSimpleMessageLog::RollOver()
{
    const unsigned long long bytes = m_bytes;
    m_file.Close();
    const std::wstring previous = m_logName + L".1";
    if (::MoveFileExW(m_logName.c_str(), previous.c_str(), MOVEFILE_REPLACE_EXISTING))
    {
        m_rollOverAt = m_maximumSize;
        if (OpenFile())
        {
            Write(RolledOverLine(bytes, GetFileNamePart(previous)));
        }
        return;
    }
    // A program holds the file without letting it be renamed: the file goes on, and the
    // next try waits for another maximum's worth of lines.
    const DWORD error = ::GetLastError();
    m_rollOverAt = bytes + m_maximumSize;
    if (OpenFile())
    {
        Write("Log not rolled over at " + std::to_string(bytes) + " bytes: renaming it to " +
              CStringConverter::WtoA(GetFileNamePart(previous)) + " failed (error " + std::to_string(error) + ")\r\n");
    }
}

} // namespace Win32
} // namespace CorvaneTools
