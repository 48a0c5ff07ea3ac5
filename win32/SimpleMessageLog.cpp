#include "win32/SimpleMessageLog.h"

#include "win32/LockOwner.h"
#include "win32/StringConverter.h"
#include "win32/ToString.h"

#include <share.h>

namespace CorvaneTools {
namespace Win32 {

const char *const CSimpleMessageLog::NewLogLine = "****************New Log*****************\r\n";

CSimpleMessageLog::CSimpleMessageLog()
    : m_file(nullptr),
      m_logName("CorvaneTools.log"),
      m_console(true),
      m_debugger(true),
      m_fileOutput(true),
      m_memoryList(false),
      m_formatFlags(PrefixThreadIdentifier)
{
}

CSimpleMessageLog::~CSimpleMessageLog()
{
    if (m_file)
    {
        std::fclose(m_file);
    }
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

void CSimpleMessageLog::SetLogName(const std::wstring &name)
{
    SetLogName(CStringConverter::WtoA(name));
}

void CSimpleMessageLog::SetLogName(const std::string &name)
{
    TLockOwner<CLockableObject> lock(m_lock);
    if (!name.empty())
    {
        m_logName = name;
    }
    if (m_file)
    {
        std::fclose(m_file);
        m_file = nullptr;
    }
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
        // A file that could not be opened is tried again with the next message.
        if (!m_file)
        {
            m_file = ::_fsopen(m_logName.c_str(), "ab", _SH_DENYNO);
            if (m_file)
            {
                std::fputs(NewLogLine, m_file);
            }
        }
        if (m_file)
        {
            const std::string line = prefix + time + message + "\r\n";
            std::fwrite(line.data(), 1, line.size(), m_file);
            // A line left in the buffer is late for whoever follows the file and lost when the
            // process is killed.
            std::fflush(m_file);
        }
    }
    if (m_memoryList)
    {
        m_messages.push_back(prefix + time + message);
    }
}

} // namespace Win32
} // namespace CorvaneTools
