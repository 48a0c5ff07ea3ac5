#pragma once

#include "win32/handles/KernelObjectCreationMode.h"
#include "win32/handles/KernelObjectName.h"
#include "win32/handles/SmartHandle.h"

namespace CorvaneTools {
namespace Win32 {

class CEvent : public IWaitable
{
public:
    enum ResetType
    {
        ManualReset = 0,
        AutoReset = 1,
    };

    enum InitialState
    {
        Signalled = 0,
        NonSignalled = 1,
    };

    // Unnamed unless a name is given; security attributes may be null.
    CEvent(SECURITY_ATTRIBUTES *securityAttributes, ResetType resetType, InitialState initialState,
           const IKernelObjectName *name = nullptr, KernelObjectCreationMode mode = CreateOrOpen);

    CEvent(const CEvent &) = delete;
    CEvent &operator=(const CEvent &) = delete;

    void Set();
    void Reset();

    HANDLE GetWaitHandle() const override;
    bool IsSignalled() const override;
    bool Wait(DWORD timeoutMs) const override;
    void Wait() const override;

private:
    CSmartHandle m_event;
};

class CManualResetEvent : public IWaitable
{
public:
    explicit CManualResetEvent(CEvent::InitialState initialState = CEvent::NonSignalled);
    CManualResetEvent(SECURITY_ATTRIBUTES *securityAttributes, CEvent::InitialState initialState,
                      const IKernelObjectName *name = nullptr, KernelObjectCreationMode mode = CreateOrOpen);

    void Set();
    void Reset();

    HANDLE GetWaitHandle() const override;
    bool IsSignalled() const override;
    bool Wait(DWORD timeoutMs) const override;
    void Wait() const override;

private:
    CEvent m_event;
};

class CAutoResetEvent : public IWaitable
{
public:
    explicit CAutoResetEvent(CEvent::InitialState initialState = CEvent::NonSignalled);
    CAutoResetEvent(SECURITY_ATTRIBUTES *securityAttributes, CEvent::InitialState initialState,
                    const IKernelObjectName *name = nullptr, KernelObjectCreationMode mode = CreateOrOpen);

    void Set();
    void Reset();

    HANDLE GetWaitHandle() const override;
    bool IsSignalled() const override;
    bool Wait(DWORD timeoutMs) const override;
    void Wait() const override;

private:
    CEvent m_event;
};

} // namespace Win32
} // namespace CorvaneTools
