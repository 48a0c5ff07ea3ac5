#include "win32/crash/CrashHandlers.h"

#include "win32/crash/CrashDumps.h"
#include "win32/crash/SEHException.h"
#include "win32/crash/StackWalker.h"
#include "win32/log/DebugTrace.h"

#include <cstdlib>

namespace CorvaneTools {
namespace Win32 {

namespace {

volatile bool s_exiting = false;
std::terminate_handler s_chainedTerminate = nullptr;

void MarkExiting()
{
    s_exiting = true;
}

void RegisterExitStep()
{
    static const bool registered = (std::atexit(&MarkExiting), true);
    (void)registered;
}

void LogWithCallStack(const wchar_t *what)
{
    if (!s_exiting)
    {
        CDebugTrace::Log(what + CStackWalker::GetCallStack(1));
    }
}

} // namespace

// set_unexpected left the language in C++17 but the runtime still calls the handler for
// code built to older rules, so it is still installed.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

CCrashHandlers::CCrashHandlers()
    : m_previousErrorMode(::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX)),
      // GCC's own pure calls end in std::terminate; this catches the runtime's.
      m_previousPureCallHandler(::_set_purecall_handler(&CCrashHandlers::PureCallHandler)),
      m_translator(std::in_place, &CCrashHandlers::TranslateStructuredException),
      m_previousTerminateHandler((RegisterExitStep(), std::set_terminate(&CCrashHandlers::TerminateHandler))),
      m_previousUnexpectedHandler(std::set_unexpected(&CCrashHandlers::UnexpectedHandler)),
      m_previousAbortHandler(std::signal(SIGABRT, &CCrashHandlers::AbortSignalHandler)),
      m_previousNewHandler(std::set_new_handler(&CCrashHandlers::NewHandler))
{
    s_chainedTerminate = m_previousTerminateHandler;
}

CCrashHandlers::~CCrashHandlers()
{
    std::set_new_handler(m_previousNewHandler);
    std::signal(SIGABRT, m_previousAbortHandler);
    std::set_unexpected(m_previousUnexpectedHandler);
    std::set_terminate(m_previousTerminateHandler);
    m_translator.reset();
    ::_set_purecall_handler(m_previousPureCallHandler);
    ::SetErrorMode(m_previousErrorMode);
}

#pragma GCC diagnostic pop

void CCrashHandlers::PureCallHandler()
{
    GenerateCrashDump(nullptr, true);
    if (::IsDebuggerPresent())
    {
        ::MessageBoxW(nullptr, L"Purecall!", L"Purecall!", MB_OK);
        ::DebugBreak();
    }
    else
    {
        CDebugTrace::Log(L"Purecall");
    }
}

void CCrashHandlers::TranslateStructuredException(unsigned int code, EXCEPTION_POINTERS *information)
{
    // Too little stack is left to write a dump.
    if (code != EXCEPTION_STACK_OVERFLOW)
    {
        GenerateCrashDump(information, true);
    }
    throw CSEHException(code, information);
}

void CCrashHandlers::TerminateHandler()
{
    LogWithCallStack(L"std::terminate!\r\n");
    if (s_chainedTerminate && s_chainedTerminate != &CCrashHandlers::TerminateHandler)
    {
        s_chainedTerminate();
    }
    std::abort();
}

void CCrashHandlers::UnexpectedHandler()
{
    LogWithCallStack(L"std::unexpected!\r\n");
    std::terminate();
}

void CCrashHandlers::AbortSignalHandler(int)
{
    LogWithCallStack(L"SIGABRT!\r\n");
}

void CCrashHandlers::NewHandler()
{
    if (!s_exiting)
    {
        CDebugTrace::Log(L"Memory allocation failure!\r\n");
    }
    throw std::bad_alloc();
}

bool CCrashHandlers::IsExiting()
{
    return s_exiting;
}

} // namespace Win32
} // namespace CorvaneTools

// Code from this compiler reaches a pure virtual call through __cxa_pure_virtual, not the
// runtime's _purecall, so the pure-call handler (and with it the dump) would never see
// one. Defined beside the handlers so that it is linked wherever they are: vtables refer
// to it only weakly, which pulls nothing out of a library.
extern "C" void __cxa_pure_virtual()
{
    // This runtime has no getter: the handler is read by swapping it out and back.
    const _purecall_handler handler = ::_set_purecall_handler(nullptr);
    ::_set_purecall_handler(handler);
    if (handler)
    {
        handler();
    }
    std::abort();
}
