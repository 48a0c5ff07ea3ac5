#include "framework/ServiceStatus.h"

#include "tests/framework/RecordingStatusScm.h"
#include "tests/support/CatchException.h"
#include "tests/support/TestNames.h"
#include "tests/win32/threads/ThreadTestSupport.h"
#include "win32/log/DebugTrace.h"

#include <gtest/gtest.h>

#include <dbt.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <tuple>

using namespace CorvaneTools::Service;
using namespace CorvaneTools::Win32;
using FrameworkTestSupport::CRecordingDevices;
using FrameworkTestSupport::CRecordingStatusScm;
using FrameworkTestSupport::Fields;
using FrameworkTestSupport::StatusFields;

namespace {

const DWORD s_ownProcess = SERVICE_WIN32_OWN_PROCESS;
const DWORD s_controls = 7;

DWORD WINAPI TestHandler(DWORD, DWORD, void *, void *)
{
    return NO_ERROR;
}

// A status registered with the recording SCM, start pending.
struct CRegisteredStatus
{
    explicit CRegisteredStatus(bool debugMode = false) : scm(debugMode), status(scm, devices)
    {
        status.Register(L"Tessaly Test", s_ownProcess, s_controls, &TestHandler, this);
    }

    // From start pending to running, then through the final states given.
    void Drive(const std::vector<DWORD> &states)
    {
        status.UltimateStateReached();
        for (DWORD state : states)
        {
            status.SetUltimateState(state, 2000);
            status.UltimateStateReached();
        }
    }

    CRecordingStatusScm scm;
    CRecordingDevices devices;
    CServiceStatus status;
};

StatusFields Record(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD win32 = 0, DWORD specific = 0)
{
    return {s_ownProcess, state, s_controls, win32, specific, checkPoint, waitHint};
}

typedef std::vector<HDEVNOTIFY> Notifications;

} // namespace

TEST(ServiceStatusTest, AWholeLifeReportsEachStepThenNothing)
{
    CRegisteredStatus s;
    CServiceStatus &status = s.status;
    status.NotifyProgress(1000);
    status.CheckPoint(3000, 7);
    status.NotifyProgress(1000);
    status.UltimateStateReached();
    for (DWORD state : {SERVICE_PAUSED, SERVICE_RUNNING, SERVICE_STOPPED})
    {
        status.SetUltimateState(state, 2000);
        status.ReportStatus();
        if (state == SERVICE_STOPPED)
        {
            status.NotifyProgress(2000);
        }
        status.UltimateStateReached();
    }
    status.ReportStatus();
    status.NotifyProgress(1000);
    status.SetUltimateState(SERVICE_RUNNING, 2000);
    status.ServiceStoppedWithError(5);

    const std::vector<StatusFields> expected = {
        Record(SERVICE_START_PENDING, 0, 2000),    Record(SERVICE_START_PENDING, 1, 1000),
        Record(SERVICE_START_PENDING, 7, 3000),    Record(SERVICE_START_PENDING, 8, 1000),
        Record(SERVICE_RUNNING, 0, 0),             Record(SERVICE_PAUSE_PENDING, 1, 2000),
        Record(SERVICE_PAUSED, 0, 0),              Record(SERVICE_CONTINUE_PENDING, 1, 2000),
        Record(SERVICE_RUNNING, 0, 0),             Record(SERVICE_STOP_PENDING, 1, 2000),
        Record(SERVICE_STOP_PENDING, 2, 2000),     Record(SERVICE_STOPPED, 0, 0),
    };
    EXPECT_EQ(expected, s.scm.m_reports);
    EXPECT_EQ(std::vector<SERVICE_STATUS_HANDLE>(expected.size(), CRecordingStatusScm::Handle()), s.scm.m_handles);
    EXPECT_EQ(1, s.scm.m_registrations);
    EXPECT_EQ(0, s.scm.m_plainRegistrations);
    EXPECT_EQ(L"Tessaly Test", s.scm.m_serviceName);
    EXPECT_EQ(&TestHandler, s.scm.m_handler);
    EXPECT_EQ(&s, s.scm.m_context);
    EXPECT_FALSE(status.IsDebugMode());
}

TEST(ServiceStatusTest, RequestsEnterTheMatchingPendingStateWithoutReporting)
{
    struct Case
    {
        std::vector<DWORD> path;
        DWORD request;
        DWORD waitHint;
        DWORD pending;
    } const cases[] = {
        {{}, SERVICE_PAUSED, 3000, SERVICE_PAUSE_PENDING},
        {{}, SERVICE_STOPPED, 4000, SERVICE_STOP_PENDING},
        {{SERVICE_PAUSED}, SERVICE_RUNNING, 2500, SERVICE_CONTINUE_PENDING},
        {{SERVICE_PAUSED}, SERVICE_STOPPED, 1500, SERVICE_STOP_PENDING},
        // Running again from anything but paused is a start.
        {{}, SERVICE_RUNNING, 5000, SERVICE_START_PENDING},
    };
    for (const Case &c : cases)
    {
        CRegisteredStatus s;
        s.Drive(c.path);
        s.status.CheckPoint(9000, 5);
        const size_t reports = s.scm.m_reports.size();
        s.status.SetUltimateState(c.request, c.waitHint);
        EXPECT_EQ(Record(c.pending, 1, c.waitHint), Fields(s.status.GetStatus())) << c.request;
        EXPECT_EQ(reports, s.scm.m_reports.size());

        // The same stop or pause request again changes nothing, and does not wait for the
        // signal the first one consumed. (Running asked for again from a pending state is a
        // start, which waits.)
        if (c.request != SERVICE_RUNNING)
        {
            s.status.CheckPoint(9000, 5);
            s.status.SetUltimateState(c.request, 1);
            EXPECT_EQ(Record(c.pending, 5, 9000), Fields(s.status.GetStatus())) << c.request;
        }
    }
}

TEST(ServiceStatusTest, OnlyTheFirstStartRequestRestartsTheCheckpoints)
{
    CRegisteredStatus s;
    s.status.CheckPoint(1000, 4);
    s.status.SetUltimateState(SERVICE_RUNNING, 3000);
    EXPECT_EQ(Record(SERVICE_START_PENDING, 1, 3000), Fields(s.status.GetStatus()));
    s.status.NotifyProgress(1000);
    s.status.SetUltimateState(SERVICE_RUNNING, 5000);
    EXPECT_EQ(Record(SERVICE_START_PENDING, 2, 1000), Fields(s.status.GetStatus()));
}

TEST(ServiceStatusTest, InvalidRequestsThrowAndChangeNothing)
{
    const std::pair<std::pair<DWORD, DWORD>, const wchar_t *> cases[] = {
        {{SERVICE_PAUSED, 0}, L"Invalid waitHint, must be non zero."},
        {{SERVICE_START_PENDING, 0}, L"Invalid waitHint, must be non zero."},
        {{SERVICE_START_PENDING, 1000}, L"Invalid state:2"},
        {{0, 1000}, L"Invalid state:0"},
        {{SERVICE_PAUSE_PENDING, 1000}, L"Invalid state:6"},
        {{0xFFFFFFFF, 1}, L"Invalid state:4294967295"},
    };
    CRegisteredStatus s;
    s.Drive({});
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.second);
        const CException e = TestSupport::CatchException<CException>([&] { s.status.SetUltimateState(c.first.first, c.first.second); });
        EXPECT_EQ(L"CServiceStatus::SetUltimateState()", e.GetWhere());
        EXPECT_EQ(c.second, e.GetMessage());
        EXPECT_EQ(Record(SERVICE_RUNNING, 0, 0), Fields(s.status.GetStatus()));
    }
    EXPECT_EQ(2u, s.scm.m_reports.size());
}

TEST(ServiceStatusTest, NothingIsReportedOrCheckedUntilRegistrationSucceeds)
{
    CRecordingStatusScm scm;
    CServiceStatus status(scm);
    status.SetUltimateState(SERVICE_STOPPED, 0);
    status.NotifyProgress(1000);
    scm.m_registrationError = ERROR_SERVICE_DOES_NOT_EXIST;
    const CWin32Exception e = TestSupport::CatchException<CWin32Exception>([&] { status.Register(L"x", s_ownProcess, 1, &TestHandler, nullptr); });
    EXPECT_EQ(DWORD(ERROR_SERVICE_DOES_NOT_EXIST), e.GetError());
    status.SetUltimateState(42, 1000);
    status.ReportStatus();
    EXPECT_TRUE(scm.m_reports.empty());
    EXPECT_EQ(StatusFields({0, 0, 0, 0, 0, 1, 1000}), Fields(status.GetStatus()));
}

TEST(ServiceStatusTest, UnreportedChangesGoWithTheNextReport)
{
    CRegisteredStatus s;
    s.Drive({});
    s.status.CheckPoint(1000, 3);
    s.status.SetControlsAccepted(SERVICE_ACCEPT_PAUSE_CONTINUE, false);
    s.status.SetControlsAccepted(SERVICE_ACCEPT_PRESHUTDOWN, true);
    // Running has no final state: progress is cleared, nothing is reported.
    s.status.UltimateStateReached();
    ASSERT_EQ(3u, s.scm.m_reports.size());
    s.status.ReportStatus();
    EXPECT_EQ(StatusFields({s_ownProcess, SERVICE_RUNNING, 0x105, 0, 0, 0, 0}), s.scm.m_reports.back());
}

TEST(ServiceStatusTest, StopReportsCarryTheExitCodesAndEndReporting)
{
    const std::pair<std::function<void(CServiceStatus &)>, StatusFields> cases[] = {
        {[](CServiceStatus &status) { status.ServiceStoppedWithError(2); }, Record(SERVICE_STOPPED, 0, 0, 2, 0)},
        {[](CServiceStatus &status) { status.ServiceStoppedWithServiceSpecificError(7); },
         Record(SERVICE_STOPPED, 0, 0, 1066, 7)},
    };
    for (const auto &c : cases)
    {
        CRegisteredStatus s;
        s.status.NotifyProgress(1000);
        c.first(s.status);
        s.status.ReportStatus();
        s.status.CheckPoint(1000, 9);
        s.status.SetUltimateState(SERVICE_RUNNING, 2000);
        s.status.UltimateStateReached();
        ASSERT_EQ(3u, s.scm.m_reports.size());
        EXPECT_EQ(c.second, s.scm.m_reports.back());
    }
}

TEST(ServiceStatusTest, AFinalStateWhoseReportFailsStillLetsTheNextRequestIn)
{
    CRegisteredStatus s;
    s.Drive({});
    s.status.SetUltimateState(SERVICE_PAUSED, 2000);
    s.scm.m_reportError = ERROR_INVALID_HANDLE;
    const CWin32Exception e = TestSupport::CatchException<CWin32Exception>([&] { s.status.UltimateStateReached(); });
    EXPECT_EQ(L"CServiceControlManagerInterface::SetStatus()", e.GetWhere());
    s.status.SetUltimateState(SERVICE_STOPPED, 2000);
    EXPECT_EQ(DWORD(SERVICE_STOP_PENDING), s.status.GetStatus().dwCurrentState);
}

TEST(ServiceStatusTest, AStopWaitsUntilThePauseIsFinal)
{
    CRegisteredStatus s;
    s.Drive({});
    s.status.SetUltimateState(SERVICE_PAUSED, 2000);
    CManualResetEvent requesting;
    auto stopper = ThreadTestSupport::StartThread([&]() -> unsigned int {
        requesting.Set();
        s.status.SetUltimateState(SERVICE_STOPPED, 3000);
        s.status.ReportStatus();
        return 0;
    });
    ASSERT_TRUE(requesting.Wait(ThreadTestSupport::TestTimeoutMs));
    EXPECT_FALSE(stopper->Thread().Wait(200));
    EXPECT_EQ(Record(SERVICE_PAUSE_PENDING, 1, 2000), Fields(s.status.GetStatus()));

    s.status.UltimateStateReached();
    EXPECT_EQ(0u, stopper->ExitCode());
    // The pause was still pending when it became final; the stop came after it.
    const std::vector<StatusFields> tail(s.scm.m_reports.end() - 2, s.scm.m_reports.end());
    EXPECT_EQ(std::vector<StatusFields>({Record(SERVICE_PAUSED, 0, 0), Record(SERVICE_STOP_PENDING, 1, 3000)}), tail);
}

// The control handler reports the pause pending while the main thread already reaches it:
// whichever report starts first, the paused one arrives last.
TEST(ServiceStatusTest, AFinalStateIsReportedAfterAPendingReportUnderWay)
{
    CRegisteredStatus s;
    s.Drive({});
    CManualResetEvent delivering;
    s.scm.m_beforeRecording = [&](const SERVICE_STATUS &status) {
        if (status.dwCurrentState == SERVICE_PAUSE_PENDING)
        {
            delivering.Set();
            ::Sleep(300);
        }
    };
    s.status.SetUltimateState(SERVICE_PAUSED, 2000);
    auto mainThread = ThreadTestSupport::StartThread([&]() -> unsigned int {
        delivering.Wait(ThreadTestSupport::TestTimeoutMs);
        s.status.UltimateStateReached();
        return 0;
    });
    s.status.ReportStatus();
    EXPECT_EQ(0u, mainThread->ExitCode());
    const std::vector<StatusFields> tail(s.scm.m_reports.end() - 2, s.scm.m_reports.end());
    EXPECT_EQ(std::vector<StatusFields>({Record(SERVICE_PAUSE_PENDING, 1, 2000), Record(SERVICE_PAUSED, 0, 0)}), tail);
}

TEST(ServiceStatusTest, HandlesStartAtTwoAndRunOutAtTheLimit)
{
    CRegisteredStatus s;
    EXPECT_EQ(2u, s.status.GetNextHandle());
    DWORD last = 0;
    for (DWORD i = 3; i <= 0x0FFFFFFF; ++i)
    {
        last = s.status.GetNextHandle();
    }
    EXPECT_EQ(0x0FFFFFFFu, last);
    const CWin32Exception e = TestSupport::CatchException<CWin32Exception>([&] { s.status.GetNextHandle(); });
    EXPECT_EQ(L"CServiceStatus::GetNextHandle()", e.GetWhere());
    EXPECT_EQ(L"Too many handles used", e.GetMessage());
    EXPECT_EQ(0u, e.GetError());
    // It stays exhausted, and a registration fails before it reaches the platform.
    TestSupport::CatchException<CWin32Exception>([&] { s.status.RegisterForDeviceNotification(); });
    EXPECT_TRUE(s.devices.m_registered.empty());
}

TEST(ServiceStatusTest, EachRegistrationFormHandsOverItsFilter)
{
    const GUID interfaceClass = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
    const HANDLE device = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x1234ABCD5678));
    DEV_BROADCAST_HANDLE handleFilter = {};
    handleFilter.dbch_size = 56;
    handleFilter.dbch_devicetype = 6;
    handleFilter.dbch_handle = device;
    DEV_BROADCAST_DEVICEINTERFACE_W allFilter = {};
    allFilter.dbcc_size = 32;
    allFilter.dbcc_devicetype = 5;
    DEV_BROADCAST_DEVICEINTERFACE_W classFilter = allFilter;
    classFilter.dbcc_classguid = interfaceClass;
    auto bytes = [](const auto &record) {
        const BYTE *first = reinterpret_cast<const BYTE *>(&record);
        return std::vector<BYTE>(first, first + sizeof(record));
    };
    const std::tuple<std::function<DWORD(CServiceStatus &)>, std::vector<BYTE>, DWORD> cases[] = {
        {[&](CServiceStatus &status) { return status.RegisterForDeviceNotification(device); }, bytes(handleFilter), 1},
        {[&](CServiceStatus &status) { return status.RegisterForDeviceNotification(interfaceClass); },
         bytes(classFilter), 1},
        {[&](CServiceStatus &status) { return status.RegisterForDeviceNotification(); }, bytes(allFilter), 5},
    };
    CRegisteredStatus s;
    DWORD expectedHandle = 2;
    for (const auto &c : cases)
    {
        EXPECT_EQ(expectedHandle++, std::get<0>(c)(s.status));
        const CRecordingDevices::Registration &r = s.devices.m_registered.back();
        EXPECT_EQ(std::get<1>(c), r.filter) << std::get<2>(c);
        EXPECT_EQ(std::get<2>(c), r.flags);
        EXPECT_EQ(CRecordingStatusScm::Handle(), r.recipient);
    }
    s.status.UnregisterNotification(3);
    EXPECT_EQ(Notifications({CRecordingDevices::Issued(2)}), s.devices.m_unregistered);
}

TEST(ServiceStatusTest, PlatformFailuresCarryTheirError)
{
    CRegisteredStatus s;
    const DWORD handle = s.status.RegisterForDeviceNotification();
    s.devices.m_error = ERROR_ACCESS_DENIED;
    CWin32Exception e = TestSupport::CatchException<CWin32Exception>([&] { s.status.RegisterForDeviceNotification(); });
    EXPECT_EQ(L"CServiceStatus::RegisterForDeviceNotification()", e.GetWhere());
    EXPECT_EQ(CWin32Exception(L"", ERROR_ACCESS_DENIED).GetMessage(), e.GetMessage());
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), e.GetError());

    s.devices.m_error = ERROR_INVALID_HANDLE;
    e = TestSupport::CatchException<CWin32Exception>([&] { s.status.UnregisterNotification(handle); });
    EXPECT_EQ(L"CServiceStatus::UnregisterDeviceNotifications()", e.GetWhere());
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), e.GetError());
    TestSupport::CatchException<CWin32Exception>([&] { s.status.UnregisterAllNotifications(); });

    // The entry stays until its registration has really gone.
    s.devices.m_error = 0;
    s.status.UnregisterNotification(handle);
    EXPECT_EQ(Notifications({CRecordingDevices::Issued(1)}), s.devices.m_unregistered);
}

TEST(ServiceStatusTest, UnregisteringByHandleAllAtOnceAndAtDestruction)
{
    CRegisteredStatus s;
    for (int i = 0; i < 3; ++i)
    {
        s.status.RegisterForDeviceNotification();
    }
    s.status.UnregisterAllNotifications();
    s.status.UnregisterAllNotifications();
    const Notifications all = {CRecordingDevices::Issued(1), CRecordingDevices::Issued(2), CRecordingDevices::Issued(3)};
    EXPECT_EQ(all, s.devices.m_unregistered);
    s.status.UnregisterNotification(3);
    EXPECT_EQ(all, s.devices.m_unregistered);
    const std::pair<DWORD, const wchar_t *> unknown[] = {{99, L"0x63"}, {0xAB, L"0xab"}, {3, L"0x3"}};
    for (const auto &c : unknown)
    {
        SCOPED_TRACE(c.second);
        const CWin32Exception e = TestSupport::CatchException<CWin32Exception>([&] { s.status.UnregisterNotification(c.first); });
        EXPECT_EQ(L"CServiceStatus::UnregisterNotification()", e.GetWhere());
        EXPECT_EQ(std::wstring(L"Invalid handle: ") + c.second, e.GetMessage());
    }

    // What is still registered is removed when the status goes.
    CRecordingDevices devices;
    CRecordingStatusScm scm;
    {
        CServiceStatus status(scm, devices);
        status.Register(L"x", s_ownProcess, 1, &TestHandler, nullptr);
        status.RegisterForDeviceNotification();
        status.UnregisterNotification(status.RegisterForDeviceNotification());
        status.RegisterForDeviceNotification();
    }
    EXPECT_EQ(Notifications({CRecordingDevices::Issued(2), CRecordingDevices::Issued(1), CRecordingDevices::Issued(3)}),
              devices.m_unregistered);
}

TEST(ServiceStatusTest, DebugModeRegistersNothingButLogsAndIssuesHandles)
{
    char folder[MAX_PATH];
    ::GetTempPathA(MAX_PATH, folder);
    const std::wstring name = TestSupport::UniqueName(L"ServiceStatus.log");
    const std::string path = folder + std::string(name.begin(), name.end());
    CDebugTrace::Instance().SetLogName(path);
    {
        CRegisteredStatus s(true);
        EXPECT_TRUE(s.status.IsDebugMode());
        EXPECT_EQ(2u, s.status.RegisterForDeviceNotification());
        EXPECT_EQ(3u, s.status.RegisterForDeviceNotification(GUID()));
        EXPECT_EQ(4u, s.status.RegisterForDeviceNotification(::GetCurrentProcess()));
        s.status.UnregisterNotification(3);
        s.status.UnregisterAllNotifications();
        s.status.UnregisterNotification(4);
        EXPECT_TRUE(s.devices.m_registered.empty());
        EXPECT_TRUE(s.devices.m_unregistered.empty());
        EXPECT_EQ(std::vector<SERVICE_STATUS_HANDLE>({nullptr}), s.scm.m_handles);
        EXPECT_EQ(std::vector<StatusFields>({Record(SERVICE_START_PENDING, 0, 2000)}), s.scm.m_reports);
    }
    CDebugTrace::Instance().SetLogName(std::string());
    std::ostringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    const std::string log = content.str();
    const std::string line =
        ": CServiceStatus::RegisterForDeviceNotification() - skipped when running service in debug mode\r\n";
    int lines = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1))
    {
        ++lines;
    }
    EXPECT_EQ(3, lines) << log;
    ::DeleteFileA(path.c_str());
}
