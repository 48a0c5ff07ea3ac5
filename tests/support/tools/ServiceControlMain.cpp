// Sends one control to a service, for scripts on a platform whose sc has no pause, or
// prints the memory and handles of a service's (or any) process:
//   TessalyServiceControl pause|continue|stop <service name>
//   TessalyServiceControl memory <service name, process id or self>
// Exit code 0 when it was done, else the error code.
#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <cwchar>

namespace {

// The status of the named service through a handle opened with the given access, and
// the error of the first call that failed.
DWORD WithService(const wchar_t *name, DWORD access, DWORD control, SERVICE_STATUS_PROCESS &status)
{
    const SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service = manager ? ::OpenServiceW(manager, name, access) : nullptr;
    DWORD needed = 0;
    SERVICE_STATUS controlled;
    const bool done = service && (control ? ::ControlService(service, control, &controlled)
                                          : ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                                                   reinterpret_cast<BYTE *>(&status), sizeof(status),
                                                                   &needed));
    const DWORD error = done ? 0 : ::GetLastError();
    if (service)
    {
        ::CloseServiceHandle(service);
    }
    if (manager)
    {
        ::CloseServiceHandle(manager);
    }
    return error;
}

int PrintMemory(const wchar_t *target)
{
    SERVICE_STATUS_PROCESS status = {};
    // "self" measures this small program: what any process costs on the platform.
    DWORD processId = std::wcscmp(target, L"self") == 0 ? ::GetCurrentProcessId()
                                                         : static_cast<DWORD>(std::wcstoul(target, nullptr, 10));
    if (processId == 0 && WithService(target, SERVICE_QUERY_STATUS, 0, status) == 0)
    {
        processId = status.dwProcessId;
    }
    const HANDLE process =
        processId ? ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId) : nullptr;
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    DWORD handles = 0;
    if (!process ||
        !::GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&memory), sizeof(memory)))
    {
        std::fwprintf(stderr, L"TessalyServiceControl: no process to measure (%lu)\n", ::GetLastError());
        return 1;
    }
    ::GetProcessHandleCount(process, &handles);
    ::CloseHandle(process);
    std::wprintf(L"process %lu: working set %zu KB, private bytes %zu KB, handles %lu\n", processId,
                 memory.WorkingSetSize / 1024, memory.PrivateUsage / 1024, handles);
    return 0;
}

} // namespace

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
    if (argc == 3 && std::wcscmp(argv[1], L"memory") == 0)
    {
        return PrintMemory(argv[2]);
    }
    for (const auto &c : controls)
    {
        if (argc == 3 && std::wcscmp(argv[1], c.name) == 0)
        {
            SERVICE_STATUS_PROCESS status;
            const DWORD error = WithService(argv[2], c.access, c.control, status);
            if (error != 0)
            {
                std::fwprintf(stderr, L"TessalyServiceControl: %ls failed with %lu\n", c.name, error);
            }
            return static_cast<int>(error);
        }
    }
    std::fwprintf(stderr, L"usage: TessalyServiceControl pause|continue|stop|memory <service name>\n");
    return 87;
}
