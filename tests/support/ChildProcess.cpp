#include "tests/support/ChildProcess.h"
#include "tests/support/TestNames.h"

#include "win32/process/CommandLine.h"

#include <map>
#include <stdexcept>

namespace TestSupport {

namespace {

std::map<std::wstring, ChildEntry> &Children()
{
    static std::map<std::wstring, ChildEntry> children;
    return children;
}

} // namespace

bool RegisterChild(const wchar_t *name, ChildEntry entry)
{
    Children()[name] = entry;
    return true;
}

bool RunChildIfRequested(int argc, wchar_t **argv, int &exitCode)
{
    if (argc < 2 || wcsncmp(argv[1], L"--child=", 8) != 0)
    {
        return false;
    }
    const std::wstring name = argv[1] + 8;
    const auto it = Children().find(name);
    if (it == Children().end())
    {
        fwprintf(stderr, L"unknown child %ls\n", name.c_str());
        exitCode = 200;
        return true;
    }
    // A crashing child must end with its exception code, not wait for a dialog.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    exitCode = it->second(std::vector<std::wstring>(argv + 2, argv + argc));
    return true;
}

CChildProcess::CChildProcess(const std::wstring &name, const std::vector<std::wstring> &args,
                             const std::wstring &program, bool debug, HANDLE token)
    : m_process(), m_outputRead(INVALID_HANDLE_VALUE)
{
    const std::wstring path = StartablePath(program.empty() ? ThisProgram() : program);
    std::wstring commandLine = CorvaneTools::Win32::QuoteCommandLineArgument(path);
    if (!name.empty())
    {
        commandLine += L" --child=" + name;
    }
    for (const auto &arg : args)
    {
        commandLine += L" " + CorvaneTools::Win32::QuoteCommandLineArgument(arg);
    }

    wchar_t tempFolder[MAX_PATH];
    wchar_t tempFile[MAX_PATH];
    ::GetTempPathW(MAX_PATH, tempFolder);
    ::GetTempFileNameW(tempFolder, L"chd", 0, tempFile);
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE output = ::CreateFileW(tempFile, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    m_outputRead = ::CreateFileW(tempFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = output;
    const DWORD flags = debug ? DEBUG_ONLY_THIS_PROCESS : 0;
    const BOOL started = token ? ::CreateProcessAsUserW(token, path.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                                        flags, nullptr, nullptr, &startup, &m_process)
                               : ::CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, TRUE, flags,
                                                  nullptr, nullptr, &startup, &m_process);
    const DWORD error = ::GetLastError();
    ::CloseHandle(output);
    if (!started)
    {
        if (m_outputRead != INVALID_HANDLE_VALUE)
        {
            ::CloseHandle(m_outputRead);
        }
        throw std::runtime_error("CreateProcess failed: " + std::to_string(error));
    }
}

CChildProcess::~CChildProcess()
{
    if (::WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT)
    {
        ::TerminateProcess(m_process.hProcess, 999);
        ::WaitForSingleObject(m_process.hProcess, 10000);
    }
    ::CloseHandle(m_process.hThread);
    ::CloseHandle(m_process.hProcess);
    if (m_outputRead != INVALID_HANDLE_VALUE)
    {
        ::CloseHandle(m_outputRead);
    }
}

DWORD CChildProcess::Wait(DWORD timeoutMs)
{
    if (::WaitForSingleObject(m_process.hProcess, timeoutMs) != WAIT_OBJECT_0)
    {
        return STILL_ACTIVE;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(m_process.hProcess, &code);
    return code;
}

DWORD CChildProcess::WaitDebugging(std::vector<std::string> &debugOutput, DWORD timeoutMs)
{
    const DWORD start = ::GetTickCount();
    for (;;)
    {
        const DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= timeoutMs)
        {
            return STILL_ACTIVE;
        }
        DEBUG_EVENT event = {};
        if (!::WaitForDebugEvent(&event, timeoutMs - elapsed))
        {
            return STILL_ACTIVE;
        }
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode)
        {
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.u.CreateProcessInfo.hFile)
            {
                ::CloseHandle(event.u.CreateProcessInfo.hFile);
            }
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile)
            {
                ::CloseHandle(event.u.LoadDll.hFile);
            }
            break;
        case OUTPUT_DEBUG_STRING_EVENT: {
            const OUTPUT_DEBUG_STRING_INFO &info = event.u.DebugString;
            const size_t unit = info.fUnicode ? 2 : 1;
            std::string bytes(info.nDebugStringLength * unit, '\0');
            SIZE_T read = 0;
            ::ReadProcessMemory(m_process.hProcess, info.lpDebugStringData, &bytes[0], bytes.size(), &read);
            bytes.resize(read);
            std::string text;
            for (size_t i = 0; i + unit <= bytes.size(); i += unit)
            {
                if (bytes[i] == 0 && (unit == 1 || bytes[i + 1] == 0))
                {
                    break;
                }
                text += bytes[i];
            }
            debugOutput.push_back(text);
            break;
        }
        case EXCEPTION_DEBUG_EVENT:
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
            {
                status = DBG_EXCEPTION_NOT_HANDLED;
            }
            break;
        case EXIT_PROCESS_DEBUG_EVENT: {
            const DWORD code = event.u.ExitProcess.dwExitCode;
            ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
            ::WaitForSingleObject(m_process.hProcess, 10000);
            return code;
        }
        default:
            break;
        }
        ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
}

std::string CChildProcess::Output()
{
    std::string text;
    if (m_outputRead == INVALID_HANDLE_VALUE)
    {
        return text;
    }
    ::SetFilePointer(m_outputRead, 0, nullptr, FILE_BEGIN);
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(m_outputRead, buffer, sizeof(buffer), &read, nullptr) && read > 0)
    {
        text.append(buffer, read);
    }
    return text;
}

HANDLE CChildProcess::Handle() const
{
    return m_process.hProcess;
}

DWORD RunChild(const std::wstring &name, const std::vector<std::wstring> &args)
{
    CChildProcess child(name, args);
    return child.Wait();
}

} // namespace TestSupport
