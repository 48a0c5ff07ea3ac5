#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>

namespace TestSupport {

// A process with a console of its own, so that its Ctrl+C reaches nobody else.
class CConsoleProcess
{
public:
    CConsoleProcess(const std::wstring &program, const std::wstring &arguments) : m_process()
    {
        std::wstring commandLine = L"\"" + program + L"\" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        if (!::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                              nullptr, nullptr, &startup, &m_process))
        {
            throw std::runtime_error("CreateProcess failed: " + std::to_string(::GetLastError()));
        }
    }

    ~CConsoleProcess()
    {
        if (::WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT)
        {
            ::TerminateProcess(m_process.hProcess, 999);
        }
        ::CloseHandle(m_process.hThread);
        ::CloseHandle(m_process.hProcess);
    }

    CConsoleProcess(const CConsoleProcess &) = delete;
    CConsoleProcess &operator=(const CConsoleProcess &) = delete;

    DWORD Id() const
    {
        return m_process.dwProcessId;
    }

    DWORD Wait(DWORD timeoutMs)
    {
        DWORD code = STILL_ACTIVE;
        if (::WaitForSingleObject(m_process.hProcess, timeoutMs) == WAIT_OBJECT_0)
        {
            ::GetExitCodeProcess(m_process.hProcess, &code);
        }
        return code;
    }

private:
    PROCESS_INFORMATION m_process;
};

} // namespace TestSupport
