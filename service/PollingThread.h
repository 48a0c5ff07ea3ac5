#pragma once

#include "framework/IShutdownService.h"
#include "service/TcpStatistics.h"
#include "win32/sync/Event.h"
#include "win32/threads/IRunnable.h"
#include "win32/threads/Thread.h"

namespace CorvaneTools {
namespace TessalyService {

// The service's main loop: one sample at once, then one per poll interval, steered only
// through the three events. Started once per service run.
class CPollingThread : public CorvaneTools::Win32::IRunnable
{
public:
    static const DWORD DefaultPollIntervalMs = 1000;
    // The service-specific exit code after an error on this thread.
    static const DWORD ErrorExitCode = 5;
    // How long a stopped thread is given before it is ended forcibly.
    static const DWORD StopTimeoutMs = 5000;

    explicit CPollingThread(CTcpStatistics &statistics);
    // Stops a thread still running and waits for it, terminating it when it will not end.
    ~CPollingThread();
    CPollingThread(const CPollingThread &) = delete;
    CPollingThread &operator=(const CPollingThread &) = delete;

    void SetPollInterval(DWORD pollIntervalMs);
    void Start(CorvaneTools::Service::IShutdownService &shutdownService);

    void Pause();
    void Continue();
    void Stop();

    enum class StopResult
    {
        // Never started, or already terminated.
        NotRunning,
        Stopped,
        // It did not end in time and was ended forcibly.
        Terminated
    };
    // Stop, then wait up to timeoutMs for the thread before terminating it.
    StopResult StopWithin(DWORD timeoutMs);

    // The thread body: 1 after an orderly stop, 0 after an error.
    unsigned int Run() override;

    const CorvaneTools::Win32::CThread &GetThread() const;
    const CorvaneTools::Win32::CManualResetEvent &GetPauseEvent() const;
    const CorvaneTools::Win32::CManualResetEvent &GetContinueEvent() const;

protected:
    // Every wait of the loop; tests put results here that real events never give.
    virtual DWORD WaitForEvents(DWORD count, const HANDLE *events, DWORD timeoutMs);

private:
    void Sample();
    bool WaitWhilePaused(HANDLE stop);

    CTcpStatistics &m_statistics;
    CorvaneTools::Service::IShutdownService *m_shutdownService;
    DWORD m_pollIntervalMs;
    CorvaneTools::Win32::CManualResetEvent m_stopEvent;
    CorvaneTools::Win32::CManualResetEvent m_pauseEvent;
    CorvaneTools::Win32::CManualResetEvent m_continueEvent;
    // Last, so that it is made after and could be ended before what it uses.
    CorvaneTools::Win32::CThread m_thread;
};

} // namespace TessalyService
} // namespace CorvaneTools
