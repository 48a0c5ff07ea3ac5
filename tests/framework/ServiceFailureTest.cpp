// The main routine's two exception phases: their default codes, the hooks and the value 5.
#include "framework/Service.h"

#include "tests/framework/TestServiceCallbacks.h"

#include <gtest/gtest.h>

using namespace CorvaneTools;
using namespace FrameworkTestSupport;

namespace {

// The service's status, except that the first progress report throws: a failure of the
// main routine's set-up.
class CFailingSetUpStatus : public Service::IReportServiceStatus
{
public:
    CFailingSetUpStatus(Service::CServiceStatus &status, Thrown thrown) : m_status(status), m_thrown(thrown)
    {
    }

    void NotifyProgress(DWORD waitHintMs) override { m_status.NotifyProgress(waitHintMs); }
    void SetControlsAccepted(DWORD mask, bool enable) override { m_status.SetControlsAccepted(mask, enable); }
    void ReportStatus() override { m_status.ReportStatus(); }
    void SetUltimateState(DWORD state, DWORD waitHintMs) override { m_status.SetUltimateState(state, waitHintMs); }
    void CheckPoint(DWORD, DWORD) override { ThrowNow(m_thrown); }
    void UltimateStateReached() override { m_status.UltimateStateReached(); }
    void ServiceStoppedWithError(DWORD code) override { m_status.ServiceStoppedWithError(code); }
    void ServiceStoppedWithServiceSpecificError(DWORD code) override
    {
        m_status.ServiceStoppedWithServiceSpecificError(code);
    }
    bool IsDebugMode() const override { return m_status.IsDebugMode(); }

private:
    Service::CServiceStatus &m_status;
    const Thrown m_thrown;
};

struct FailureRow
{
    Thrown thrown;
    DWORD hookResult;
    int hookThrows;
    const wchar_t *hook;
    DWORD win32ExitCode;
    DWORD specificExitCode;
};

const DWORD s_specific = ERROR_SERVICE_SPECIFIC_ERROR;

// The last report, as the service control manager saw the stop.
StatusFields Stopped(DWORD win32ExitCode, DWORD specificExitCode)
{
    return {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 7, win32ExitCode, specificExitCode, 0, 0};
}

} // namespace

TEST(ServiceFailure, ExceptionDuringRunningUsesTheRunCodes)
{
    const FailureRow rows[] = {
        {Thrown::Exception, 5, 0, L"Hook CException", s_specific, 6},
        {Thrown::Exception, 33, 0, L"Hook CException", s_specific, 33},
        {Thrown::Win32Exception, 5, 0, L"Hook CException", ERROR_ACCESS_DENIED, 0},
        {Thrown::Win32Exception, 34, 0, L"Hook CException", s_specific, 34},
        {Thrown::SEH, 5, 0, L"Hook SEH", s_specific, 7},
        {Thrown::Standard, 5, 0, L"Hook standard", s_specific, 8},
        {Thrown::Other, 5, 0, L"Hook other", s_specific, 9},
        {Thrown::Other, 35, 0, L"Hook other", s_specific, 35},
        // The hook's own exception is handled with the set-up codes, without the rest of
        // the run phase.
        {Thrown::Exception, 5, 1, L"Hook CException", s_specific, 12},
    };
    for (const FailureRow &row : rows)
    {
        SCOPED_TRACE(row.specificExitCode);
        CServiceUnderTest target;
        target.callbacks.m_hookResult = row.hookResult;
        target.callbacks.m_hookThrows = row.hookThrows;
        target.callbacks.m_onCall = [&](const std::wstring &call) {
            if (call == L"Continue")
            {
                ThrowNow(row.thrown);
            }
        };
        target.RunMain();
        std::vector<std::wstring> expected = {L"Start", L"Continue", row.hook};
        if (row.hookThrows == 0)
        {
            expected.push_back(L"Shutdown");
        }
        else
        {
            expected.push_back(L"Hook standard");
        }
        EXPECT_EQ(expected, target.callbacks.Log());
        EXPECT_EQ(Stopped(row.win32ExitCode, row.specificExitCode), target.scm.Reports().back());
    }
}

TEST(ServiceFailure, ExceptionDuringSetUpUsesTheSetUpCodes)
{
    const FailureRow rows[] = {
        {Thrown::Exception, 5, 0, L"Hook CException", s_specific, 10},
        {Thrown::Exception, 36, 0, L"Hook CException", s_specific, 36},
        {Thrown::Win32Exception, 5, 0, L"Hook CException", ERROR_ACCESS_DENIED, 0},
        {Thrown::SEH, 5, 0, L"Hook SEH", s_specific, 11},
        {Thrown::Standard, 5, 0, L"Hook standard", s_specific, 12},
        {Thrown::Other, 5, 0, L"Hook other", s_specific, 13},
        // A hook that throws is not asked again about its own exception.
        {Thrown::Other, 5, 1, L"Hook other", s_specific, 12},
    };
    for (const FailureRow &row : rows)
    {
        SCOPED_TRACE(row.specificExitCode);
        CServiceUnderTest target;
        target.callbacks.m_hookResult = row.hookResult;
        target.callbacks.m_hookThrows = row.hookThrows;
        CFailingSetUpStatus status(target.status, row.thrown);
        wchar_t name[] = L"TestService";
        wchar_t *argv[] = {name};
        target.service.ServiceMain(status, target.status, 1, argv);
        // Set-up failed before the start: only the hook ran.
        EXPECT_EQ((std::vector<std::wstring>{std::wstring(L"handler:") + row.hook}), target.callbacks.Log());
        EXPECT_EQ(Stopped(row.win32ExitCode, row.specificExitCode), target.scm.Reports().back());
        EXPECT_EQ(2u, target.scm.Reports().size());
    }
}
