#include "win32/log/LogMessages.h"

namespace CorvaneTools {
namespace Win32 {

void CNullMessageLog::SetThreadIdentifier(const std::wstring &)
{
}
void CNullMessageLog::SetThreadIdentifier(const std::string &)
{
}
void CNullMessageLog::SetLogName(const std::wstring &)
{
}
void CNullMessageLog::SetLogName(const std::string &)
{
}
void CNullMessageLog::LogMessage(const wchar_t *, DWORD)
{
}
void CNullMessageLog::LogMessage(const char *, DWORD)
{
}
void CNullMessageLog::LogMessage(const wchar_t *)
{
}
void CNullMessageLog::LogMessage(const char *)
{
}
void CNullMessageLog::LogMessage(const std::wstring &)
{
}
void CNullMessageLog::LogMessage(const std::string &)
{
}

CNullMessageLog &CNullMessageLog::Instance()
{
    static CNullMessageLog instance;
    return instance;
}

CMessageLog::CMessageLog(ILogMessages &target)
    : m_target(&target), m_discarding(dynamic_cast<CNullMessageLog *>(&target) != nullptr)
{
}

ILogMessages &CMessageLog::SetTarget(ILogMessages &target)
{
    ILogMessages &previous = *m_target;
    m_target = &target;
    m_discarding = dynamic_cast<CNullMessageLog *>(&target) != nullptr;
    return previous;
}

bool CMessageLog::IsDiscarding() const
{
    return m_discarding;
}

void CMessageLog::SetThreadIdentifier(const std::wstring &identifier)
{
    m_target->SetThreadIdentifier(identifier);
}

void CMessageLog::SetThreadIdentifier(const std::string &identifier)
{
    m_target->SetThreadIdentifier(identifier);
}

void CMessageLog::SetLogName(const std::wstring &name)
{
    m_target->SetLogName(name);
}

void CMessageLog::SetLogName(const std::string &name)
{
    m_target->SetLogName(name);
}

void CMessageLog::LogMessage(const wchar_t *message, DWORD length)
{
    m_target->LogMessage(message, length);
}

void CMessageLog::LogMessage(const char *message, DWORD length)
{
    m_target->LogMessage(message, length);
}

void CMessageLog::LogMessage(const wchar_t *message)
{
    m_target->LogMessage(message);
}

void CMessageLog::LogMessage(const char *message)
{
    m_target->LogMessage(message);
}

void CMessageLog::LogMessage(const std::wstring &message)
{
    m_target->LogMessage(message);
}

void CMessageLog::LogMessage(const std::string &message)
{
    m_target->LogMessage(message);
}

} // namespace Win32
} // namespace CorvaneTools
