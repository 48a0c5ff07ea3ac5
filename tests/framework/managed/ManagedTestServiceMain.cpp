// A service on the whole framework. What it is asked to do comes with its start arguments
// (under the service control manager) or its command line (run as a process):
//   fail7      OnServiceStart returns 7
//   throw      OnServicePause throws a CException
//   shutdown   OnServiceStart starts a worker that stops the service with code 42 once
//              the test sets "<events>_ShutdownNow"
// What it did, it tells by setting named events "<events>_<what>" that the test made:
// Start, Continue, Pause, User_<control>_<event type>, Stop_<reason>, Shutdown.
#include "framework/Service.h"
#include "framework/ServiceCallbacks.h"
#include "framework/ServiceControlManagerInterface.h"
#include "framework/ServiceManager.h"
#include "win32/errors/Exception.h"

#include <windows.h>

#include <string>
#include <thread>

using namespace CorvaneTools::Service;

namespace {

const wchar_t *const s_serviceName = L"Tessaly Managed Test Service";
const wchar_t *const s_events = L"Global\\TessalyManagedTestService";

void Tell(const std::wstring &what)
{
    const HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, (std::wstring(s_events) + L"_" + what).c_str());
    if (event)
    {
        ::SetEvent(event);
        ::CloseHandle(event);
    }
}

class CTestService : public CService, public CServiceCallbacks
{
public:
    CTestService() : CService(*this, s_serviceName, s_serviceName)
    {
    }

    ~CTestService() override
    {
        if (m_worker.joinable())
        {
            m_worker.join();
        }
    }

    // "/mode <mode>" on the command line of a run as a process.
    int ParseCommandLineArgument(wchar_t **argv, int argc, int index, std::wstring &, DWORD &) override
    {
        if (::lstrcmpiW(argv[index] + 1, L"mode") == 0 && index + 1 < argc)
        {
            m_mode = argv[index + 1];
            return 2;
        }
        return 0;
    }

    void OnServiceInstalled() override
    {
    }
    void OnServiceRemoved() override
    {
    }
    bool InstallPerformanceCounters(std::wstring &) override
    {
        return true;
    }
    bool RemovePerformanceCounters(std::wstring &) override
    {
        return true;
    }

    DWORD OnServiceStart(IShutdownService &shutdown, IReportServiceStatus &, IManageServiceNotifications &,
                         DWORD argc, wchar_t **argv) override
    {
        if (argc > 1)
        {
            m_mode = argv[1];
        }
        Tell(L"Start");
        if (m_mode == L"fail7")
        {
            return 7;
        }
        if (m_mode == L"shutdown")
        {
            m_worker = std::thread([&shutdown] {
                const HANDLE now = ::OpenEventW(SYNCHRONIZE, FALSE, (std::wstring(s_events) + L"_ShutdownNow").c_str());
                if (now && ::WaitForSingleObject(now, 60000) == WAIT_OBJECT_0)
                {
                    shutdown.ShutdownService(42);
                }
                if (now)
                {
                    ::CloseHandle(now);
                }
            });
        }
        return 0;
    }

    void OnServiceContinue(IReportServiceStatus &) override
    {
        Tell(L"Continue");
    }

    void OnServicePause(IReportServiceStatus &) override
    {
        if (m_mode == L"throw")
        {
            throw CorvaneTools::Win32::CException(L"CTestService::OnServicePause()", L"asked to fail");
        }
        Tell(L"Pause");
    }

    void OnServiceStop(IReportServiceStatus &, DWORD stopReason) override
    {
        Tell(L"Stop_" + std::to_wstring(stopReason));
    }

    DWORD OnServiceShutdown(IReportServiceStatus &) override
    {
        Tell(L"Shutdown");
        return 0;
    }

    void OnUserControl(DWORD control, DWORD eventType) override
    {
        Tell(L"User_" + std::to_wstring(control) + L"_" + std::to_wstring(eventType));
    }

private:
    std::wstring m_mode;
    std::thread m_worker;
};

} // namespace

int wmain()
{
    CServiceControlManagerInterface scm(1);
    CTestService service;
    CServiceManager manager(scm, s_serviceName, L"1.0", false);
    manager.AddService(service);
    manager.ProcessCommandLine();
    return static_cast<int>(manager.Run());
}
