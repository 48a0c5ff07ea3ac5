#include "win32/sync/SingleWriterMultipleReaderLock.h"

#include "win32/errors/Exception.h"

namespace CorvaneTools {
namespace Win32 {

// Counters change only under the guard; semaphores are waited on and released outside it,
// so that a waiter never sleeps holding the guard.

CSingleWriterMultipleReaderLock::CSingleWriterMultipleReaderLock()
    : m_waitingReaders(0), m_waitingWriters(0), m_active(0)
{
}

void CSingleWriterMultipleReaderLock::EnterToRead()
{
    bool wait = false;
    {
        CLockableObject::Owner lock(m_guard);
        if (m_waitingWriters != 0 || m_active < 0)
        {
            ++m_waitingReaders;
            wait = true;
        }
        else
        {
            ++m_active;
        }
    }
    if (wait)
    {
        m_readers.Wait();
    }
}

bool CSingleWriterMultipleReaderLock::TryEnterToRead()
{
    if (!m_guard.TryEnter())
    {
        return false;
    }
    bool entered = false;
    if (m_waitingWriters == 0 && m_active >= 0)
    {
        ++m_active;
        entered = true;
    }
    m_guard.Leave();
    return entered;
}

void CSingleWriterMultipleReaderLock::EnterToWrite()
{
    bool wait = false;
    {
        CLockableObject::Owner lock(m_guard);
        if (m_active != 0)
        {
            ++m_waitingWriters;
            wait = true;
        }
        else
        {
            m_active = -1;
        }
    }
    if (wait)
    {
        m_writers.Wait();
    }
}

bool CSingleWriterMultipleReaderLock::TryEnterToWrite()
{
    if (!m_guard.TryEnter())
    {
        return false;
    }
    bool entered = false;
    if (m_active == 0)
    {
        m_active = -1;
        entered = true;
    }
    m_guard.Leave();
    return entered;
}

void CSingleWriterMultipleReaderLock::ConvertFromWriteToRead()
{
    unsigned long wakeReaders = 0;
    {
        CLockableObject::Owner lock(m_guard);
        if (m_active != -1)
        {
            throw CException(L"CSingleWriterMultipleReaderLock::ConvertFromWriteToRead()",
                             L"Unexpected, readers already have control");
        }
        wakeReaders = m_waitingReaders;
        m_active = static_cast<long>(wakeReaders) + 1;
        m_waitingReaders = 0;
    }
    if (wakeReaders > 0)
    {
        m_readers.Increment(static_cast<LONG>(wakeReaders));
    }
}

void CSingleWriterMultipleReaderLock::Leave()
{
    CSemaphore *wake = nullptr;
    unsigned long wakeCount = 0;
    {
        CLockableObject::Owner lock(m_guard);
        if (m_active > 0)
        {
            --m_active;
        }
        else if (m_active < 0)
        {
            ++m_active;
        }
        else
        {
            throw CException(L"CSingleWriterMultipleReaderLock::Leave()", L"Lock is not currently locked!");
        }

        if (m_active == 0)
        {
            if (m_waitingWriters > 0)
            {
                m_active = -1;
                --m_waitingWriters;
                wake = &m_writers;
                wakeCount = 1;
            }
            else if (m_waitingReaders > 0)
            {
                m_active = static_cast<long>(m_waitingReaders);
                wakeCount = m_waitingReaders;
                m_waitingReaders = 0;
                wake = &m_readers;
            }
        }
    }
    if (wake)
    {
        wake->Increment(static_cast<LONG>(wakeCount));
    }
}

long CSingleWriterMultipleReaderLock::GetActiveCount()
{
    CLockableObject::Owner lock(m_guard);
    return m_active;
}

unsigned long CSingleWriterMultipleReaderLock::GetWaitingReaders()
{
    CLockableObject::Owner lock(m_guard);
    return m_waitingReaders;
}

unsigned long CSingleWriterMultipleReaderLock::GetWaitingWriters()
{
    CLockableObject::Owner lock(m_guard);
    return m_waitingWriters;
}

} // namespace Win32
} // namespace CorvaneTools
