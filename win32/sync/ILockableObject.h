#pragma once

namespace CorvaneTools {
namespace Win32 {

// A lock: in-process (critical sections) or across processes (the optex).
class ILockableObject
{
public:
    virtual bool TryEnter() = 0;
    virtual void Enter() = 0;
    virtual void Leave() = 0;
    virtual ~ILockableObject() = default;
};

class ILockableObjectTracksLockingThread : public virtual ILockableObject
{
public:
    virtual bool IsLockedByThisThread() const = 0;
};

// The holding thread may enter again.
class IReentrantLockableObject : public virtual ILockableObject
{
};

class IReentrantLockableObjectTracksLockingThread : public ILockableObjectTracksLockingThread,
                                                    public IReentrantLockableObject
{
};

} // namespace Win32
} // namespace CorvaneTools
