#include "win32/log/DebugTrace.h"

#include "win32/log/SimpleMessageLog.h"

#include <cstdlib>

namespace CorvaneTools {
namespace Win32 {

namespace {

volatile bool s_gone = false;

} // namespace

CDebugTrace::CDebugTrace() : CMessageLog(CSimpleMessageLog::Instance())
{
    // Registered after the log was made, so it runs before the log is destroyed.
    std::atexit(&CDebugTrace::MarkGone);
}

CDebugTrace &CDebugTrace::Instance()
{
    static CDebugTrace instance;
    return instance;
}

bool CDebugTrace::IsAvailable()
{
    return !s_gone;
}

bool CDebugTrace::IsWriting()
{
    return IsAvailable() && !Instance().IsDiscarding();
}

void CDebugTrace::Log(const std::wstring &message)
{
    if (IsAvailable())
    {
        Instance().LogMessage(message);
    }
}

void CDebugTrace::MarkGone()
{
    s_gone = true;
}

} // namespace Win32
} // namespace CorvaneTools
