#pragma once

#include "win32/sync/Optex.h"

#include <windows.h>

#include <string>

namespace TestSupport {

// Reads an optex's shared state the way another process sees it: through the mapping's name.
class COptexStateView
{
public:
    explicit COptexStateView(const std::wstring &lockName)
        : m_mapping(::OpenFileMappingW(FILE_MAP_READ, FALSE,
                                       CorvaneTools::Win32::COptex::StateMappingName(lockName).c_str())),
          m_view(m_mapping ? ::MapViewOfFile(m_mapping, FILE_MAP_READ, 0, 0, 16) : nullptr)
    {
    }

    ~COptexStateView()
    {
        if (m_view)
        {
            ::UnmapViewOfFile(m_view);
        }
        if (m_mapping)
        {
            ::CloseHandle(m_mapping);
        }
    }

    COptexStateView(const COptexStateView &) = delete;
    COptexStateView &operator=(const COptexStateView &) = delete;

    bool IsOpen() const
    {
        return m_view != nullptr;
    }
    LONG SpinCount() const
    {
        return Field(0);
    }
    LONG LockCount() const
    {
        return Field(1);
    }
    DWORD Owner() const
    {
        return static_cast<DWORD>(Field(2));
    }
    LONG Recursion() const
    {
        return Field(3);
    }

private:
    LONG Field(int index) const
    {
        return static_cast<const volatile LONG *>(m_view)[index];
    }

    HANDLE m_mapping;
    void *m_view;
};

// Another process's hand on a lock's shared state, able to write anything into it (as any
// account may); makes the mapping when the lock does not exist yet, as its maker would.
class CPlantedOptexState
{
public:
    explicit CPlantedOptexState(const std::wstring &lockName)
        : m_security(CorvaneTools::Win32::ObjectProtection::SharedLock),
          m_mapping(::CreateFileMappingW(INVALID_HANDLE_VALUE, m_security, PAGE_READWRITE, 0, 16,
                                         CorvaneTools::Win32::COptex::StateMappingName(lockName).c_str())),
          m_state(m_mapping ? static_cast<CorvaneTools::Win32::COptex::SharedState *>(
                                  ::MapViewOfFile(m_mapping, FILE_MAP_WRITE, 0, 0, 16))
                            : nullptr)
    {
    }

    ~CPlantedOptexState()
    {
        if (m_state)
        {
            ::UnmapViewOfFile(m_state);
        }
        if (m_mapping)
        {
            ::CloseHandle(m_mapping);
        }
    }

    CPlantedOptexState(const CPlantedOptexState &) = delete;
    CPlantedOptexState &operator=(const CPlantedOptexState &) = delete;

    CorvaneTools::Win32::COptex::SharedState *Get() const
    {
        return m_state;
    }

    void Plant(LONG lockCount, DWORD owner, LONG recursion) const
    {
        m_state->lockCount = lockCount;
        m_state->ownerThreadId = owner;
        m_state->recursionCount = recursion;
    }

private:
    // As a lock's maker would: the writer refuses state any account could have written.
    CorvaneTools::Win32::CObjectSecurity m_security;
    HANDLE m_mapping;
    CorvaneTools::Win32::COptex::SharedState *m_state;
};

// Whether the lock's event is signalled; consumes the signal if it is.
inline bool OptexEventIsSet(const std::wstring &lockName)
{
    const HANDLE event = ::OpenEventW(SYNCHRONIZE, FALSE, lockName.c_str());
    if (!event)
    {
        return false;
    }
    const bool set = ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    ::CloseHandle(event);
    return set;
}

} // namespace TestSupport
