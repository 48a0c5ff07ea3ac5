#pragma once

#include "win32/Optex.h"

#include <windows.h>

#include <string>

namespace TestSupport {

// Reads an optex's shared state the way another process sees it: through the mapping's name.
class COptexStateView
{
public:
    explicit COptexStateView(const std::wstring &lockName)
        : m_mapping(::OpenFileMappingW(FILE_MAP_READ, FALSE,
                                       (lockName + CorvaneTools::Win32::COptex::MappingSuffix).c_str())),
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
