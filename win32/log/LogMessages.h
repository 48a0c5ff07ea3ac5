#pragma once

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Win32 {

// Where every diagnostic line of the system goes. Never deleted through this interface.
class ILogMessages
{
public:
    virtual void SetThreadIdentifier(const std::wstring &identifier) = 0;
    virtual void SetThreadIdentifier(const std::string &identifier) = 0;
    virtual void SetLogName(const std::wstring &name) = 0;
    virtual void SetLogName(const std::string &name) = 0;
    virtual void LogMessage(const wchar_t *message, DWORD length) = 0;
    virtual void LogMessage(const char *message, DWORD length) = 0;
    virtual void LogMessage(const wchar_t *message) = 0;
    virtual void LogMessage(const char *message) = 0;
    virtual void LogMessage(const std::wstring &message) = 0;
    virtual void LogMessage(const std::string &message) = 0;

protected:
    ~ILogMessages() = default;
};

// Discards everything.
class CNullMessageLog : public ILogMessages
{
public:
    void SetThreadIdentifier(const std::wstring &) override;
    void SetThreadIdentifier(const std::string &) override;
    void SetLogName(const std::wstring &) override;
    void SetLogName(const std::string &) override;
    void LogMessage(const wchar_t *, DWORD) override;
    void LogMessage(const char *, DWORD) override;
    void LogMessage(const wchar_t *) override;
    void LogMessage(const char *) override;
    void LogMessage(const std::wstring &) override;
    void LogMessage(const std::string &) override;

    static CNullMessageLog &Instance();
};

// Forwards every call to another log.
class CMessageLog : public ILogMessages
{
public:
    explicit CMessageLog(ILogMessages &target);

    // Swaps where messages go, returning the previous target. Only while one thread runs:
    // the forwarding takes no lock.
    ILogMessages &SetTarget(ILogMessages &target);
    // True while the target is a log that discards everything, so that callers on hot
    // paths need not build the text.
    bool IsDiscarding() const;

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

private:
    ILogMessages *m_target;
    bool m_discarding;
};

} // namespace Win32
} // namespace CorvaneTools
