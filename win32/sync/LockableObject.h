#pragma once

#include "win32/sync/CriticalSection.h"
#include "win32/sync/ILockableObject.h"
#include "win32/sync/LockOwner.h"

namespace CorvaneTools {
namespace Win32 {

// The in-process ILockableObject, re-entrant for the holding thread.
class CLockableObject : public ILockableObject
{
public:
    typedef TLockOwner<ILockableObject> Owner;
    typedef TConditionalLockOwner<ILockableObject> ConditionalOwner;

    CLockableObject();
    ~CLockableObject() override;

    CLockableObject(const CLockableObject &) = delete;
    CLockableObject &operator=(const CLockableObject &) = delete;

    bool TryEnter() override;
    void Enter() override;
    void Leave() override;

private:
    CCriticalSection m_criticalSection;
};

} // namespace Win32
} // namespace CorvaneTools
