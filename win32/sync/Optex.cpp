#include "win32/sync/Optex.h"

#include "win32/errors/Win32Exception.h"
#include "win32/sync/ThreadLiveness.h"
#include "win32/text/ToString.h"

#include <atomic>

// How waiting works, and how a lock whose owner has ended is recovered.
//
// The lock count is the owner's entries plus the waiters that announced themselves by
// incrementing it. A leaving owner whose decrement leaves the count above 0 sets the
// auto-reset event; the one waiter it releases becomes the owner, its announcement now
// counting as its entry.
//
// A waiter waits for the event in slices of OwnerCheckIntervalMs. Between slices:
// - It looks at the owner. The owner writes who it is (thread, process and the process's
//   creation time) into the owner record before it writes its thread id into the state, so
//   a record whose thread id equals the state's owner, read twice around the rest, is that
//   owner's. When that thread is gone (or, with no such record, when no thread of that id
//   exists at all), the waiter exchanges the owner id for its own; the exchange succeeds
//   for exactly one waiter. The winner takes the ended owner's entries (its recursion
//   count, at least 1) off the lock count, keeps its own announcement as its entry, and
//   owns the lock. The others go on waiting for it as for any owner.
// - When its time is up it withdraws its announcement with a compare-exchange. If the count
//   is 1, the announcement is the only thing left in it: the owner has just left and handed
//   the lock to this waiter, whose signal is on its way. The waiter then consumes that
//   signal and owns the lock, so that no stray signal is left for a later waiter.
//
// Not recovered: a process that ends within the few instructions of a hand-over (between a
// leaving owner's decrement and its signal, or between a waiter's release and its writing
// of its id), and a waiter that ends while announced (the count then stays one too high;
// the lock still works, every entry taking the waiting path). Waiters give up after their
// time limit in these cases too; none waits for ever unless it asked to.

namespace CorvaneTools {
namespace Win32 {

namespace {

bool IsSingleProcessor()
{
    SYSTEM_INFO info = {};
    ::GetSystemInfo(&info);
    return info.dwNumberOfProcessors == 1;
}

// Spinning cannot help where the owner cannot run meanwhile.
const bool s_singleProcessor = IsSingleProcessor();

const DWORD s_processId = ::GetCurrentProcessId();
const ULONGLONG s_processCreation = GetCurrentProcessCreationTime();

static_assert(sizeof(COptex::SharedState) == 16, "the shared state is 16 bytes in every process");
static_assert(sizeof(COptex::OwnerRecord) == 16, "the owner record is 16 bytes in every process");

// Creates or opens a named section of the given size and maps all of it.
void *MapNamedSection(const std::wstring &name, SECURITY_ATTRIBUTES *securityAttributes, DWORD size,
                      KernelObjectCreationMode mode, CSmartHandle &mapping)
{
    const DWORD access = FILE_MAP_READ | FILE_MAP_WRITE;
    if (mode == OpenOnly)
    {
        mapping = ::OpenFileMappingW(access, FALSE, name.c_str());
        if (!mapping.IsValid())
        {
            throw CWin32Exception(L"COptex::COptex() - Unable to open file mapping", ::GetLastError());
        }
    }
    else
    {
        mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, securityAttributes, PAGE_READWRITE, 0, size, name.c_str());
        if (!mapping.IsValid())
        {
            throw CWin32Exception(L"COptex::COptex() - Unable to create file mapping", ::GetLastError());
        }
    }
    void *view = ::MapViewOfFile(mapping, access, 0, 0, size);
    if (!view)
    {
        throw CWin32Exception(L"COptex::COptex() - Unable to map view of file", ::GetLastError());
    }
    return view;
}

DWORD Elapsed(DWORD since)
{
    return ::GetTickCount() - since;
}

} // namespace

std::wstring COptex::StateMappingName(const std::wstring &lockName)
{
    return lockName + L"_Optext_MMF";
}

std::wstring COptex::OwnerMappingName(const std::wstring &lockName)
{
    return lockName + L"_Optex_Owner";
}

COptex::COptex(const IKernelObjectName &name, SECURITY_ATTRIBUTES *securityAttributes, DWORD spinCount,
               KernelObjectCreationMode mode)
    : m_name(name.GetName()),
      m_spinCount(s_singleProcessor ? 0 : spinCount),
      m_event(securityAttributes, CEvent::NonSignalled, &name, mode == OpenOnly ? OpenOnly : CreateOrOpen),
      m_takeOverAttempts(0),
      m_takeOvers(0)
{
    m_state.Reset(static_cast<SharedState *>(MapNamedSection(StateMappingName(name.GetName()), securityAttributes,
                                                             sizeof(SharedState), mode, m_mapping)));
    m_owner.Reset(static_cast<OwnerRecord *>(MapNamedSection(OwnerMappingName(name.GetName()), securityAttributes,
                                                             sizeof(OwnerRecord), mode, m_ownerMapping)));
}

COptex::~COptex() = default;

void COptex::BecomeOwner(DWORD thread)
{
    // Rewritten only when it names someone else, so that a thread that takes the lock again
    // and again writes nothing more than the state.
    if (m_owner.Get()->threadId != thread || m_owner.Get()->processId != s_processId)
    {
        m_owner.Get()->threadId = 0;
        std::atomic_thread_fence(std::memory_order_release);
        m_owner.Get()->processId = s_processId;
        m_owner.Get()->processCreationLow = static_cast<DWORD>(s_processCreation);
        m_owner.Get()->processCreationHigh = static_cast<DWORD>(s_processCreation >> 32);
        std::atomic_thread_fence(std::memory_order_release);
        m_owner.Get()->threadId = thread;
    }
    std::atomic_thread_fence(std::memory_order_release);
    m_state.Get()->ownerThreadId = thread;
    m_state.Get()->recursionCount = 1;
}

bool COptex::IsOwnedByThisThread(DWORD thread) const
{
    // An owner in another process that has ended may have had this thread's id.
    return m_state.Get()->ownerThreadId == thread && m_owner.Get()->processId == s_processId;
}

bool COptex::TryEnter()
{
    const DWORD thread = ::GetCurrentThreadId();
    DWORD spins = m_spinCount;
    for (;;)
    {
        if (::InterlockedCompareExchange(&m_state.Get()->lockCount, 1, 0) == 0)
        {
            BecomeOwner(thread);
            return true;
        }
        if (IsOwnedByThisThread(thread))
        {
            ::InterlockedIncrement(&m_state.Get()->lockCount);
            m_state.Get()->recursionCount = m_state.Get()->recursionCount + 1;
            return true;
        }
        if (spins == 0)
        {
            return false;
        }
        --spins;
    }
}

void COptex::Enter()
{
    TryEnterFor(INFINITE);
}

bool COptex::TryEnterFor(DWORD timeoutMs)
{
    if (TryEnter())
    {
        return true;
    }
    RequireStateInRange();
    const DWORD thread = ::GetCurrentThreadId();
    if (::InterlockedIncrement(&m_state.Get()->lockCount) == 1)
    {
        BecomeOwner(thread);
        return true;
    }
    const DWORD start = ::GetTickCount();
    try
    {
        for (;;)
        {
            DWORD wait = OwnerCheckIntervalMs;
            if (timeoutMs != INFINITE)
            {
                const DWORD elapsed = Elapsed(start);
                if (elapsed >= timeoutMs)
                {
                    return WithdrawFromWaiting(thread);
                }
                wait = timeoutMs - elapsed < wait ? timeoutMs - elapsed : wait;
            }
            if (m_event.Wait(wait))
            {
                BecomeOwner(thread);
                return true;
            }
            if (TakeOverFromEndedOwner(thread))
            {
                return true;
            }
        }
    }
    catch (...)
    {
        if (WithdrawFromWaiting(thread))
        {
            Leave();
        }
        throw;
    }
}

void COptex::RequireStateInRange() const
{
    const LONG count = m_state.Get()->lockCount;
    const LONG recursion = m_state.Get()->recursionCount;
    if (count < 0 || recursion < 0)
    {
        throw CException(L"COptex::TryEnterFor()", L"The shared state of lock \"" + m_name +
                                                       L"\" is corrupt: lock count " + ToString(count) +
                                                       L", recursion count " + ToString(recursion));
    }
}

void COptex::RequireTrusted(ObjectProtection protection, const std::wstring &where) const
{
    RequireTrustedObject(m_event.GetWaitHandle(), SE_KERNEL_OBJECT, protection, where, m_name);
    RequireTrustedObject(m_mapping, SE_KERNEL_OBJECT, protection, where, StateMappingName(m_name));
    RequireTrustedObject(m_ownerMapping, SE_KERNEL_OBJECT, protection, where, OwnerMappingName(m_name));
}

bool COptex::TakeOverFromEndedOwner(DWORD thread)
{
    const DWORD owner = m_state.Get()->ownerThreadId;
    if (owner == 0)
    {
        return false; // being handed over
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    const DWORD recordedBefore = m_owner.Get()->threadId;
    const DWORD processId = m_owner.Get()->processId;
    const ULONGLONG creation =
        static_cast<ULONGLONG>(m_owner.Get()->processCreationHigh) << 32 | m_owner.Get()->processCreationLow;
    std::atomic_thread_fence(std::memory_order_acquire);
    const DWORD recordedAfter = m_owner.Get()->threadId;
    if (m_state.Get()->ownerThreadId != owner)
    {
        return false;
    }
    const bool recorded = recordedBefore == owner && recordedAfter == owner;
    if (!(recorded ? HasThreadEnded(owner, processId, creation) : HasThreadEnded(owner)))
    {
        return false;
    }
    ::InterlockedIncrement(&m_takeOverAttempts);
    if (static_cast<DWORD>(::InterlockedCompareExchange(reinterpret_cast<volatile LONG *>(&m_state.Get()->ownerThreadId),
                                                        static_cast<LONG>(thread), static_cast<LONG>(owner))) != owner)
    {
        return false;
    }
    ::InterlockedIncrement(&m_takeOvers);
    const LONG entries = m_state.Get()->recursionCount > 0 ? m_state.Get()->recursionCount : 1;
    for (;;)
    {
        const LONG count = m_state.Get()->lockCount;
        // At least this waiter's own announcement stays, whatever the ended owner left.
        const LONG remaining = count - entries >= 1 ? count - entries : 1;
        if (::InterlockedCompareExchange(&m_state.Get()->lockCount, remaining, count) == count)
        {
            break;
        }
    }
    BecomeOwner(thread);
    return true;
}

bool COptex::WithdrawFromWaiting(DWORD thread)
{
    for (;;)
    {
        const LONG count = m_state.Get()->lockCount;
        if (count == 1)
        {
            // Handed over just now; the signal follows the leaving owner's decrement at once.
            m_event.Wait(OwnerCheckIntervalMs);
            BecomeOwner(thread);
            return true;
        }
        if (::InterlockedCompareExchange(&m_state.Get()->lockCount, count - 1, count) == count)
        {
            return false;
        }
    }
}

void COptex::Leave()
{
    m_state.Get()->recursionCount = m_state.Get()->recursionCount - 1;
    if (m_state.Get()->recursionCount > 0)
    {
        ::InterlockedDecrement(&m_state.Get()->lockCount);
        return;
    }
    m_state.Get()->ownerThreadId = 0;
    if (::InterlockedDecrement(&m_state.Get()->lockCount) > 0)
    {
        m_event.Set();
    }
}

bool COptex::IsLockedByThisThread() const
{
    return IsOwnedByThisThread(::GetCurrentThreadId());
}

LONG COptex::GetTakeOverAttempts() const
{
    return m_takeOverAttempts;
}

LONG COptex::GetTakeOvers() const
{
    return m_takeOvers;
}

} // namespace Win32
} // namespace CorvaneTools
