#pragma once

#include "tests/support/loadperf/CounterTextLoaderNames.h"

#include <windows.h>

namespace TessalyTestSupport {

// The x64 and x86 programs of one prefix share the lists; one call at a time.
class CLoaderLock
{
public:
    CLoaderLock() : m_mutex(::CreateMutexW(nullptr, FALSE, TESSALY_COUNTER_TEXT_LOADER_MUTEX)), m_owned(false)
    {
        if (m_mutex)
        {
            const DWORD wait = ::WaitForSingleObject(m_mutex, INFINITE);
            // An abandoned mutex still belongs to us now; the lists are whole because
            // every change is a single value write.
            m_owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
        }
    }
    ~CLoaderLock()
    {
        if (m_owned)
        {
            ::ReleaseMutex(m_mutex);
        }
        if (m_mutex)
        {
            ::CloseHandle(m_mutex);
        }
    }
    CLoaderLock(const CLoaderLock &) = delete;
    CLoaderLock &operator=(const CLoaderLock &) = delete;

    DWORD Error() const
    {
        return m_owned ? ERROR_SUCCESS : (m_mutex ? ERROR_TIMEOUT : ::GetLastError());
    }

private:
    HANDLE m_mutex;
    bool m_owned;
};

} // namespace TessalyTestSupport
