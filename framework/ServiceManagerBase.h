#pragma once

#include "framework/ICommunicateWithSCM.h"
#include "framework/IDisplayMessageBox.h"
#include "framework/IService.h"
#include "framework/RunAction.h"
#include "framework/ServiceStatus.h"
#include "win32/sync/ActivityCounter.h"

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace CorvaneTools {
namespace Service {

// Decides what this run of the process does: parses the command line, hands the options it
// does not know to the registered services, carries out the action and turns its outcome
// into a message and the process exit code. Derived classes supply the actions.
class CServiceManagerBase : public IDisplayMessageBox
{
public:
    CServiceManagerBase(const CServiceManagerBase &) = delete;
    CServiceManagerBase &operator=(const CServiceManagerBase &) = delete;

    DWORD DisplayMessage(const std::wstring &message) override;
    // Waits up to 10 000 ms for the service control manager's calls to finish.
    ~CServiceManagerBase() override;

    // The service is not owned; it must outlive the manager.
    void AddService(IService &service);
    void ProcessCommandLine();
    DWORD Run();

    // What the service control manager calls; they find the running manager themselves.
    static void WINAPI ServiceMain(DWORD argc, LPWSTR *argv);
    static DWORD WINAPI HandlerEx(DWORD control, DWORD eventType, void *eventData, void *context);

protected:
    CServiceManagerBase(ICommunicateWithSCM &scm, const std::wstring &title, const std::wstring &version,
                        bool runAsProcessWithoutArguments);

    virtual RunAction ParseRunAction(int argc, wchar_t **argv, int &index) = 0;
    virtual DWORD ExecuteRunAction(RunAction action, const std::wstring &messagePrefix) = 0;
    virtual std::wstring GetRunActionUsage() const = 0;
    virtual void DisplayUsage(const std::wstring &messagePrefix, const std::wstring &extraMessage);
    virtual void DisplayUsage(const std::wstring &messagePrefix);

    // Called once, by the derived constructor, because it asks ParseRunAction.
    void ParseCommandLine();
    bool ParseServiceSpecificCommandLine(DWORD &result, std::wstring &message);

    // Installs every service or, when one fails, none.
    void InstallServices();
    void RemoveServices();
    // failed, when given, is set when a service's pass threw or gave a reason of its own:
    // a failure, not the preset reason that says there was nothing to do.
    bool InstallPerformanceCounters(std::wstring &text, bool *failed = nullptr);
    bool RemovePerformanceCounters(std::wstring &text, bool *failed = nullptr);
    // The install and remove actions whole: a failed step takes back what the action did
    // (install) or keeps what is left to remove (remove), and exits ActionFailedExitCode.
    DWORD InstallAction(const std::wstring &messagePrefix);
    DWORD RemoveAction(const std::wstring &messagePrefix);
    DWORD HandleAccessDenied(const std::wstring &messagePrefix);
    DWORD StartServices();

    bool HasPerformanceCounters() const;
    ICommunicateWithSCM &GetSCM() const;

private:
    struct CServiceRecord
    {
        CServiceRecord(ICommunicateWithSCM &scm, IService &service, bool owned);
        ~CServiceRecord();

        CServiceStatus status;
        IService *service;
        bool owned;
        std::wstring name;
    };

    // The words of one counter pass, installing or removing.
    struct CCounterPass;

    // The framework's grammar, from the first argument after the program's own.
    void ParseArguments(int argc, wchar_t **argv);
    int ParseServiceSpecificCommandLineArgument(wchar_t **argv, int argc, int index, std::wstring &message,
                                                DWORD &result);
    DWORD CarryOutAction(const std::wstring &messagePrefix);
    DWORD CarryOutRunAction(const std::wstring &messagePrefix);
    bool RunCounterPass(const CCounterPass &pass, std::wstring &text, bool *failed = nullptr);
    // Returns false when the service's operation failed: it threw, or it gave its own reason.
    bool RunCounterPass(const CCounterPass &pass, CServiceRecord &record, std::wstring &text, bool &ok);
    DWORD GetServiceType() const;
    // Removes the first count services again, logging what could not be.
    void TakeBackServices(size_t count) noexcept;
    // Shows the message with every service's restart note; RestartNeededExitCode when
    // there is one.
    DWORD Finish(const std::wstring &message);
    static std::wstring UnknownOptionText(const std::wstring &option);
    // For an argument that is not a switch at all.
    static std::wstring NotASwitchText(const std::wstring &argument);
    void RunServiceMain(DWORD argc, LPWSTR *argv);

    ICommunicateWithSCM &m_scm;
    RunAction m_runAction;
    std::wstring m_title;
    std::wstring m_version;
    bool m_runAsProcessWithoutArguments;
    std::wstring m_lastOption;
    std::vector<std::unique_ptr<CServiceRecord>> m_records;
    std::map<std::wstring, CServiceRecord *> m_recordsByName;
    Win32::CActivityCounter m_activity;
    bool m_hasPerformanceCounters;
    LONG m_lastConsumedArgument;
    bool m_serviceArgumentsFollow;
};

} // namespace Service
} // namespace CorvaneTools
