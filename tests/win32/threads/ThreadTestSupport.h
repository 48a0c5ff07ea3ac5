#pragma once

#include "win32/threads/IRunnable.h"
#include "win32/threads/Thread.h"

#include <windows.h>

#include <memory>
#include <utility>

// GoogleTest here is built without thread support, so other threads never assert: they
// hand results back and the test thread checks them.
namespace ThreadTestSupport {

template <class Function>
class TFunctionRunnable final : public CorvaneTools::Win32::IRunnable
{
public:
    explicit TFunctionRunnable(Function function) : m_function(std::move(function))
    {
    }

    unsigned int Run() override
    {
        return m_function();
    }

private:
    Function m_function;
};

const DWORD TestTimeoutMs = 10000;

// A thread running a callable; the destructor waits for it (bounded) so nothing outlives
// the test that started it.
template <class Function>
class TTestThread
{
public:
    explicit TTestThread(Function function) : m_runnable(std::move(function)), m_thread(m_runnable)
    {
    }

    ~TTestThread()
    {
        if (m_thread.IsRunning())
        {
            m_thread.Wait(TestTimeoutMs);
        }
    }

    CorvaneTools::Win32::CThread &Thread()
    {
        return m_thread;
    }

    // Waits for the end; STILL_ACTIVE if it did not end in time.
    DWORD ExitCode()
    {
        if (!m_thread.Wait(TestTimeoutMs))
        {
            return STILL_ACTIVE;
        }
        DWORD code = 0;
        ::GetExitCodeThread(m_thread.GetWaitHandle(), &code);
        return code;
    }

private:
    TFunctionRunnable<Function> m_runnable;
    CorvaneTools::Win32::CThread m_thread;
};

template <class Function>
std::unique_ptr<TTestThread<Function>> StartThread(Function function)
{
    std::unique_ptr<TTestThread<Function>> thread(new TTestThread<Function>(std::move(function)));
    thread->Thread().Start();
    return thread;
}

// Runs the callable on a thread of its own and returns what it returned.
template <class Function>
DWORD RunOnOtherThread(Function function)
{
    return StartThread(std::move(function))->ExitCode();
}

// For states another thread reaches without signalling (blocked in a wait): polls the
// observable state, bounded.
template <class Condition>
bool Eventually(Condition condition)
{
    const ULONGLONG deadline = ::GetTickCount64() + TestTimeoutMs;
    while (!condition())
    {
        if (::GetTickCount64() > deadline)
        {
            return false;
        }
        ::Sleep(1);
    }
    return true;
}

} // namespace ThreadTestSupport
