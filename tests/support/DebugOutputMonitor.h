#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace TestSupport {

// Receives what other processes send to the debugger output while no debugger is attached
// to them, as a system-wide debug monitor does: through the shared buffer and the two
// events the platform's OutputDebugString uses when it finds them. Only one monitor can
// listen at a time, so the object holds a machine-wide lock for its lifetime.
class CDebugOutputMonitor
{
public:
    CDebugOutputMonitor();
    ~CDebugOutputMonitor();

    CDebugOutputMonitor(const CDebugOutputMonitor &) = delete;
    CDebugOutputMonitor &operator=(const CDebugOutputMonitor &) = delete;

    // Every string one process sent until now, in order.
    std::vector<std::string> From(DWORD processId);

private:
    static DWORD WINAPI Listen(void *self);

    HANDLE m_lock;
    HANDLE m_mutex;
    HANDLE m_mapping;
    HANDLE m_bufferReady;
    HANDLE m_dataReady;
    HANDLE m_stop;
    HANDLE m_thread;
    const BYTE *m_buffer;
    CRITICAL_SECTION m_section;
    std::vector<std::pair<DWORD, std::string>> m_received;
};

} // namespace TestSupport
