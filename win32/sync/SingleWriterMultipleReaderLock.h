#pragma once

#include "win32/sync/LockableObject.h"
#include "win32/sync/Semaphore.h"

namespace CorvaneTools {
namespace Win32 {

// Many readers or one writer. Writers have priority: once a writer waits, new readers queue
// behind it. Not re-entrant.
class CSingleWriterMultipleReaderLock
{
public:
    CSingleWriterMultipleReaderLock();

    CSingleWriterMultipleReaderLock(const CSingleWriterMultipleReaderLock &) = delete;
    CSingleWriterMultipleReaderLock &operator=(const CSingleWriterMultipleReaderLock &) = delete;

    void EnterToRead();
    bool TryEnterToRead();
    void EnterToWrite();
    bool TryEnterToWrite();

    // The writer becomes a reader and lets every waiting reader in with it.
    void ConvertFromWriteToRead();

    // Leaves whichever way the lock was entered.
    void Leave();

    // Readers holding the lock, -1 while a writer holds it, 0 when free.
    long GetActiveCount();
    unsigned long GetWaitingReaders();
    unsigned long GetWaitingWriters();

private:
    CLockableObject m_guard;
    CSemaphore m_readers;
    CSemaphore m_writers;
    unsigned long m_waitingReaders;
    unsigned long m_waitingWriters;
    long m_active;
};

} // namespace Win32
} // namespace CorvaneTools
