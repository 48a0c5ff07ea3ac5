#pragma once

#include "win32/LockableObject.h"
#include "win32/LogMessages.h"
#include "win32/ThreadLocalStorage.h"

#include <cstdio>
#include <list>
#include <string>

namespace CorvaneTools {
namespace Win32 {

// The process-wide log: console, debugger output and a log file, one whole line at a time
// under one lock. File failures are silent; the other outputs carry on.
class CSimpleMessageLog : public ILogMessages
{
public:
    enum FormatFlags : DWORD
    {
        PrefixThreadIdentifier = 0x1,
        PrefixTime = 0x10,
    };

    CSimpleMessageLog();
    ~CSimpleMessageLog();

    CSimpleMessageLog(const CSimpleMessageLog &) = delete;
    CSimpleMessageLog &operator=(const CSimpleMessageLog &) = delete;

    void SetThreadIdentifier(const std::wstring &identifier) override;
    void SetThreadIdentifier(const std::string &identifier) override;
    void SetLogName(const std::wstring &name) override;
    void SetLogName(const std::string &name) override;
    void LogMessage(const wchar_t *message, DWORD length) override;
    void LogMessage(const char *message, DWORD length) override;
    void LogMessage(const wchar_t *message) override;
    void LogMessage(const char *message) override;
    void LogMessage(const std::wstring &message) override;
    void LogMessage(const std::string &message) override;

    // The process-wide instance.
    static CSimpleMessageLog &Instance();

    static const char *const NewLogLine;

private:
    // The calling thread's identifier text, set to its id on first use; called under the lock.
    const std::string &ThreadIdentifier();
    void SetIdentifierLocked(const std::string &identifier);

    CLockableObject m_lock;
    CThreadLocalStorage m_threadIdentifier;
    std::FILE *m_file;
    std::string m_logName;
    bool m_console;
    bool m_debugger;
    bool m_fileOutput;
    bool m_memoryList;
    DWORD m_formatFlags;
    std::list<std::string> m_identifiers;
    std::list<std::string> m_messages;
};

} // namespace Win32
} // namespace CorvaneTools
