#pragma once

#include "win32/log/LogMessages.h"

namespace CorvaneTools {
namespace Win32 {

// The process-wide trace every part of the system logs through. Callers test IsAvailable
// first: once the process has begun to exit, messages are dropped rather than sent to a log
// that may already be gone.
class CDebugTrace : public CMessageLog
{
public:
    static CDebugTrace &Instance();
    static bool IsAvailable();
    // Logs the message while the trace is available, and drops it after.
    static void Log(const std::wstring &message);
    // Available and not pointed at a log that discards: worth building a message for.
    static bool IsWriting();

private:
    CDebugTrace();
    static void MarkGone();
};

} // namespace Win32
} // namespace CorvaneTools
