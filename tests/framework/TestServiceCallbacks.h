#pragma once

// A service under test: recording callbacks, a CService, a status object on a recording
// SCM, and a run of its main routine on a thread of its own.
#include "framework/Service.h"
#include "framework/ServiceCallbacks.h"
#include "framework/ServiceStatus.h"
#include "win32/crash/SEHException.h"
#include "win32/errors/Win32Exception.h"

#include "tests/framework/RecordingStatusScm.h"

#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace FrameworkTestSupport {

// The recording SCM with a lock, for tests whose handler and main routine both report.
class CLockedRecordingScm : public CRecordingStatusScm
{
public:
    using CRecordingStatusScm::CRecordingStatusScm;

    void SetStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS &status) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        CRecordingStatusScm::SetStatus(handle, status);
    }

    std::vector<StatusFields> Reports()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_reports;
    }

private:
    std::mutex m_lock;
};

// What a callback throws when a test asks for it.
enum class Thrown
{
    Exception,
    Win32Exception,
    SEH,
    Standard,
    Other,
};

inline void ThrowNow(Thrown what)
{
    switch (what)
    {
    case Thrown::Exception:
        throw CorvaneTools::Win32::CException(L"Test::Throw()", L"test");
    case Thrown::Win32Exception:
        throw CorvaneTools::Win32::CWin32Exception(L"Test::Throw()", ERROR_ACCESS_DENIED);
    case Thrown::SEH:
        // A real fault, delivered by the main routine's translator.
        *static_cast<volatile int *>(nullptr) = 1;
        break;
    case Thrown::Standard:
        throw std::runtime_error("test");
    case Thrown::Other:
        throw 42;
    }
}

// Logs every call; a callback that runs off the main routine's thread is logged with
// "handler:" in front. m_onCall runs after each log line, on the calling thread.
class CTestCallbacks : public CorvaneTools::Service::CServiceCallbacks
{
public:
    typedef CorvaneTools::Service::IReportServiceStatus Status;
    typedef CorvaneTools::Service::CServiceControlDispatcher Dispatcher;

    void OnServiceInstalled() override { Call(L"Installed"); }
    void OnServiceRemoved() override { Call(L"Removed"); }
    bool InstallPerformanceCounters(std::wstring &) override { return Call(L"InstallCounters"), true; }
    bool RemovePerformanceCounters(std::wstring &) override { return Call(L"RemoveCounters"), true; }

    DWORD OnServiceStart(CorvaneTools::Service::IShutdownService &shutdown, Status &,
                         CorvaneTools::Service::IManageServiceNotifications &, DWORD argc, wchar_t **argv) override
    {
        m_mainThread = ::GetCurrentThreadId();
        m_shutdown = &shutdown;
        m_arguments.assign(argv, argv + argc);
        Call(L"Start");
        return m_startResult;
    }

    void OnServiceContinue(Status &) override { Call(L"Continue"); }
    void OnServicePause(Status &) override { Call(L"Pause"); }
    void OnServiceStop(Status &, DWORD reason) override { Call(L"Stop " + std::to_wstring(reason)); }
    DWORD OnServiceShutdown(Status &) override { return Call(L"Shutdown"), m_shutdownResult; }
    void OnUserControl(DWORD control, DWORD eventType) override
    {
        Call(L"User " + std::to_wstring(control) + L" " + std::to_wstring(eventType));
    }
    void OnParamChange() override { Call(L"ParamChange"); }
    void OnNetBindChange(DWORD control) override { Call(L"NetBind " + std::to_wstring(control)); }
    void OnSessionChange(DWORD eventType, DWORD sessionId) override
    {
        Call(L"Session " + std::to_wstring(eventType) + L" " + std::to_wstring(sessionId));
    }
    bool OnDeviceQueryRemove(void *, Dispatcher &) override { return Call(L"DeviceQueryRemove"), m_answer; }
    void OnDeviceEvent(DWORD eventType, void *, Dispatcher &) override
    {
        Call(L"Device " + std::to_wstring(eventType));
    }
    bool OnHardwareProfileQueryChange(Dispatcher &) override { return Call(L"ProfileQuery"), m_answer; }
    void OnHardwareProfileChanged(DWORD eventType) override { Call(L"Profile " + std::to_wstring(eventType)); }
    void OnPowerEvent(DWORD eventType) override { Call(L"Power " + std::to_wstring(eventType)); }
    bool OnPowerQuerySuspend(DWORD eventType, Dispatcher &) override
    {
        return Call(L"PowerQuery " + std::to_wstring(eventType)), m_answer;
    }
    DWORD OnException() override { return Hook(L"Hook other"); }
    DWORD OnException(const std::exception &) override { return Hook(L"Hook standard"); }
    DWORD OnException(const CorvaneTools::Win32::CSEHException &) override { return Hook(L"Hook SEH"); }
    DWORD OnException(const CorvaneTools::Win32::CException &) override { return Hook(L"Hook CException"); }

    std::vector<std::wstring> Log()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_log;
    }

    DWORD m_startResult = 0;
    DWORD m_shutdownResult = 0;
    bool m_answer = true;
    DWORD m_hookResult = UseDefaultExitCode;
    // The first hook call throws this many times a std::runtime_error.
    int m_hookThrows = 0;
    std::function<void(const std::wstring &)> m_onCall;
    // Set by OnServiceStart.
    DWORD m_mainThread = 0;
    CorvaneTools::Service::IShutdownService *m_shutdown = nullptr;
    std::vector<std::wstring> m_arguments;

private:
    void Call(const std::wstring &what)
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_log.push_back(::GetCurrentThreadId() == m_mainThread ? what : L"handler:" + what);
        }
        if (m_onCall)
        {
            m_onCall(what);
        }
    }

    DWORD Hook(const std::wstring &what)
    {
        Call(what);
        if (m_hookThrows > 0)
        {
            --m_hookThrows;
            throw std::runtime_error("hook");
        }
        return m_hookResult;
    }

    std::mutex m_lock;
    std::vector<std::wstring> m_log;
};

inline DWORD WINAPI IgnoreControl(DWORD, DWORD, void *, void *)
{
    return 0;
}

// A registered service on a recording SCM, as the service entry leaves it before the main
// routine: start pending reported with a 2000 ms wait hint.
struct CServiceUnderTest
{
    explicit CServiceUnderTest(bool debugMode = false)
        : scm(debugMode), service(callbacks, L"TestService", L"Test service"), status(scm)
    {
        status.Register(service.GetServiceName(), SERVICE_WIN32_OWN_PROCESS,
                        service.GetConfiguration().acceptedControls, &IgnoreControl, nullptr);
    }

    void RunMain()
    {
        wchar_t name[] = L"TestService";
        wchar_t *argv[] = {name};
        service.ServiceMain(status, status, 1, argv);
    }

    DWORD Handle(DWORD control, DWORD eventType = 0, void *eventData = nullptr)
    {
        return service.HandlerEx(status, control, eventType, eventData);
    }

    CTestCallbacks callbacks;
    CLockedRecordingScm scm;
    CorvaneTools::Service::CService service;
    CorvaneTools::Service::CServiceStatus status;
};

// The main routine on a thread of its own; joined however the test ends.
class CMainRoutineThread
{
public:
    explicit CMainRoutineThread(CServiceUnderTest &target)
        : m_target(target), m_thread([&target] { target.RunMain(); })
    {
    }

    // A test that gave up early has sent no stop.
    ~CMainRoutineThread()
    {
        if (m_thread.joinable() && m_target.status.GetStatus().dwCurrentState != SERVICE_STOPPED)
        {
            try
            {
                m_target.Handle(SERVICE_CONTROL_STOP);
            }
            catch (...)
            {
            }
        }
        Join();
    }

    CMainRoutineThread(const CMainRoutineThread &) = delete;
    CMainRoutineThread &operator=(const CMainRoutineThread &) = delete;

    void Join()
    {
        if (m_thread.joinable())
        {
            m_thread.join();
        }
    }

private:
    CServiceUnderTest &m_target;
    std::thread m_thread;
};

} // namespace FrameworkTestSupport
