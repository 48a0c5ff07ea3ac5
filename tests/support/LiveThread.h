#pragma once

#include <windows.h>

#include <atomic>
#include <thread>

namespace TestSupport {

// A thread that runs and holds nothing, so that its id names a live thread; joined however
// the test ends, so that a failed assertion never leaves it joinable.
class CLiveThread
{
public:
    CLiveThread() : m_stop(false), m_id(0), m_thread([this] { Run(); })
    {
        while (m_id == 0)
        {
            ::Sleep(1);
        }
    }

    ~CLiveThread()
    {
        m_stop = true;
        m_thread.join();
    }

    CLiveThread(const CLiveThread &) = delete;
    CLiveThread &operator=(const CLiveThread &) = delete;

    DWORD Id() const
    {
        return m_id;
    }

private:
    void Run()
    {
        m_id = ::GetCurrentThreadId();
        while (!m_stop)
        {
            ::Sleep(1);
        }
    }

    std::atomic<bool> m_stop;
    std::atomic<DWORD> m_id;
    std::thread m_thread;
};

} // namespace TestSupport
