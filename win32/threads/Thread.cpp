#include "win32/threads/Thread.h"

#include "win32/errors/Win32Exception.h"
#include "win32/handles/UniqueOwners.h"
#include "win32/text/StringConverter.h"

#include <process.h>

#include <cerrno>

namespace CorvaneTools {
namespace Win32 {

namespace {

// The exception a debugger takes as "name this thread". Without a debugger nobody handles
// it, and this compiler has no __try/__except to catch it where it is raised.
const DWORD NameThreadException = 0x406D1388;

// Set on the naming thread for the duration of one raise: the argument array it passes.
thread_local const ULONG_PTR *t_namingArguments = nullptr;

LONG CALLBACK SwallowThreadNameException(EXCEPTION_POINTERS *pointers)
{
    const EXCEPTION_RECORD *record = pointers->ExceptionRecord;
    if (record->ExceptionCode == NameThreadException && t_namingArguments != nullptr &&
        record->NumberParameters == 4 && record->ExceptionInformation[1] == t_namingArguments[1])
    {
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// Registered for one raise only. Last in the list, so that an earlier handler still sees
// the exception first as a debugger would.
class CThreadNameExceptionCatcher
{
public:
    explicit CThreadNameExceptionCatcher(const ULONG_PTR *arguments)
        : m_handler(::AddVectoredExceptionHandler(0, &SwallowThreadNameException))
    {
        t_namingArguments = arguments;
    }

    ~CThreadNameExceptionCatcher()
    {
        t_namingArguments = nullptr;
    }

    CThreadNameExceptionCatcher(const CThreadNameExceptionCatcher &) = delete;
    CThreadNameExceptionCatcher &operator=(const CThreadNameExceptionCatcher &) = delete;

    bool IsRegistered() const
    {
        return m_handler.IsValid();
    }

private:
    CUniqueVectoredHandler m_handler;
};

void RaiseThreadNameException(const std::string &name, DWORD threadId)
{
    const ULONG_PTR arguments[4] = {0x1000, reinterpret_cast<ULONG_PTR>(name.c_str()), threadId, 0};
    CThreadNameExceptionCatcher catcher(arguments);
    // Unhandled, the exception would end the process.
    if (catcher.IsRegistered())
    {
        ::RaiseException(NameThreadException, 0, 4, arguments);
    }
}

} // namespace

CThread::CThread(IRunnable &runnable) : m_threadId(0), m_runnable(runnable)
{
}

CThread::~CThread() = default;

HANDLE CThread::GetWaitHandle() const
{
    return m_thread.GetWaitHandle();
}

bool CThread::IsSignalled() const
{
    return m_thread.IsSignalled();
}

bool CThread::Wait(DWORD timeoutMs) const
{
    return m_thread.Wait(timeoutMs);
}

void CThread::Wait() const
{
    m_thread.Wait();
}

void CThread::Start()
{
    CLockableObject::Owner lock(m_lock);

    if (IsRunning())
    {
        throw CException(L"CThread::Start()", L"Thread already running - you can only call Start() once!");
    }

    // Through the runtime's starter, so that the runtime sets itself up for the new thread.
    unsigned int threadId = 0;
    const uintptr_t thread = ::_beginthreadex(nullptr, 0, &CThread::ThreadFunction, &m_runnable, 0, &threadId);
    if (thread == 0)
    {
        throw CWin32Exception(L"CThread::Start() - _beginthreadex", static_cast<DWORD>(errno));
    }
    m_threadId = threadId;
    m_thread = reinterpret_cast<HANDLE>(thread);
}

void CThread::Terminate(DWORD exitCode)
{
    CLockableObject::Owner lock(m_lock);

    if (!::TerminateThread(m_thread, exitCode))
    {
        throw CWin32Exception(L"CThread::Terminate() - TerminateThread", ::GetLastError());
    }
    m_thread.Close();
}

void CThread::SetThreadName(const std::wstring &name)
{
    CLockableObject::Owner lock(m_lock);

    if (!IsRunning())
    {
        throw CException(L"CThread::SetThreadName()", L"Thread has not been started!");
    }
    RaiseThreadNameException(CStringConverter::WtoA(name), m_threadId);
}

bool CThread::IsRunning() const
{
    return m_thread.GetHandle() != INVALID_HANDLE_VALUE && !m_thread.Wait(0);
}

unsigned int CThread::GetThreadId() const
{
    return m_threadId;
}

unsigned int __stdcall CThread::ThreadFunction(void *runnable)
{
    try
    {
        return static_cast<IRunnable *>(runnable)->Run();
    }
    catch (...)
    {
        return EscapedExceptionExitCode;
    }
}

} // namespace Win32
} // namespace CorvaneTools
