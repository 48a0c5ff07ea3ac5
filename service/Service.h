#pragma once

#include "framework/Service.h"
#include "framework/ServiceCallbacks.h"
#include "service/PerformanceCounters.h"
#include "service/PollingThread.h"
#include "service/ServiceOptions.h"
#include "service/TcpStatistics.h"
#include "service/TcpTables.h"

#include <memory>
#include <string>
#include <vector>

namespace CorvaneTools {
namespace TessalyService {

// The TCP statistics service: the framework's service with the application's callbacks,
// its options, the counter set while it runs, and the polling thread.
class CService : public CorvaneTools::Service::CService, public CorvaneTools::Service::CServiceCallbacks
{
public:
    CService();
    // Sampling other tables than the platform's: a test build's faults come this way.
    explicit CService(ITcpTables &tables);
    ~CService() override;
    CService(const CService &) = delete;
    CService &operator=(const CService &) = delete;

    // IService
    std::wstring GetLogFilePath() const override;
    void OnServiceInstalled() override;
    void OnServiceRemoved() override;
    int ParseCommandLineArgument(wchar_t **argv, int argc, int index, std::wstring &message,
                                 DWORD &result) override;
    std::wstring GetServiceSpecificUsage(const std::wstring &usage) const override;
    bool RestartNeeded(std::wstring &note) const override;
    // Refuses a removal while a copy is held so that it cannot even be moved aside:
    // deleting the service would delete the counter registration with it and strand the
    // copies. Refuses an install over counters that are already installed.
    bool ApproveRunAction(CorvaneTools::Service::RunAction action, const std::wstring &messagePrefix,
                          CorvaneTools::Service::IDisplayMessageBox &manager, DWORD &result) override;

    // IServiceCallbacks
    bool InstallPerformanceCounters(std::wstring &message) override;
    bool RemovePerformanceCounters(std::wstring &message) override;
    DWORD OnServiceStart(CorvaneTools::Service::IShutdownService &shutdown,
                         CorvaneTools::Service::IReportServiceStatus &status,
                         CorvaneTools::Service::IManageServiceNotifications &notifications, DWORD argc,
                         wchar_t **argv) override;
    void OnServiceContinue(CorvaneTools::Service::IReportServiceStatus &status) override;
    void OnServicePause(CorvaneTools::Service::IReportServiceStatus &status) override;
    void OnServiceStop(CorvaneTools::Service::IReportServiceStatus &status, DWORD stopReason) override;
    DWORD OnServiceShutdown(CorvaneTools::Service::IReportServiceStatus &status) override;
    DWORD OnException() override;
    DWORD OnException(const std::exception &e) override;
    DWORD OnException(const CorvaneTools::Win32::CSEHException &e) override;
    DWORD OnException(const CorvaneTools::Win32::CException &e) override;

    CServiceOptions &GetOptions();

protected:
    // The one question of start-up a test cannot stage with a real token.
    virtual bool IsUserAnAdministrator() const;

private:
    CorvaneTools::Service::IShutdownService *m_shutdownService;
    // Old counter DLL copies this run's install or removal moved aside until the restart.
    std::vector<std::wstring> m_deletedAtRestart;
    std::unique_ptr<CPerformanceCounters> m_counters;
    bool m_running;
    // The options are read lazily, also from the const log-path query.
    mutable CServiceOptions m_options;
    CPlatformTcpTables m_platformTables;
    ITcpTables &m_tables;
    CTcpStatistics m_statistics;
    // Last: its thread uses the members above and is ended before they go.
    CPollingThread m_pollingThread;
};

} // namespace TessalyService
} // namespace CorvaneTools
