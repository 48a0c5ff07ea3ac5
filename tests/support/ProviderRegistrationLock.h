#pragma once

#include <windows.h>

namespace TestSupport {

// Held by every test that registers counter DLLs with the performance library or queries
// it. The library loads every registered DLL on each query, so a reader in one test
// program would otherwise hold the DLL files another program's test is about to uninstall.
class CProviderRegistrationLock
{
public:
    CProviderRegistrationLock() : m_mutex(::CreateMutexW(nullptr, FALSE, L"Global\\TessalyTestProviderRegistration"))
    {
        if (m_mutex)
        {
            ::WaitForSingleObject(m_mutex, INFINITE);
        }
    }

    ~CProviderRegistrationLock()
    {
        if (m_mutex)
        {
            ::ReleaseMutex(m_mutex);
            ::CloseHandle(m_mutex);
        }
    }

    CProviderRegistrationLock(const CProviderRegistrationLock &) = delete;
    CProviderRegistrationLock &operator=(const CProviderRegistrationLock &) = delete;

private:
    HANDLE m_mutex;
};

} // namespace TestSupport
