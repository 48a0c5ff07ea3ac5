// The service object's start-up as a non-administrator, which the test token cannot
// stage for real: a seam answers the administrator question.
#include "service/Service.h"

#include "tests/service/ApplicationTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace CorvaneTools::TessalyService;
using namespace ApplicationTest;
using CorvaneTools::Service::IManageServiceNotifications;
using CorvaneTools::Service::IReportServiceStatus;
using CorvaneTools::Service::IShutdownService;

namespace {

class CNonAdministratorService : public ::CService
{
protected:
    bool IsUserAnAdministrator() const override
    {
        return false;
    }
};

class CQuietStatus : public IReportServiceStatus
{
public:
    void NotifyProgress(DWORD waitHintMs) override
    {
        hints.push_back(waitHintMs);
    }
    void SetControlsAccepted(DWORD, bool) override
    {
    }
    void ReportStatus() override
    {
    }
    void SetUltimateState(DWORD, DWORD) override
    {
    }
    void CheckPoint(DWORD, DWORD) override
    {
    }
    void UltimateStateReached() override
    {
    }
    void ServiceStoppedWithError(DWORD) override
    {
    }
    void ServiceStoppedWithServiceSpecificError(DWORD) override
    {
    }
    bool IsDebugMode() const override
    {
        return true;
    }

    std::vector<DWORD> hints;
};

class CNoNotifications : public IManageServiceNotifications
{
public:
    DWORD RegisterForDeviceNotification(HANDLE) override
    {
        return 0;
    }
    DWORD RegisterForDeviceNotification(const GUID &) override
    {
        return 0;
    }
    DWORD RegisterForDeviceNotification() override
    {
        return 0;
    }
    void UnregisterNotification(DWORD) override
    {
    }
    void UnregisterAllNotifications() override
    {
    }
};

class CNoShutdown : public IShutdownService
{
public:
    void ShutdownService(DWORD) override
    {
    }
};

bool Has(const std::vector<std::string> &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

} // namespace

// Without a log file nobody would learn that nothing is published, so the start fails.
TEST(ServiceCallbacksTest, ANonAdministratorStartsOnlyWithALogFile)
{
    for (const bool createLog : {false, true})
    {
        CCapturedLog log;
        CNonAdministratorService service;
        wchar_t option[] = L"/createLog";
        wchar_t *argv[] = {option};
        std::wstring message;
        DWORD result = 0;
        if (createLog)
        {
            ASSERT_EQ(1, service.ParseCommandLineArgument(argv, 1, 0, message, result));
        }
        CQuietStatus status;
        CNoNotifications notifications;
        CNoShutdown shutdown;
        wchar_t name[] = L"Corvane Tessaly";
        wchar_t *startArguments[] = {name};

        EXPECT_EQ(createLog ? 0u : 2u, service.OnServiceStart(shutdown, status, notifications, 1, startArguments));
        if (createLog)
        {
            EXPECT_EQ(0u, service.OnServiceShutdown(status));
        }

        const std::vector<std::string> lines = log.Messages();
        EXPECT_TRUE(Has(lines, "Performance counters NOT enabled, user is not an admin")) << createLog;
        EXPECT_TRUE(Has(lines, "Argument: 0 \"Corvane Tessaly\""));
        EXPECT_EQ(createLog, Has(lines, "Polling thread started..."));
        EXPECT_EQ(createLog, Has(lines, "Polling thread shutdown..."));
        EXPECT_EQ(createLog ? (std::vector<DWORD>{1000, 1000, 10000}) : std::vector<DWORD>{1000}, status.hints);
    }
}
