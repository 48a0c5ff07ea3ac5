#pragma once

#include "win32/handles/SmartHandle.h"
#include "win32/log/LogMessages.h"
#include "win32/sync/LockableObject.h"
#include "win32/threads/ThreadLocalStorage.h"

#include <list>
#include <string>

namespace CorvaneTools {
namespace Win32 {

// The process-wide log: console, debugger output and a log file, one whole line at a time
// under one lock. File failures are silent; the other outputs carry on. A file that passes
// its maximum size is renamed to its name + ".1" (replacing an older one) and a new file
// begun, whose first line says so.
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

    static constexpr DWORD DefaultMaximumSize = 10485760;
    // Small enough for a test to roll a log over quickly.
    static constexpr DWORD SmallestMaximumSize = 4096;
    // Bytes; smaller values are raised to SmallestMaximumSize. Applies from the next line.
    void SetMaximumSize(DWORD bytes);
    DWORD GetMaximumSize() const;
    // The first line of the file begun by a roll-over.
    static std::string RolledOverLine(unsigned long long bytes, const std::wstring &previousPart);

private:
    // The calling thread's identifier text, set to its id on first use; called under the lock.
    const std::string &ThreadIdentifier();
    void SetIdentifierLocked(const std::string &identifier);
    // Under the lock, as all below.
    void WriteToFile(const std::string &line);
    bool OpenFile();
    void Write(const std::string &bytes);
    void RollOver();

    CLockableObject m_lock;
    CThreadLocalStorage m_threadIdentifier;
    CSmartHandle m_file;
    std::wstring m_logName;
    // The open file's size, kept as lines are written: no size query per line.
    unsigned long long m_bytes;
    unsigned long long m_rollOverAt;
    DWORD m_maximumSize;
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
