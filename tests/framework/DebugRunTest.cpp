// Running services as a process: the debug dispatcher behind the SCM interface, and the
// shutdown handler's global events. Pulsed, never set: the events are manual-reset and
// shared by every process that runs its services this way.
#include "framework/DebugServiceDispatcher.h"
#include "framework/ServiceControlManagerInterface.h"
#include "win32/handles/KernelObjectName.h"
#include "win32/sync/Event.h"

#include "tests/framework/TestServiceCallbacks.h"
#include "tests/support/TestNames.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

using namespace CorvaneTools;
using namespace FrameworkTestSupport;

namespace {

// One service of a debug run; its entry finds it by the name it is called with.
struct CDebugService
{
    explicit CDebugService(Service::CServiceControlManagerInterface &scm)
        : service(callbacks, L"DebugTest", L"DebugTest"), status(scm)
    {
        service.SetInstanceName(TestSupport::UniqueName(L"debug"));
    }

    DWORD State() const
    {
        return status.GetStatus().dwCurrentState;
    }

    CTestCallbacks callbacks;
    Service::CService service;
    Service::CServiceStatus status;
    std::atomic<DWORD> entryThread{0};
    std::atomic<bool> ended{false};
    std::vector<std::wstring> arguments;
};

CDebugService *s_services[2] = {};

void WINAPI DebugEntry(DWORD argc, wchar_t **argv)
{
    for (CDebugService *target : s_services)
    {
        if (target && argc == 1 && target->service.GetServiceName() == argv[0])
        {
            target->entryThread = ::GetCurrentThreadId();
            target->arguments.assign(argv, argv + argc);
            // In debug mode registration reaches no service control manager.
            target->status.Register(argv[0], SERVICE_WIN32_OWN_PROCESS, 7, &IgnoreControl, nullptr);
            target->service.ServiceMain(target->status, target->status, argc, argv);
            target->ended = true;
        }
    }
}

// The dispatcher's run on a thread of its own, like the program's main thread; the services
// are stopped and the thread joined however the test ends.
class CDebugRun
{
public:
    CDebugRun(Service::CServiceControlManagerInterface &scm, const SERVICE_TABLE_ENTRYW *table)
        : m_returned(false), m_exitCode(0xFFFFFFFF), m_thread([this, &scm, table] {
              m_threadId = ::GetCurrentThreadId();
              m_exitCode = scm.StartDispatcher(table);
              m_returned = true;
          })
    {
    }

    ~CDebugRun()
    {
        for (CDebugService *target : s_services)
        {
            if (target && !target->ended && target->callbacks.m_shutdown)
            {
                target->callbacks.m_shutdown->ShutdownService(0);
            }
        }
        Join();
    }

    CDebugRun(const CDebugRun &) = delete;
    CDebugRun &operator=(const CDebugRun &) = delete;

    void Join()
    {
        if (m_thread.joinable())
        {
            m_thread.join();
        }
    }

    std::atomic<bool> m_returned;
    std::atomic<DWORD> m_threadId{0};
    std::atomic<DWORD> m_exitCode;

private:
    std::thread m_thread;
};

class DebugRun : public ::testing::Test
{
protected:
    DebugRun() : m_scm(1)
    {
        m_scm.SetDebugMode(L"/debug", L"");
    }

    ~DebugRun() override
    {
        s_services[0] = s_services[1] = nullptr;
    }

    Service::CServiceControlManagerInterface m_scm;
};

// A pulse reaches only a handler that is already waiting, and the handler's thread may not
// have reached its wait yet: pulse until the control has been seen.
bool PulseUntil(const std::wstring &baseName, const std::function<bool()> &seen)
{
    const Win32::CGlobalName name(baseName);
    const Win32::CManualResetEvent event(nullptr, Win32::CEvent::NonSignalled, &name);
    for (int attempt = 0; attempt < 20; ++attempt)
    {
        ::PulseEvent(event.GetWaitHandle());
        if (TestSupport::WaitUntil(seen, 500))
        {
            return true;
        }
    }
    return false;
}

} // namespace

TEST_F(DebugRun, OneServiceRunsOnTheCallingThreadAndFollowsTheGlobalEvents)
{
    CDebugService one(m_scm);
    s_services[0] = &one;
    const std::wstring name = one.service.GetServiceName();
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t *>(name.c_str()), &DebugEntry}, {nullptr, nullptr}};
    {
        CDebugRun run(m_scm, table);
        ASSERT_TRUE(TestSupport::WaitUntil([&] { return one.State() == SERVICE_RUNNING; }));
        const std::wstring pause = one.service.GetPauseEventBaseName();
        ASSERT_TRUE(PulseUntil(pause, [&] { return one.State() != SERVICE_RUNNING; }));
        ASSERT_TRUE(TestSupport::WaitUntil([&] { return one.State() == SERVICE_PAUSED; }));
        ASSERT_TRUE(PulseUntil(pause, [&] { return one.State() != SERVICE_PAUSED; }));
        ASSERT_TRUE(TestSupport::WaitUntil([&] { return one.State() == SERVICE_RUNNING; }));
        ASSERT_TRUE(PulseUntil(one.service.GetShutdownEventBaseName(), [&] {
            return one.State() == SERVICE_STOP_PENDING || one.State() == SERVICE_STOPPED;
        }));
        run.Join();
        EXPECT_TRUE(run.m_returned);
        // The platform's dispatcher would have failed outside a service process.
        EXPECT_EQ(0u, run.m_exitCode);
        EXPECT_EQ(run.m_threadId, one.entryThread);
    }
    EXPECT_EQ(std::vector<std::wstring>{name}, one.arguments);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), one.State());
    EXPECT_EQ((std::vector<std::wstring>{L"Start", L"Continue", L"Pause", L"Continue", L"Stop 1", L"Shutdown"}),
              one.callbacks.Log());
}

TEST_F(DebugRun, TwoServicesRunAtOnceAndTheDispatcherWaitsForBoth)
{
    CDebugService first(m_scm);
    CDebugService second(m_scm);
    s_services[0] = &first;
    s_services[1] = &second;
    // Each start waits for the other's: run one after the other, they would time out.
    Win32::CManualResetEvent started[2];
    std::atomic<bool> sawOther[2] = {{false}, {false}};
    for (int i = 0; i < 2; ++i)
    {
        s_services[i]->callbacks.m_onCall = [&, i](const std::wstring &call) {
            if (call == L"Start")
            {
                started[i].Set();
                sawOther[i] = started[1 - i].Wait(10000);
            }
        };
    }
    const std::wstring firstName = first.service.GetServiceName();
    const std::wstring secondName = second.service.GetServiceName();
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t *>(firstName.c_str()), &DebugEntry},
                                    {const_cast<wchar_t *>(secondName.c_str()), &DebugEntry},
                                    {nullptr, nullptr}};
    {
        CDebugRun run(m_scm, table);
        ASSERT_TRUE(TestSupport::WaitUntil(
            [&] { return first.State() == SERVICE_RUNNING && second.State() == SERVICE_RUNNING; }));
        first.callbacks.m_shutdown->ShutdownService(0);
        ASSERT_TRUE(TestSupport::WaitUntil([&] { return first.ended.load(); }));
        EXPECT_FALSE(run.m_returned);
        second.callbacks.m_shutdown->ShutdownService(0);
        run.Join();
        EXPECT_TRUE(run.m_returned);
        EXPECT_TRUE(second.ended);
        EXPECT_NE(run.m_threadId, first.entryThread);
        EXPECT_NE(run.m_threadId, second.entryThread);
        EXPECT_NE(first.entryThread, second.entryThread);
    }
    EXPECT_TRUE(sawOther[0]);
    EXPECT_TRUE(sawOther[1]);
    EXPECT_EQ(std::vector<std::wstring>{secondName}, second.arguments);
    for (CDebugService *target : {&first, &second})
    {
        EXPECT_EQ((std::vector<std::wstring>{L"Start", L"Continue", L"Stop 0", L"Shutdown"}),
                  target->callbacks.Log());
    }
}

TEST_F(DebugRun, EmptyTableReturnsAtOnce)
{
    SERVICE_TABLE_ENTRYW none[] = {{nullptr, nullptr}};
    EXPECT_EQ(0u, m_scm.StartDispatcher(none));
    // An entry without a function ends the table too.
    wchar_t name[] = L"Nothing";
    SERVICE_TABLE_ENTRYW noEntry[] = {{name, nullptr}, {name, &DebugEntry}, {nullptr, nullptr}};
    Service::CDebugServiceDispatcher::Instance().DispatchServices(noEntry);
}
