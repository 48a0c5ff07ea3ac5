#include "win32/errors/Win32Exception.h"
#include "win32/sync/Event.h"

#include "tests/support/CatchException.h"
#include "tests/support/TestNames.h"
#include "tests/win32/threads/ThreadTestSupport.h"

#include <gtest/gtest.h>

using namespace CorvaneTools::Win32;
using TestSupport::UniqueName;

TEST(EventTest, ZeroWaitLeavesAManualResetEventSignalled)
{
    CManualResetEvent event(CEvent::Signalled);
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.IsSignalled());
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    EXPECT_TRUE(event.IsSignalled());
}

TEST(EventTest, ZeroWaitConsumesTheSignalOfAnAutoResetEvent)
{
    CAutoResetEvent event(CEvent::Signalled);
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    EXPECT_TRUE(event.IsSignalled());
    EXPECT_FALSE(event.IsSignalled());
}

TEST(EventTest, NotSignalledAtCreationTimesOut)
{
    CManualResetEvent manual;
    CAutoResetEvent automatic;
    EXPECT_FALSE(manual.Wait(10));
    EXPECT_FALSE(automatic.Wait(10));

    CEvent event(nullptr, CEvent::ManualReset, CEvent::NonSignalled);
    EXPECT_FALSE(event.IsSignalled());
    event.Set();
    EXPECT_TRUE(event.IsSignalled());
    EXPECT_TRUE(event.IsSignalled());
}

TEST(EventTest, SetWakesAWaiterOnAnotherThread)
{
    CAutoResetEvent go;
    CAutoResetEvent done;
    auto thread = ThreadTestSupport::StartThread([&]() -> unsigned int {
        go.Wait();
        done.Set();
        return 0;
    });
    EXPECT_FALSE(done.Wait(0));
    go.Set();
    EXPECT_TRUE(done.Wait(ThreadTestSupport::TestTimeoutMs));
    EXPECT_EQ(0u, thread->ExitCode());
}

TEST(EventTest, WaitOnAnInvalidHandleThrows)
{
    const CSmartHandle invalid;
    const CException e = TestSupport::CatchException<CException>([&] { invalid.Wait(0); });
    EXPECT_EQ(L"IWaitable::Wait()", e.GetWhere());
    EXPECT_EQ(L"Handle is invalid", e.GetMessage());
}

TEST(EventTest, OpenOnlyOfAMissingEventThrowsFileNotFound)
{
    const CUnqualifiedName name(UniqueName(L"Missing"));
    const CWin32Exception e = TestSupport::CatchException<CWin32Exception>(
        [&] { CManualResetEvent event(nullptr, CEvent::NonSignalled, &name, OpenOnly); });
    EXPECT_EQ(L"CEvent::Create()", e.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), e.GetError());
}

TEST(EventTest, CreateOnlyOfAnExistingEventThrowsAlreadyExists)
{
    const CUnqualifiedName name(UniqueName(L"Existing"));
    CManualResetEvent first(nullptr, CEvent::NonSignalled, &name, CreateOnly);
    const CWin32Exception e = TestSupport::CatchException<CWin32Exception>(
        [&] { CManualResetEvent second(nullptr, CEvent::NonSignalled, &name, CreateOnly); });
    EXPECT_EQ(L"CEvent::Create()", e.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), e.GetError());
}

TEST(EventTest, OpeningModesShareTheNamedEvent)
{
    const CUnqualifiedName name(UniqueName(L"Shared"));
    CManualResetEvent created(nullptr, CEvent::NonSignalled, &name, CreateOnly);
    CManualResetEvent createdOrOpened(nullptr, CEvent::Signalled, &name, CreateOrOpen);
    CManualResetEvent opened(nullptr, CEvent::NonSignalled, &name, OpenOnly);

    // An existing event keeps its state whatever the opener asked for.
    EXPECT_FALSE(createdOrOpened.IsSignalled());
    created.Set();
    EXPECT_TRUE(opened.IsSignalled());
    opened.Reset();
    EXPECT_FALSE(createdOrOpened.IsSignalled());
}

TEST(EventTest, ANameTakenByAnotherKindOfObjectIsRefused)
{
    const CUnqualifiedName name(UniqueName(L"NotAnEvent"));
    const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name.GetName().c_str());
    ASSERT_NE(nullptr, mutex);
    const CWin32Exception e = TestSupport::CatchException<CWin32Exception>(
        [&] { CAutoResetEvent event(nullptr, CEvent::NonSignalled, &name, CreateOrOpen); });
    ::CloseHandle(mutex);
    EXPECT_EQ(L"CEvent::Create()", e.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), e.GetError());
}
