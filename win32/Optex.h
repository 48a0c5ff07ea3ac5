#pragma once

#include "win32/Event.h"
#include "win32/ILockableObject.h"
#include "win32/KernelObjectName.h"
#include "win32/SmartHandle.h"

namespace CorvaneTools {
namespace Win32 {

// A re-entrant lock shared by every process that names it. Its state is 16 bytes of named
// shared memory, so taking a free lock is one interlocked operation; the named event is
// used only when a thread has to wait. Abandonment is not detected: a process that dies
// holding the lock leaves it held.
class COptex : public IReentrantLockableObjectTracksLockingThread
{
public:
    // The shared state, identical in 32-bit and 64-bit processes.
    struct SharedState
    {
        volatile LONG spinCount;
        // Entries of the owner plus threads that announced they will wait; 0 when free.
        volatile LONG lockCount;
        volatile DWORD ownerThreadId;
        // Written by the owner only.
        volatile LONG recursionCount;
    };

    COptex(const IKernelObjectName &name, SECURITY_ATTRIBUTES *securityAttributes, DWORD spinCount);
    ~COptex();

    COptex(const COptex &) = delete;
    COptex &operator=(const COptex &) = delete;

    bool TryEnter() override;
    void Enter() override;
    void Leave() override;
    bool IsLockedByThisThread() const override;

    // Suffix of the mapping's name after the lock's own name.
    static const wchar_t *const MappingSuffix;

private:
    CAutoResetEvent m_event;
    CSmartHandle m_mapping;
    SharedState *m_state;
};

} // namespace Win32
} // namespace CorvaneTools
