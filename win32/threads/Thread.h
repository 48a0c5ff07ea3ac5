#pragma once

#include "win32/handles/SmartHandle.h"
#include "win32/sync/LockableObject.h"
#include "win32/threads/IRunnable.h"

#include <string>

namespace CorvaneTools {
namespace Win32 {

// A thread that runs an IRunnable, which must outlive it. Waiting on a CThread waits for
// its thread to end. Started once at a time; once the thread has ended it may be started
// again. The destructor does not wait for the thread: owners Wait() first.
class CThread : public IWaitable
{
public:
    // The exit code of a thread whose runnable let an exception escape.
    static const unsigned int EscapedExceptionExitCode = 666;

    explicit CThread(IRunnable &runnable);
    virtual ~CThread();

    CThread(const CThread &) = delete;
    CThread &operator=(const CThread &) = delete;

    HANDLE GetWaitHandle() const override;
    bool IsSignalled() const override;
    bool Wait(DWORD timeoutMs) const override;
    void Wait() const override;

    void Start();

    // Ends the thread forcibly and closes its handle.
    void Terminate(DWORD exitCode);

    // Names the running thread for debuggers.
    void SetThreadName(const std::wstring &name);

    bool IsRunning() const;

    // The id of the thread started last; 0 before the first Start.
    unsigned int GetThreadId() const;

private:
    static unsigned int __stdcall ThreadFunction(void *runnable);

    CLockableObject m_lock;
    CSmartHandle m_thread;
    unsigned int m_threadId;
    IRunnable &m_runnable;
};

} // namespace Win32
} // namespace CorvaneTools
