// A service of the tests' own, run by the platform's service control manager. Its command
// line is: program, service name, optionally the service-specific code to stop with. Before
// each pending state becomes final it waits for the global auto-reset event
// "<service name>_proceed", so that a test can observe every pending state.
#include "framework/ServiceControlManagerInterface.h"
#include "framework/ServiceStatus.h"
#include "win32/errors/Exception.h"
#include "win32/handles/KernelObjectName.h"
#include "win32/log/DebugTrace.h"
#include "win32/sync/Event.h"
#include "win32/threads/IOCompletionPort.h"

#include <cwchar>
#include <string>

using namespace CorvaneTools;

namespace {

Service::CServiceControlManagerInterface *s_scm = nullptr;
std::wstring s_serviceName;
DWORD s_stopCode = 0;

void Log(const Win32::CException &e)
{
    if (Win32::CDebugTrace::IsAvailable())
    {
        Win32::CDebugTrace::Instance().LogMessage(e.GetWhere() + L": " + e.GetMessage());
    }
}

struct ServiceContext
{
    Service::CServiceStatus &status;
    Win32::CIOCompletionPort &controls;
};

DWORD WINAPI Handler(DWORD control, DWORD, void *, void *context)
{
    ServiceContext &service = *static_cast<ServiceContext *>(context);
    switch (control)
    {
    case SERVICE_CONTROL_PAUSE:
        service.status.SetUltimateState(SERVICE_PAUSED, 2000);
        break;
    case SERVICE_CONTROL_CONTINUE:
        service.status.SetUltimateState(SERVICE_RUNNING, 2000);
        break;
    case SERVICE_CONTROL_STOP:
        service.status.SetUltimateState(SERVICE_STOPPED, 2000);
        break;
    case SERVICE_CONTROL_INTERROGATE:
        service.status.ReportStatus();
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
    service.status.ReportStatus();
    service.controls.PostStatus(0, control);
    return NO_ERROR;
}

// Runs the service until a stop control has been carried out.
void Run(Service::CServiceStatus &status, Win32::CIOCompletionPort &controls)
{
    const Win32::CGlobalName proceedName(s_serviceName + L"_proceed");
    const Win32::CAutoResetEvent proceed(nullptr, Win32::CEvent::NonSignalled, &proceedName);
    proceed.Wait();
    status.UltimateStateReached();
    for (;;)
    {
        DWORD control = 0;
        ULONG_PTR key = 0;
        OVERLAPPED *overlapped = nullptr;
        controls.GetStatus(control, key, overlapped);
        proceed.Wait();
        if (control != SERVICE_CONTROL_STOP)
        {
            status.UltimateStateReached();
        }
        else if (s_stopCode != 0)
        {
            status.ServiceStoppedWithServiceSpecificError(s_stopCode);
            return;
        }
        else
        {
            status.UltimateStateReached();
            return;
        }
    }
}

void WINAPI ServiceMain(DWORD, wchar_t **)
{
    Service::CServiceStatus status(*s_scm);
    try
    {
        Win32::CIOCompletionPort controls(1);
        ServiceContext context = {status, controls};
        status.Register(s_serviceName, SERVICE_WIN32_OWN_PROCESS,
                        SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE, &Handler, &context);
        Run(status, controls);
    }
    catch (const Win32::CException &e)
    {
        Log(e);
        try
        {
            status.ServiceStoppedWithError(ERROR_EXCEPTION_IN_SERVICE);
        }
        catch (const Win32::CException &report)
        {
            Log(report);
        }
    }
}

} // namespace

int wmain()
{
    try
    {
        Service::CServiceControlManagerInterface scm(1);
        s_scm = &scm;
        wchar_t **argv = nullptr;
        const int argc = scm.GetCommandLineArgs(argv);
        if (argc < 2)
        {
            return 87;
        }
        s_serviceName = argv[1];
        s_stopCode = argc > 2 ? std::wcstoul(argv[2], nullptr, 10) : 0;
        SERVICE_TABLE_ENTRYW table[] = {{argv[1], &ServiceMain}, {nullptr, nullptr}};
        return static_cast<int>(scm.StartDispatcher(table));
    }
    catch (const Win32::CException &e)
    {
        Log(e);
        return ERROR_EXCEPTION_IN_SERVICE;
    }
}
