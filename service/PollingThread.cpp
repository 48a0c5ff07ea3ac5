#include "service/PollingThread.h"

#include "win32/crash/CrashHandlers.h"
#include "win32/errors/ErrorMessage.h"
#include "win32/errors/Exception.h"

namespace CorvaneTools {
namespace TessalyService {

using CorvaneTools::Service::IShutdownService;
using CorvaneTools::Win32::CException;
using CorvaneTools::Win32::CManualResetEvent;
using CorvaneTools::Win32::CThread;
using CorvaneTools::Win32::GetLastErrorMessage;

CPollingThread::CPollingThread(CTcpStatistics &statistics)
    : m_statistics(statistics), m_shutdownService(nullptr), m_pollIntervalMs(DefaultPollIntervalMs),
      m_thread(*this)
{
}

CPollingThread::~CPollingThread()
{
    try
    {
        StopWithin(StopTimeoutMs);
    }
    catch (...)
    {
    }
}

void CPollingThread::SetPollInterval(DWORD pollIntervalMs)
{
    m_pollIntervalMs = pollIntervalMs;
}

void CPollingThread::Start(IShutdownService &shutdownService)
{
    m_shutdownService = &shutdownService;
    m_thread.Start();
}

void CPollingThread::Pause()
{
    m_continueEvent.Reset();
    m_pauseEvent.Set();
}

void CPollingThread::Continue()
{
    m_pauseEvent.Reset();
    m_continueEvent.Set();
}

void CPollingThread::Stop()
{
    m_stopEvent.Set();
}

CPollingThread::StopResult CPollingThread::StopWithin(DWORD timeoutMs)
{
    m_stopEvent.Set();
    // A thread that has just seen the stop and ended still counts as stopped here; one
    // terminated before has no handle left.
    if (m_thread.GetThreadId() == 0 || m_thread.GetWaitHandle() == INVALID_HANDLE_VALUE)
    {
        return StopResult::NotRunning;
    }
    if (m_thread.Wait(timeoutMs))
    {
        return StopResult::Stopped;
    }
    m_thread.Terminate(0);
    return StopResult::Terminated;
}

const CThread &CPollingThread::GetThread() const
{
    return m_thread;
}

const CManualResetEvent &CPollingThread::GetPauseEvent() const
{
    return m_pauseEvent;
}

const CManualResetEvent &CPollingThread::GetContinueEvent() const
{
    return m_continueEvent;
}

unsigned int CPollingThread::Run()
{
    try
    {
        // A fault while sampling is dumped and ends the service like any other error,
        // instead of taking the process down unreported.
        const CorvaneTools::Win32::CSEHTranslator translator(&CorvaneTools::Win32::CCrashHandlers::TranslateStructuredException);
        const HANDLE running[2] = {m_stopEvent.GetWaitHandle(), m_pauseEvent.GetWaitHandle()};
        bool stopSeen = m_stopEvent.IsSignalled();
        bool sampleNow = true;
        while (!stopSeen)
        {
            if (sampleNow)
            {
                Sample();
                sampleNow = false;
            }
            const DWORD result = WaitForEvents(2, running, m_pollIntervalMs);
            if (result == WAIT_OBJECT_0)
            {
                stopSeen = true;
            }
            else if (result == WAIT_TIMEOUT)
            {
                sampleNow = true;
            }
            else if (result == WAIT_OBJECT_0 + 1)
            {
                stopSeen = WaitWhilePaused(running[0]);
                sampleNow = true;
            }
            else
            {
                throw CException(L"CService::Run()", L"Running - Unexpected return value from WaitForMultipleObjects: " +
                                                         GetLastErrorMessage(::GetLastError(), true));
            }
        }
        return 1;
    }
    catch (...)
    {
        // The framework logs the stop; the thread itself says nothing.
        try
        {
            m_shutdownService->ShutdownService(ErrorExitCode);
        }
        catch (...)
        {
        }
        return 0;
    }
}

DWORD CPollingThread::WaitForEvents(DWORD count, const HANDLE *events, DWORD timeoutMs)
{
    return ::WaitForMultipleObjects(count, events, FALSE, timeoutMs);
}

void CPollingThread::Sample()
{
    m_statistics.ProcessStats();
    if (m_statistics.HasTcp6Table())
    {
        m_statistics.ProcessStatsIPv6();
    }
    m_statistics.ProcessOwners();
}

// True when the stop came while paused; a continue makes the next sample happen at once.
bool CPollingThread::WaitWhilePaused(HANDLE stop)
{
    m_pauseEvent.Reset();
    const HANDLE paused[2] = {stop, m_continueEvent.GetWaitHandle()};
    const DWORD result = WaitForEvents(2, paused, INFINITE);
    if (result == WAIT_OBJECT_0)
    {
        return true;
    }
    if (result == WAIT_OBJECT_0 + 1)
    {
        m_continueEvent.Reset();
        return m_stopEvent.IsSignalled();
    }
    throw CException(L"CService::Run()", L"Paused - Unexpected return value from WaitForMultipleObjects: " +
                                             GetLastErrorMessage(::GetLastError(), true));
}

} // namespace TessalyService
} // namespace CorvaneTools
