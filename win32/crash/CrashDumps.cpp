#include "win32/crash/CrashDumps.h"

#include "win32/crash/MiniDumper.h"
#include "win32/files/DirectorySearch.h"
#include "win32/handles/UniqueOwners.h"
#include "win32/log/DebugTrace.h"

namespace CorvaneTools {
namespace Win32 {

namespace {

class CReadLockOwner
{
public:
    explicit CReadLockOwner(CSingleWriterMultipleReaderLock &lock) : m_lock(lock)
    {
        m_lock.EnterToRead();
    }

    ~CReadLockOwner()
    {
        try
        {
            m_lock.Leave();
        }
        catch (...)
        {
        }
    }

    CReadLockOwner(const CReadLockOwner &) = delete;
    CReadLockOwner &operator=(const CReadLockOwner &) = delete;

private:
    CSingleWriterMultipleReaderLock &m_lock;
};

// Names tried for one dump: the planted file and the one after it, and one more.
const int s_namesTried = 3;

// Listed rather than asked for its attributes: a link to nowhere has none, but is listed.
// Wine 8 hides such a link from listings too (measured); the dump is then not written at
// all, as the name is not free and no other is tried.
bool IsTaken(const std::wstring &name)
{
    WIN32_FIND_DATAW found;
    return CUniqueFindHandle(::FindFirstFileW(name.c_str(), &found)).IsValid();
}

// A dumper never writes over an existing file: a file (or link) at a dump's name is
// someone else's, left alone, and the next name is tried while the naming gives another.
// False, with name the last one tried, when no dump was written.
template <typename TWrite>
bool WriteUnderFreeName(ICreateMiniDumps &dumper, TWrite write, std::wstring &name)
{
    for (int tried = 0; tried < s_namesTried; ++tried)
    {
        const std::wstring previous = name;
        name = dumper.GetDumpFileName();
        if (tried > 0 && name == previous)
        {
            CDebugTrace::Log(L"Crash dump not written: the dump file names give no other name than \"" + name + L"\"");
            return false;
        }
        if (write(name))
        {
            return true;
        }
        if (!IsTaken(name))
        {
            return false;
        }
        CDebugTrace::Log(L"Crash dump not written to \"" + name + L"\": a file of that name is there already");
    }
    return false;
}

} // namespace

CCrashDumpPolicy::CCrashDumpPolicy()
    : m_customDumper(nullptr), m_maximumDumps(10), m_existingDumps(0), m_attempts(0), m_exitThreshold(0),
      m_tooManyCallback(nullptr)
{
}

CCrashDumpPolicy &CCrashDumpPolicy::Instance()
{
    static CCrashDumpPolicy instance;
    return instance;
}

void CCrashDumpPolicy::SetCrashDumper(ICreateMiniDumps *dumper)
{
    m_lock.EnterToWrite();
    m_customDumper = dumper;
    m_lock.Leave();
}

void CCrashDumpPolicy::InitialiseCrashDumps(ICreateMiniDumps *dumper, long maximumDumps, bool skipExistingCheck,
                                            DWORD exitThreshold, TooManyDumpsCallback callback)
{
    SetCrashDumper(dumper);
    m_maximumDumps = maximumDumps;
    m_exitThreshold = exitThreshold;
    m_tooManyCallback = callback;
    if (m_maximumDumps == 0 || skipExistingCheck)
    {
        return;
    }
    CountExistingDumps();
}

void CCrashDumpPolicy::CountExistingDumps()
{
    std::wstring prefix;
    {
        CReadLockOwner lock(m_lock);
        prefix = m_customDumper ? m_customDumper->GetDumpFileNamePrefix() : CMiniDumper(0, 255).GetDumpFileNamePrefix();
    }
    CDirectorySearch search(prefix + L"-*.*");
    while (search.NextFile())
    {
        CDebugTrace::Log(L"Existing dump file: " + search.GetFileName());
        ++m_existingDumps;
        --m_maximumDumps;
    }
    if (m_maximumDumps > 0)
    {
        if (m_existingDumps > 0)
        {
            CDebugTrace::Log(L"Max dumps to produce reduced to " + std::to_wstring(m_maximumDumps) + L" due to " +
                             std::to_wstring(m_existingDumps) + L" existing dump files");
        }
    }
    else
    {
        m_maximumDumps = -1;
        CDebugTrace::Log(L"NO CRASH DUMPS MAY NOT BE PRODUCED - Max dumps to produce reduced to 0 due to existing "
                         L"dump files");
    }
}

bool CCrashDumpPolicy::GenerateCrashDump(EXCEPTION_POINTERS *information, bool count)
{
    if (!count)
    {
        return WriteDump(information);
    }
    const long attempt = ::InterlockedIncrement(&m_attempts);
    if (m_maximumDumps == 0 || attempt <= m_maximumDumps)
    {
        return WriteDump(information);
    }
    Refuse(attempt);
    return false;
}

void CCrashDumpPolicy::Refuse(long attempt)
{
    const std::wstring maximum = std::to_wstring(m_maximumDumps);
    const std::wstring existing = std::to_wstring(m_existingDumps);
    if (m_existingDumps == 0)
    {
        CDebugTrace::Log(L"Did not create crash dump. Already created: " + maximum + L" (attempt: " +
                         std::to_wstring(attempt) + L")");
    }
    else if (m_maximumDumps == -1)
    {
        CDebugTrace::Log(L"Did not create crash dump. " + existing + L" already existed");
    }
    else
    {
        CDebugTrace::Log(L"Did not create crash dump. Already created: " + maximum + L" and " + existing +
                         L" already existed");
    }
    if (m_exitThreshold != 0 && attempt - m_maximumDumps > static_cast<long>(m_exitThreshold))
    {
        if (!m_tooManyCallback)
        {
            CDebugTrace::Log(L"Too many mini dumps created, exiting with exit code 1.");
            // A process that keeps crashing may hold any lock: no exit-time cleanup runs.
            ::ExitProcess(1);
        }
        m_tooManyCallback();
    }
}

bool CCrashDumpPolicy::WriteDump(EXCEPTION_POINTERS *information)
{
    CReadLockOwner lock(m_lock);
    std::wstring name;
    if (m_customDumper)
    {
        ICreateMiniDumps &dumper = *m_customDumper;
        if (WriteUnderFreeName(
                dumper, [&](const std::wstring &free) { return dumper.CreateMiniDump(free, information); }, name))
        {
            CDebugTrace::Log(L"Custom crash dump created: " + name + L"\"");
        }
        return true;
    }
    CMiniDumper dumper(0, 255);
    if (WriteUnderFreeName(
            dumper, [&](const std::wstring &free) { return dumper.WriteDump(2, free, information); }, name))
    {
        CDebugTrace::Log(L"Default crash dump created: " + name + L"\"");
        return true;
    }
    CDebugTrace::Log(L"Failed to create crash dump");
    return false;
}

long CCrashDumpPolicy::GetMaximumDumps() const
{
    return m_maximumDumps;
}

DWORD CCrashDumpPolicy::GetExistingDumps() const
{
    return m_existingDumps;
}

void SetCrashDumper(ICreateMiniDumps *dumper)
{
    CCrashDumpPolicy::Instance().SetCrashDumper(dumper);
}

void InitialiseCrashDumps(ICreateMiniDumps *dumper, long maximumDumps, bool skipExistingCheck, DWORD exitThreshold,
                          TooManyDumpsCallback callback)
{
    CCrashDumpPolicy::Instance().InitialiseCrashDumps(dumper, maximumDumps, skipExistingCheck, exitThreshold,
                                                      callback);
}

bool GenerateCrashDump(EXCEPTION_POINTERS *information, bool count)
{
    return CCrashDumpPolicy::Instance().GenerateCrashDump(information, count);
}

} // namespace Win32
} // namespace CorvaneTools
