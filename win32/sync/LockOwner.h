#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace Win32 {

// Holds a lock for a scope, released also when an exception unwinds it. Works with any
// lock that has Enter and Leave (ILockableObject, ICriticalSection).
template <class Lock>
class TLockOwner
{
public:
    explicit TLockOwner(Lock &lock) : m_lock(lock)
    {
        m_lock.Enter();
    }

    ~TLockOwner()
    {
        try
        {
            m_lock.Leave();
        }
        catch (...)
        {
        }
    }

    TLockOwner(const TLockOwner &) = delete;
    TLockOwner &operator=(const TLockOwner &) = delete;

private:
    Lock &m_lock;
};

// As TLockOwner, for locks that can be waited for within a time limit (TryEnterFor): the
// guard holds the lock only if it was had in time, which IsHeld tells.
template <class Lock>
class TTimedLockOwner
{
public:
    TTimedLockOwner(Lock &lock, DWORD timeoutMs) : m_lock(lock), m_held(lock.TryEnterFor(timeoutMs))
    {
    }

    ~TTimedLockOwner()
    {
        try
        {
            if (m_held)
            {
                m_lock.Leave();
            }
        }
        catch (...)
        {
        }
    }

    TTimedLockOwner(const TTimedLockOwner &) = delete;
    TTimedLockOwner &operator=(const TTimedLockOwner &) = delete;

    bool IsHeld() const
    {
        return m_held;
    }

private:
    Lock &m_lock;
    const bool m_held;
};

// As TLockOwner, for code that gives the lock up before the scope ends: the destructor
// releases it only if it is still held. Enter and Leave count once each however often they
// are called, so the lock is never left more often than this guard took it.
template <class Lock>
class TConditionalLockOwner
{
public:
    explicit TConditionalLockOwner(Lock &lock, bool enterNow = true) : m_lock(lock), m_held(false)
    {
        if (enterNow)
        {
            Enter();
        }
    }

    ~TConditionalLockOwner()
    {
        try
        {
            Leave();
        }
        catch (...)
        {
        }
    }

    TConditionalLockOwner(const TConditionalLockOwner &) = delete;
    TConditionalLockOwner &operator=(const TConditionalLockOwner &) = delete;

    void Enter()
    {
        if (!m_held)
        {
            m_lock.Enter();
            m_held = true;
        }
    }

    void Leave()
    {
        if (m_held)
        {
            m_held = false;
            m_lock.Leave();
        }
    }

    bool IsHeld() const
    {
        return m_held;
    }

private:
    Lock &m_lock;
    bool m_held;
};

} // namespace Win32
} // namespace CorvaneTools
