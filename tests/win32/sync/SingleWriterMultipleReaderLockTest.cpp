#include "win32/errors/Exception.h"
#include "win32/sync/Event.h"
#include "win32/sync/SingleWriterMultipleReaderLock.h"

#include "tests/support/CatchException.h"
#include "tests/win32/threads/ThreadTestSupport.h"

#include <gtest/gtest.h>

#include <memory>

using namespace CorvaneTools::Win32;
using ThreadTestSupport::Eventually;
using ThreadTestSupport::TestTimeoutMs;

namespace {

// A thread that takes the lock one way, reports it, and leaves when told to.
class CLockUser : private IRunnable
{
public:
    enum Mode
    {
        Read,
        Write,
    };

    CLockUser(CSingleWriterMultipleReaderLock &lock, Mode mode) : m_lock(lock), m_mode(mode), m_thread(*this)
    {
        m_thread.Start();
    }

    ~CLockUser()
    {
        m_leave.Set();
        // Stuck in the lock after a failed test: it must not outlive what it refers to.
        if (!m_thread.Wait(TestTimeoutMs))
        {
            m_thread.Terminate(1);
        }
    }

    bool HasEntered(DWORD timeoutMs = 0) const
    {
        return m_entered.Wait(timeoutMs);
    }

    // Lets it leave and waits until it has.
    bool Leave()
    {
        m_leave.Set();
        return m_thread.Wait(TestTimeoutMs);
    }

private:
    unsigned int Run() override
    {
        if (m_mode == Read)
        {
            m_lock.EnterToRead();
        }
        else
        {
            m_lock.EnterToWrite();
        }
        m_entered.Set();
        m_leave.Wait();
        m_lock.Leave();
        return 0;
    }

    CSingleWriterMultipleReaderLock &m_lock;
    const Mode m_mode;
    CManualResetEvent m_entered;
    CManualResetEvent m_leave;
    CThread m_thread;
};

} // namespace

TEST(SingleWriterMultipleReaderLockTest, WaitingWriterGoesBeforeALaterReader)
{
    CSingleWriterMultipleReaderLock lock;
    CLockUser reader1(lock, CLockUser::Read);
    CLockUser reader2(lock, CLockUser::Read);
    ASSERT_TRUE(reader1.HasEntered(TestTimeoutMs));
    ASSERT_TRUE(reader2.HasEntered(TestTimeoutMs));
    EXPECT_EQ(2, lock.GetActiveCount());

    CLockUser writer(lock, CLockUser::Write);
    ASSERT_TRUE(Eventually([&] { return lock.GetWaitingWriters() == 1; }));
    CLockUser reader3(lock, CLockUser::Read);
    ASSERT_TRUE(Eventually([&] { return lock.GetWaitingReaders() == 1; }));
    EXPECT_FALSE(lock.TryEnterToRead());
    EXPECT_FALSE(writer.HasEntered());
    EXPECT_FALSE(reader3.HasEntered());

    ASSERT_TRUE(reader1.Leave());
    EXPECT_EQ(1, lock.GetActiveCount());
    EXPECT_FALSE(writer.HasEntered());

    ASSERT_TRUE(reader2.Leave());
    ASSERT_TRUE(writer.HasEntered(TestTimeoutMs));
    EXPECT_EQ(-1, lock.GetActiveCount());
    EXPECT_EQ(0u, lock.GetWaitingWriters());
    EXPECT_EQ(1u, lock.GetWaitingReaders());
    EXPECT_FALSE(reader3.HasEntered());

    ASSERT_TRUE(writer.Leave());
    ASSERT_TRUE(reader3.HasEntered(TestTimeoutMs));
    EXPECT_EQ(1, lock.GetActiveCount());
    EXPECT_EQ(0u, lock.GetWaitingReaders());

    ASSERT_TRUE(reader3.Leave());
    EXPECT_EQ(0, lock.GetActiveCount());
}

TEST(SingleWriterMultipleReaderLockTest, LeavingWriterWakesOneWriterBeforeAllReaders)
{
    CSingleWriterMultipleReaderLock lock;
    lock.EnterToWrite();
    CLockUser readerA(lock, CLockUser::Read);
    CLockUser readerB(lock, CLockUser::Read);
    ASSERT_TRUE(Eventually([&] { return lock.GetWaitingReaders() == 2; }));
    CLockUser writer(lock, CLockUser::Write);
    ASSERT_TRUE(Eventually([&] { return lock.GetWaitingWriters() == 1; }));

    lock.Leave();
    ASSERT_TRUE(writer.HasEntered(TestTimeoutMs));
    EXPECT_EQ(-1, lock.GetActiveCount());
    EXPECT_FALSE(readerA.HasEntered());
    EXPECT_FALSE(readerB.HasEntered());

    ASSERT_TRUE(writer.Leave());
    ASSERT_TRUE(readerA.HasEntered(TestTimeoutMs));
    ASSERT_TRUE(readerB.HasEntered(TestTimeoutMs));
    EXPECT_EQ(2, lock.GetActiveCount());
    EXPECT_EQ(0u, lock.GetWaitingReaders());
}

TEST(SingleWriterMultipleReaderLockTest, ConvertFromWriteToReadLetsTheWaitingReadersIn)
{
    CSingleWriterMultipleReaderLock lock;
    lock.EnterToWrite();
    CLockUser readerA(lock, CLockUser::Read);
    CLockUser readerB(lock, CLockUser::Read);
    ASSERT_TRUE(Eventually([&] { return lock.GetWaitingReaders() == 2; }));

    lock.ConvertFromWriteToRead();
    EXPECT_EQ(3, lock.GetActiveCount());
    EXPECT_EQ(0u, lock.GetWaitingReaders());
    ASSERT_TRUE(readerA.HasEntered(TestTimeoutMs));
    ASSERT_TRUE(readerB.HasEntered(TestTimeoutMs));

    // Still a reader: another reader gets in, a writer does not.
    EXPECT_TRUE(lock.TryEnterToRead());
    EXPECT_FALSE(lock.TryEnterToWrite());
    lock.Leave();
    lock.Leave();
    ASSERT_TRUE(readerA.Leave());
    ASSERT_TRUE(readerB.Leave());
    EXPECT_EQ(0, lock.GetActiveCount());
    EXPECT_TRUE(lock.TryEnterToWrite());
    lock.ConvertFromWriteToRead();
    EXPECT_EQ(1, lock.GetActiveCount());
    lock.Leave();
}

TEST(SingleWriterMultipleReaderLockTest, ConvertWithoutTheWriteLockThrows)
{
    CSingleWriterMultipleReaderLock lock;
    for (int readers = 0; readers < 2; ++readers)
    {
        const CException e = TestSupport::CatchException<CException>([&] { lock.ConvertFromWriteToRead(); });
        EXPECT_EQ(L"CSingleWriterMultipleReaderLock::ConvertFromWriteToRead()", e.GetWhere());
        EXPECT_EQ(L"Unexpected, readers already have control", e.GetMessage());
        EXPECT_EQ(readers, lock.GetActiveCount());
        lock.EnterToRead();
    }
}

TEST(SingleWriterMultipleReaderLockTest, LeaveOnAFreeLockThrows)
{
    CSingleWriterMultipleReaderLock lock;
    lock.EnterToRead();
    lock.Leave();
    const CException e = TestSupport::CatchException<CException>([&] { lock.Leave(); });
    EXPECT_EQ(L"CSingleWriterMultipleReaderLock::Leave()", e.GetWhere());
    EXPECT_EQ(L"Lock is not currently locked!", e.GetMessage());
    EXPECT_EQ(0, lock.GetActiveCount());
}

TEST(SingleWriterMultipleReaderLockTest, TryEnterRefusesWhatWouldBlock)
{
    CSingleWriterMultipleReaderLock lock;
    EXPECT_TRUE(lock.TryEnterToRead());
    EXPECT_TRUE(lock.TryEnterToRead());
    EXPECT_FALSE(lock.TryEnterToWrite());
    lock.Leave();
    lock.Leave();
    EXPECT_TRUE(lock.TryEnterToWrite());
    EXPECT_FALSE(lock.TryEnterToRead());
    EXPECT_FALSE(lock.TryEnterToWrite());
    lock.Leave();
    EXPECT_EQ(0, lock.GetActiveCount());
}
