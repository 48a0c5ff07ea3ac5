#pragma once

#include "win32/handles/KernelObjectCreationMode.h"
#include "win32/handles/KernelObjectName.h"
#include "win32/handles/SmartHandle.h"
#include "win32/handles/UniqueOwners.h"
#include "win32/security/ObjectSecurity.h"
#include "win32/sync/Event.h"
#include "win32/sync/ILockableObject.h"

namespace CorvaneTools {
namespace Win32 {

// A re-entrant lock shared by every process that names it. Its state is 16 bytes of named
// shared memory, so taking a free lock is one interlocked operation; the named event is
// used only when a thread has to wait. A waiter can give up after a time limit, and a lock
// whose owner thread has ended is taken over by one of its waiters (see Optex.cpp).
class COptex : public IReentrantLockableObjectTracksLockingThread
{
public:
    // The shared state, identical in 32-bit and 64-bit processes.
    struct SharedState
    {
        // Kept for the layout; each process spins as often as it was built to, since a
        // count anyone may write could make it spin for ever.
        volatile LONG spinCount;
        // Entries of the owner plus threads that announced they will wait; 0 when free.
        volatile LONG lockCount;
        volatile DWORD ownerThreadId;
        // Written by the owner only.
        volatile LONG recursionCount;
    };

    // Who the owner is, beyond its thread id, in a second named mapping: enough to tell an
    // owner that has ended from a live thread that was given the same id.
    struct OwnerRecord
    {
        // Equal to the state's owner while the record describes that owner; 0 while written.
        volatile DWORD threadId;
        volatile DWORD processId;
        volatile DWORD processCreationLow;
        volatile DWORD processCreationHigh;
    };

    // OpenOnly opens a lock another process made, asking only for the rights taking it
    // needs; the security attributes are then not used.
    COptex(const IKernelObjectName &name, SECURITY_ATTRIBUTES *securityAttributes, DWORD spinCount,
           KernelObjectCreationMode mode = CreateOrOpen);
    ~COptex();

    COptex(const COptex &) = delete;
    COptex &operator=(const COptex &) = delete;

    bool TryEnter() override;
    // Waits without limit (but takes over from an owner that has ended).
    void Enter() override;
    void Leave() override;
    bool IsLockedByThisThread() const override;

    // Enter that gives up after timeoutMs (INFINITE: never); true when the lock is held.
    // A shared state no lock can be in (a negative count) throws CException: it was
    // written by someone other than a user of the lock.
    bool TryEnterFor(DWORD timeoutMs);

    // Throws CUntrustedObjectException at where when one of the lock's objects could be
    // changed by an account that is not to change it (ObjectSecurity.h).
    void RequireTrusted(ObjectProtection protection, const std::wstring &where) const;

    // How often threads using this object found the owner ended and tried to take over, and
    // how often they succeeded.
    LONG GetTakeOverAttempts() const;
    LONG GetTakeOvers() const;

    // The names of the lock's two mappings, made from the lock's own name.
    static std::wstring StateMappingName(const std::wstring &lockName);
    static std::wstring OwnerMappingName(const std::wstring &lockName);
    // How long a waiter waits for the event before it looks at the owner again.
    static const DWORD OwnerCheckIntervalMs = 10;

private:
    void BecomeOwner(DWORD thread);
    bool IsOwnedByThisThread(DWORD thread) const;
    bool TakeOverFromEndedOwner(DWORD thread);
    bool WithdrawFromWaiting(DWORD thread);

    void RequireStateInRange() const;

    const std::wstring m_name;
    const DWORD m_spinCount;
    CAutoResetEvent m_event;
    CSmartHandle m_mapping;
    TUniqueMapView<SharedState> m_state;
    CSmartHandle m_ownerMapping;
    TUniqueMapView<OwnerRecord> m_owner;
    volatile LONG m_takeOverAttempts;
    volatile LONG m_takeOvers;
};

} // namespace Win32
} // namespace CorvaneTools
