// Sends one control to a service, for scripts on a platform whose sc has no pause:
//   TessalyServiceControl pause|continue|stop <service name>
// Exit code 0 when the service control manager took the control, else its error code.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t **argv)
{
    const struct
    {
        const wchar_t *name;
        DWORD control;
        DWORD access;
    } controls[] = {{L"pause", SERVICE_CONTROL_PAUSE, SERVICE_PAUSE_CONTINUE},
                    {L"continue", SERVICE_CONTROL_CONTINUE, SERVICE_PAUSE_CONTINUE},
                    {L"stop", SERVICE_CONTROL_STOP, SERVICE_STOP}};
    for (const auto &c : controls)
    {
        if (argc != 3 || std::wcscmp(argv[1], c.name) != 0)
        {
            continue;
        }
        const SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        const SC_HANDLE service = manager ? ::OpenServiceW(manager, argv[2], c.access) : nullptr;
        SERVICE_STATUS status;
        const DWORD error = service && ::ControlService(service, c.control, &status) ? 0 : ::GetLastError();
        if (service)
        {
            ::CloseServiceHandle(service);
        }
        if (manager)
        {
            ::CloseServiceHandle(manager);
        }
        if (error != 0)
        {
            std::fwprintf(stderr, L"TessalyServiceControl: %ls failed with %lu\n", c.name, error);
        }
        return static_cast<int>(error);
    }
    std::fwprintf(stderr, L"usage: TessalyServiceControl pause|continue|stop <service name>\n");
    return 87;
}
