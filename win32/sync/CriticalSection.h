#pragma once

#include "win32/sync/LockOwner.h"

#include <windows.h>

namespace CorvaneTools {
namespace Win32 {

class ICriticalSection
{
public:
    typedef TLockOwner<ICriticalSection> Owner;
    typedef TConditionalLockOwner<ICriticalSection> ConditionalOwner;

    virtual bool TryEnter() = 0;
    virtual void Enter() = 0;
    virtual void Leave() = 0;
    virtual bool IsLockedByThisThread() const = 0;
    virtual ~ICriticalSection() = default;
};

// The platform's critical section: in-process and re-entrant for the holding thread.
class CCriticalSection : public ICriticalSection
{
public:
    CCriticalSection();
    ~CCriticalSection() override;

    CCriticalSection(const CCriticalSection &) = delete;
    CCriticalSection &operator=(const CCriticalSection &) = delete;

    bool TryEnter() override;
    void Enter() override;
    void Leave() override;
    bool IsLockedByThisThread() const override;

private:
    CRITICAL_SECTION m_criticalSection;
};

} // namespace Win32
} // namespace CorvaneTools
