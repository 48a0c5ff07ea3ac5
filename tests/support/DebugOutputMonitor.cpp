#include "tests/support/DebugOutputMonitor.h"

#include <cstring>
#include <stdexcept>

namespace TestSupport {

CDebugOutputMonitor::CDebugOutputMonitor()
    : m_lock(::CreateMutexW(nullptr, FALSE, L"Global\\TessalyTestDebugOutputMonitor")), m_mutex(nullptr),
      m_mapping(nullptr), m_bufferReady(nullptr), m_dataReady(nullptr), m_stop(nullptr), m_thread(nullptr),
      m_buffer(nullptr)
{
    ::InitializeCriticalSection(&m_section);
    ::WaitForSingleObject(m_lock, INFINITE);
    m_mutex = ::CreateMutexW(nullptr, FALSE, L"DBWinMutex");
    m_mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER");
    m_bufferReady = ::CreateEventW(nullptr, FALSE, TRUE, L"DBWIN_BUFFER_READY");
    m_dataReady = ::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
    m_stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_buffer = m_mapping ? static_cast<const BYTE *>(::MapViewOfFile(m_mapping, FILE_MAP_READ, 0, 0, 0)) : nullptr;
    if (!m_mutex || !m_buffer || !m_bufferReady || !m_dataReady || !m_stop)
    {
        throw std::runtime_error("cannot set up the debug output monitor");
    }
    m_thread = ::CreateThread(nullptr, 0, &Listen, this, 0, nullptr);
}

CDebugOutputMonitor::~CDebugOutputMonitor()
{
    ::SetEvent(m_stop);
    if (m_thread)
    {
        ::WaitForSingleObject(m_thread, INFINITE);
        ::CloseHandle(m_thread);
    }
    if (m_buffer)
    {
        ::UnmapViewOfFile(m_buffer);
    }
    for (HANDLE handle : {m_stop, m_dataReady, m_bufferReady, m_mapping, m_mutex})
    {
        if (handle)
        {
            ::CloseHandle(handle);
        }
    }
    ::ReleaseMutex(m_lock);
    ::CloseHandle(m_lock);
    ::DeleteCriticalSection(&m_section);
}

std::vector<std::string> CDebugOutputMonitor::From(DWORD processId)
{
    // What was sent just before is let in first.
    ::Sleep(100);
    std::vector<std::string> strings;
    ::EnterCriticalSection(&m_section);
    for (const auto &received : m_received)
    {
        if (received.first == processId)
        {
            strings.push_back(received.second);
        }
    }
    ::LeaveCriticalSection(&m_section);
    return strings;
}

DWORD WINAPI CDebugOutputMonitor::Listen(void *self)
{
    CDebugOutputMonitor &monitor = *static_cast<CDebugOutputMonitor *>(self);
    const HANDLE events[] = {monitor.m_dataReady, monitor.m_stop};
    while (::WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0)
    {
        DWORD processId;
        std::memcpy(&processId, monitor.m_buffer, sizeof(processId));
        const char *text = reinterpret_cast<const char *>(monitor.m_buffer + sizeof(processId));
        const std::string received(text, strnlen(text, 4096 - sizeof(processId)));
        ::EnterCriticalSection(&monitor.m_section);
        monitor.m_received.emplace_back(processId, received);
        ::LeaveCriticalSection(&monitor.m_section);
        ::SetEvent(monitor.m_bufferReady);
    }
    return 0;
}

} // namespace TestSupport
