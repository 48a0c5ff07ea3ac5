#pragma once

#include "win32/crash/SEHTranslator.h"

#include <windows.h>

#include <csignal>
#include <exception>
#include <new>
#include <optional>

namespace CorvaneTools {
namespace Win32 {

// The process-wide crash hooks, for the life of the main function: the error mode, the
// pure-call handler, structured-exception translation on the constructing thread, the
// terminate, unexpected and SIGABRT handlers and the out-of-memory handler. The
// destructor restores, in reverse order, whatever was there before.
class CCrashHandlers
{
public:
    CCrashHandlers();
    ~CCrashHandlers();

    CCrashHandlers(const CCrashHandlers &) = delete;
    CCrashHandlers &operator=(const CCrashHandlers &) = delete;

    // The hooks themselves, reachable so that they can be exercised without a crash.
    static void PureCallHandler();
    [[noreturn]] static void TranslateStructuredException(unsigned int code, EXCEPTION_POINTERS *information);
    [[noreturn]] static void TerminateHandler();
    [[noreturn]] static void UnexpectedHandler();
    static void AbortSignalHandler(int signal);
    static void NewHandler();

    // Set once the process has begun to exit; the handlers then stay quiet.
    static bool IsExiting();

private:
    typedef void (*SignalHandler)(int);
    typedef void (*PureCallHandlerFunction)();

    UINT m_previousErrorMode;
    PureCallHandlerFunction m_previousPureCallHandler;
    std::optional<CSEHTranslator> m_translator;
    std::terminate_handler m_previousTerminateHandler;
    std::unexpected_handler m_previousUnexpectedHandler;
    SignalHandler m_previousAbortHandler;
    std::new_handler m_previousNewHandler;
};

} // namespace Win32
} // namespace CorvaneTools
