#include "service/ProgramEntry.h"

#include "framework/RunAction.h"
#include "framework/ServiceControlManagerInterface.h"
#include "framework/ServiceManager.h"
#include "service/Service.h"
#include "win32/crash/CrashDumps.h"
#include "win32/crash/CrashHandlers.h"
#include "win32/crash/MiniDumper.h"
#include "win32/crash/SEHException.h"
#include "win32/errors/Exception.h"
#include "win32/files/ProtectedFolder.h"
#include "win32/log/DebugTrace.h"
#include "win32/log/SimpleMessageLog.h"
#include "win32/system/ModuleInfo.h"
#include "win32/text/StringConverter.h"
#include "win32/text/ToString.h"

#include <exception>
#include <memory>
#include <string>

namespace CorvaneTools {
namespace TessalyService {

using Counters::TcpCounterSetName;
using CorvaneTools::Win32::CDebugTrace;
using CorvaneTools::Win32::CException;
using CorvaneTools::Win32::CSEHException;

namespace {

const int MaximumDumps = 2;
const unsigned int DumpExitThreshold = 3;
// Message boxes go to the log as well, as the program has no desktop to show them on.
const DWORD LogMessageBoxes = 1;
const DWORD EveryFileNamePart = 255;

// The objects of one run, destroyed in the order the service manager needs: the manager,
// then the interface it uses, then the service it runs.
struct CProgramObjects
{
    ~CProgramObjects()
    {
        Destroy();
    }

    void Destroy()
    {
        manager.reset();
        scm.reset();
        service.reset();
    }

    std::unique_ptr<CService> service;
    std::unique_ptr<CorvaneTools::Service::CServiceControlManagerInterface> scm;
    std::unique_ptr<CorvaneTools::Service::CServiceManager> manager;
};

// To the log when there is one, else to the debugger output.
void Say(const std::wstring &line)
{
    if (CDebugTrace::IsWriting())
    {
        CDebugTrace::Log(line);
        return;
    }
    ::OutputDebugStringW((line + L"\r\n").c_str());
}

// Stands in for the dumper when the dump folder is refused: crashes are still counted and
// a process that keeps crashing still ends, but nothing is written.
class CNoDumps : public CorvaneTools::Win32::ICreateMiniDumps
{
public:
    std::wstring GetDumpFileNamePrefix() override
    {
        return std::wstring();
    }
    std::wstring GetDumpFileName() override
    {
        return std::wstring();
    }
    bool CreateMiniDump(const std::wstring &, EXCEPTION_POINTERS *) override
    {
        Say(L"Crash dump not written: its directory was refused");
        return false;
    }
    bool CreateMiniDump(EXCEPTION_POINTERS *information) override
    {
        return CreateMiniDump(std::wstring(), information);
    }
};

// The text an exception is reported with, for the log and for the message box alike.
std::wstring Describe()
{
    try
    {
        throw;
    }
    catch (const CException &e)
    {
        return L"Exception: " + e.GetWhere() + L" - " + e.GetMessage();
    }
    catch (const CSEHException &e)
    {
        return L"SEH Exception: " + e.GetWhere() + L" - " + e.GetMessage();
    }
    catch (const std::exception &e)
    {
        return L"std::exception - " + CorvaneTools::Win32::CStringConverter::AtoW(e.what());
    }
    catch (...)
    {
        return L"Unexpected exception";
    }
}

// Without a log the dumps sit beside the program, not in the root of whatever drive the
// process happens to run on.
std::wstring DumpDirectoryOf(const std::wstring &logPath)
{
    const size_t separator = logPath.rfind(L'\\');
    return separator == std::wstring::npos ? CorvaneTools::Win32::GetModulePath() : logPath.substr(0, separator);
}

// The dumper the crash-dump policy uses for the run, or the stand-in when the dump folder is
// refused; the policy lets go of it when the run ends.
class CCrashDumpSetUp
{
public:
    CCrashDumpSetUp(const std::wstring &logPath, DWORD dumpKind)
        : m_directory(DumpDirectoryOf(logPath)), m_hazard(CorvaneTools::Win32::FindFolderHazard(m_directory)),
          m_dumper(m_directory, dumpKind, EveryFileNamePart)
    {
        CorvaneTools::Win32::ICreateMiniDumps *used = &m_dumper;
        if (m_hazard.empty())
        {
            CDebugTrace::Log(L"Will produce at most: " + CorvaneTools::Win32::ToString(MaximumDumps) + L" crash dumps");
        }
        else
        {
            Say(L"Crash dump directory \"" + m_directory + L"\" refused: " + m_hazard + L"; no crash dumps are written");
            used = &m_noDumps;
        }
        CDebugTrace::Log(L"If we attempt to produce more than : " +
                         CorvaneTools::Win32::ToString(static_cast<int>(DumpExitThreshold)) +
                         L" crash dumps then the service will shut down");
        CorvaneTools::Win32::InitialiseCrashDumps(used, MaximumDumps, !m_hazard.empty(), DumpExitThreshold,
                                                  &OnTooManyCrashDumps);
    }

    ~CCrashDumpSetUp()
    {
        CorvaneTools::Win32::SetCrashDumper(nullptr);
    }

    CCrashDumpSetUp(const CCrashDumpSetUp &) = delete;
    CCrashDumpSetUp &operator=(const CCrashDumpSetUp &) = delete;

private:
    const std::wstring m_directory;
    const std::wstring m_hazard;
    CorvaneTools::Win32::CMiniDumper m_dumper;
    CNoDumps m_noDumps;
};

// Where the log goes; without a log file (none asked for, or every folder for it refused)
// the trace is pointed at a log that discards.
bool StartLog(const std::wstring &name, const std::wstring &logPath, CServiceOptions &options,
              CorvaneTools::Win32::ILogMessages &nullLog, CorvaneTools::Win32::ILogMessages *&previous)
{
    if (options.ReadCreateLog() && !logPath.empty())
    {
        CorvaneTools::Win32::CSimpleMessageLog::Instance().SetMaximumSize(options.ReadLogMaxSize());
        CDebugTrace::Instance().SetLogName(logPath);
        ::OutputDebugStringW((L"Service: \"" + name + L"\" starting, log file = " + logPath + L"\r\n").c_str());
        return false;
    }
    previous = &CDebugTrace::Instance().SetTarget(nullLog);
    ::OutputDebugStringW((L"Service: \"" + name + L"\" starting with no log file\r\n").c_str());
    return true;
}

// Runs and logs; an exception out of the run is logged here and fails it, the rest reach
// the caller.
DWORD RunService(CProgramObjects &objects)
{
    DWORD result = 0;
    try
    {
        CDebugTrace::Log(L"Construction of service object complete");
        result = objects.manager->Run();
        CDebugTrace::Log(result != 0 ? L"Service shutting down - Errorcode: " +
                                           CorvaneTools::Win32::ToString(static_cast<int>(result))
                                     : std::wstring(L"Service shutting down"));
    }
    catch (...)
    {
        Say(Describe());
        // The action did not run to its end, whatever the manager had done before.
        result = CorvaneTools::Service::ActionFailedExitCode;
    }
    return result;
}

// An exception the run could not log itself: said where it can be, and shown only to a
// user known to be there, on that user's own desktop.
void SayFailure(const std::wstring &name, bool logStarted, bool showBox)
{
    const std::wstring text = Describe();
    if (logStarted)
    {
        Say(text);
    }
    else
    {
        // The log's default file would land in whatever folder the process started in.
        ::OutputDebugStringW((text + L"\r\n").c_str());
    }
    if (showBox)
    {
        ::MessageBoxW(nullptr, text.c_str(), name.c_str(), MB_OK);
    }
}

} // namespace

void OnTooManyCrashDumps()
{
    CDebugTrace::Log(L"Too many dumps created. Process is unstable. Shutting down.");
    CorvaneTools::Win32::GenerateCrashDump(nullptr, false);
    CDebugTrace::Log(L"Service shutting down: Errorcode: " + CorvaneTools::Win32::ToString(TooManyDumpsExitCode));
    ::ExitProcess(TooManyDumpsExitCode);
}

DWORD RunProgram(ServiceFactory makeService, DWORD dumpKind)
{
    CorvaneTools::Win32::CCrashHandlers crashHandlers;
    const std::wstring name = TcpCounterSetName;
    DWORD result = 0;
    bool logStarted = false;
    bool showBox = false;
    // The trace may still point at it while the process exits.
    static CorvaneTools::Win32::CNullMessageLog nullLog;
    try
    {
        const std::wstring version = CorvaneTools::Win32::GetProductVersion();
        CProgramObjects objects;
        objects.service = makeService ? makeService() : std::unique_ptr<CService>(new CService());
        objects.scm.reset(new CorvaneTools::Service::CServiceControlManagerInterface(LogMessageBoxes));
        objects.scm->SetPathOptions({CServiceOptions::LogPathOption});
        objects.manager.reset(new CorvaneTools::Service::CServiceManager(*objects.scm, name, version, false));
        // Parsed now: messages are off for a service run and with /noMessages.
        showBox = objects.scm->GetDisplayMessages();
        objects.manager->AddService(*objects.service);
        objects.manager->ProcessCommandLine();

        const std::wstring logPath = objects.service->GetLogFilePath();
        CServiceOptions &options = objects.service->GetOptions();
        CorvaneTools::Win32::ILogMessages *previous = nullptr;
        const bool replaced = StartLog(name, logPath, options, nullLog, previous);
        logStarted = true;
        CDebugTrace::Log(L"---");
        CDebugTrace::Log(L"Service: \"" + name + L"\" starting");
        // Refused folders are said at once, whatever the action.
        for (const std::wstring &ignored : options.TakeIgnoredSettings())
        {
            Say(ignored);
        }
        const CCrashDumpSetUp dumps(logPath, dumpKind);

        result = RunService(objects);

        objects.Destroy();
        CDebugTrace::Log(L"Service shut down complete");
        if (replaced)
        {
            CDebugTrace::Instance().SetTarget(*previous);
        }
    }
    catch (...)
    {
        SayFailure(name, logStarted, showBox);
        // The action asked for never ran, or did not end as it should.
        if (result == 0)
        {
            result = CorvaneTools::Service::ActionFailedExitCode;
        }
    }
    return result;
}

} // namespace TessalyService
} // namespace CorvaneTools
