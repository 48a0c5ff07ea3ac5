#pragma once

// The installed Tessaly.exe as its tests drive it: the program and the readers of the main
// build run as child processes, the service through the platform's service control manager.
#include "counters/TcpCounterSchema.h"
#include "framework/ServiceHandle.h"

#include "tests/framework/ServiceQuery.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ProviderRegistrationLock.h"
#include "tests/support/ScratchDirectory.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace ServiceProgramSupport {

const wchar_t *const ServiceName = CorvaneTools::Counters::TcpCounterSetName;
const wchar_t *const ServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\Corvane Tessaly";
const std::wstring ConfigKey = std::wstring(ServiceKey) + L"\\Config";
const std::wstring PerformanceKey = std::wstring(ServiceKey) + L"\\Performance";

inline std::wstring Top()
{
    return TestSupport::ThisFolder() + L"\\..\\..\\..";
}

inline std::wstring Program()
{
    return Top() + L"\\dist\\x64\\Tessaly.exe";
}

inline std::wstring ProgramFolder()
{
    return Top() + L"\\dist\\x64";
}

inline std::wstring WindowsFolder()
{
    wchar_t windows[MAX_PATH];
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    return windows;
}

// Where the program places a counter DLL copy: "system32" or "syswow64".
inline std::wstring Copy(const wchar_t *systemFolder)
{
    return WindowsFolder() + L"\\" + systemFolder + L"\\Tessaly.dll";
}

inline bool KeyExists(const std::wstring &key)
{
    HKEY opened;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
    {
        return false;
    }
    ::RegCloseKey(opened);
    return true;
}

inline DWORD RunProgram(const std::vector<std::wstring> &args, DWORD timeoutMs = 60000)
{
    TestSupport::CChildProcess program(L"", args, Program());
    return program.Wait(timeoutMs);
}

typedef std::map<std::string, unsigned long long> Values;
// Instance name -> its counters' values, as the reader tool's instance table lists them.
typedef std::map<std::string, Values> InstanceValues;

struct CReading
{
    DWORD exitCode;
    std::string output;
    // The service object's.
    Values values;
    InstanceValues instances;
};

// The table after the service object's lines: the object's name, a header naming the
// counters, then one line per instance.
inline InstanceValues ParseInstanceTable(std::istringstream &lines)
{
    InstanceValues instances;
    std::string line;
    std::vector<std::string> header;
    std::getline(lines, line);
    while (std::getline(lines, line))
    {
        if (!line.empty() && line.back() == '\r')
        {
            line.pop_back();
        }
        std::vector<std::string> cells;
        std::istringstream row(line);
        for (std::string cell; std::getline(row, cell, '\t');)
        {
            cells.push_back(cell);
        }
        if (header.empty())
        {
            header = cells;
            continue;
        }
        for (size_t k = 1; k < cells.size() && k < header.size(); ++k)
        {
            instances[cells[0]][header[k]] = std::stoull(cells[k]);
        }
    }
    return instances;
}

// One query through the performance library by a reader of the given architecture, with
// the reader's own arguments; STILL_ACTIVE as the exit code when it did not end in time.
inline CReading ReadWith(const wchar_t *architecture, const std::vector<std::wstring> &args,
                         DWORD timeoutMs = 60000)
{
    TestSupport::CChildProcess reader(L"", args,
                                      Top() + L"\\build\\" + architecture + L"\\bin\\TessalyCounterReader.exe");
    CReading reading = {reader.Wait(timeoutMs), std::string(), Values(), InstanceValues()};
    if (reading.exitCode == STILL_ACTIVE)
    {
        return reading;
    }
    reading.output = reader.Output();
    std::istringstream lines(reading.output);
    std::string line;
    while (reading.exitCode == 0 && std::getline(lines, line))
    {
        // The service object's lines end at the empty line before the instance table.
        if (line == "\r" || line.empty())
        {
            reading.instances = ParseInstanceTable(lines);
            break;
        }
        const size_t tab = line.find('\t');
        if (tab != std::string::npos)
        {
            reading.values[line.substr(0, tab)] = std::stoull(line.substr(tab + 1));
        }
    }
    return reading;
}

// Tessaly's service object; empty when it is not in the data.
inline Values Read(const wchar_t *architecture)
{
    return ReadWith(architecture, {}).values;
}

inline std::vector<std::string> LogMessages(const std::wstring &path)
{
    return TestSupport::ReadLogLines(std::string(path.begin(), path.end()), true);
}

// The first line of each sample the polling thread takes.
inline bool IsSampleStart(const std::string &line)
{
    return line.rfind("IPv4 - Processing - started - ", 0) == 0;
}

inline bool Contains(const std::vector<std::string> &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The crash dumps in a folder, by the name the program gives them: full paths.
inline std::vector<std::wstring> DumpFiles(const std::wstring &folder, const std::wstring &program = L"Tessaly.exe")
{
    std::vector<std::wstring> dumps;
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((folder + L"\\" + program + L"-*.dmp").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE)
    {
        do
        {
            dumps.push_back(folder + L"\\" + found.cFileName);
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    return dumps;
}

inline bool ServiceIsInstalled()
{
    const CorvaneTools::Service::CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return CorvaneTools::Service::CServiceHandle(::OpenServiceW(manager.Get(), ServiceName, SERVICE_QUERY_STATUS))
        .IsValid();
}

inline void SetValue(const std::wstring &key, const wchar_t *name, DWORD type, const void *data, DWORD bytes)
{
    HKEY opened;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened,
                          nullptr) == ERROR_SUCCESS)
    {
        ::RegSetValueExW(opened, name, 0, type, static_cast<const BYTE *>(data), bytes);
        ::RegCloseKey(opened);
    }
}

inline void SetString(const std::wstring &key, const wchar_t *name, const std::wstring &text)
{
    SetValue(key, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

// Waits until a reader has the file loaded as an image: it can then no longer be opened
// for writing, whatever the sharing asked for.
inline bool WaitUntilLoadedAsImage(const std::wstring &path, DWORD timeoutMs = 20000)
{
    return TestSupport::WaitUntil(
        [&] {
            const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, 0, nullptr);
            if (file == INVALID_HANDLE_VALUE)
            {
                return ::GetLastError() == ERROR_SHARING_VIOLATION;
            }
            ::CloseHandle(file);
            return false;
        },
        timeoutMs);
}

// Stops the service if it runs and waits for its process to end; the process is ended
// when it does not. A service removed while running would go on publishing through the
// block that the next test program's writer needs.
inline void StopServiceProcess()
{
    const CorvaneTools::Service::CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const CorvaneTools::Service::CServiceHandle service(
        ::OpenServiceW(manager.Get(), ServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service.IsValid())
    {
        return;
    }
    const SERVICE_STATUS_PROCESS status = TestSupport::QueryServiceStatus(service.Get());
    if (status.dwCurrentState == SERVICE_STOPPED)
    {
        return;
    }
    const HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, status.dwProcessId);
    TestSupport::Control(service.Get(), SERVICE_CONTROL_STOP);
    TestSupport::ReachesState(service.Get(), SERVICE_STOPPED);
    if (process)
    {
        if (::WaitForSingleObject(process, 10000) != WAIT_OBJECT_0)
        {
            ADD_FAILURE() << "the service's process did not end after its stop; ended";
            ::TerminateProcess(process, 1);
        }
        ::CloseHandle(process);
    }
}

// A test of the installed program: nothing of it is installed before or after, and no other
// program of the suite registers counters meanwhile.
class CInstalledProgramTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        StopServiceProcess();
        RunProgram({L"/noMessages", L"/remove"});
    }

    void TearDown() override
    {
        StopServiceProcess();
        RunProgram({L"/noMessages", L"/remove"});
    }

    TestSupport::CProviderRegistrationLock m_lock;
    TestSupport::CScratchDirectory m_logs{L"TessalyProgramLogs"};
};

} // namespace ServiceProgramSupport
