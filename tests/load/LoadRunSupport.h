#pragma once

// The installed service under load: readers of both architectures as real processes, a
// churn of loopback connections, and the service's polls counted from its log.
#include "tests/framework/ServiceQuery.h"
#include "tests/service/ServiceProgramSupport.h"
#include "tests/support/LoopbackConnections.h"
#include "tests/support/ProviderRegistrationLock.h"
#include "tests/support/TestNames.h"
#include "tools/PerformanceDataReader.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <sstream>
#include <thread>

namespace LoadRuns {

using namespace ServiceProgramSupport;
using CorvaneTools::Counters::TcpCounterSetName;
using CorvaneTools::Tools::CPerformanceDataReader;

inline ULONGLONG NowMs()
{
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return ((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10000;
}

// The service installed with a log and the given poll interval, started, and removed again
// with everything it left; the registration lock is held throughout.
class CInstalledService
{
public:
    explicit CInstalledService(const std::wstring &poll) : m_logs(L"TessalyLoad" + std::to_wstring(++s_runs))
    {
        RunProgram({L"/noMessages", L"/remove"});
        m_installed = RunProgram({L"/noMessages", L"/install", L"/poll", poll, L"/logPath", m_logs.Path()});
        m_manager.Reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        m_service.Reset(::OpenServiceW(m_manager.Get(), ServiceName, SERVICE_ALL_ACCESS));
        CPerformanceDataReader::ReadFirstCounter(TcpCounterSetName, m_object);
    }

    ~CInstalledService()
    {
        const SERVICE_STATUS_PROCESS status = TestSupport::QueryServiceStatus(m_service.Get());
        if (status.dwCurrentState != SERVICE_STOPPED && !Stop())
        {
            // Whatever happened, the next run needs the service gone.
            const HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId);
            if (process)
            {
                ::TerminateProcess(process, 1);
                ::WaitForSingleObject(process, 10000);
                ::CloseHandle(process);
            }
        }
        m_service.Reset();
        RunProgram({L"/noMessages", L"/remove"});
    }

    CInstalledService(const CInstalledService &) = delete;
    CInstalledService &operator=(const CInstalledService &) = delete;

    bool Installed() const
    {
        return m_installed == 0 && m_service.IsValid() && m_object != 0;
    }

    bool Start() const
    {
        return ::StartServiceW(m_service.Get(), 0, nullptr) && TestSupport::ReachesState(m_service.Get(), SERVICE_RUNNING);
    }

    bool Stop() const
    {
        return TestSupport::Control(m_service.Get(), SERVICE_CONTROL_STOP) &&
               TestSupport::ReachesState(m_service.Get(), SERVICE_STOPPED);
    }

    SERVICE_STATUS_PROCESS Status() const
    {
        return TestSupport::QueryServiceStatus(m_service.Get());
    }

    SC_HANDLE Handle() const
    {
        return m_service.Get();
    }

    DWORD Object() const
    {
        return m_object;
    }

    std::wstring LogFolder() const
    {
        return m_logs.Path();
    }

    std::wstring LogFile() const
    {
        return m_logs.Path() + L"\\CorvaneTessaly.log";
    }

    // Samples begun so far, by their first line.
    size_t Polls() const
    {
        size_t polls = 0;
        for (const std::string &line : LogMessages(LogFile()))
        {
            polls += IsSampleStart(line) ? 1 : 0;
        }
        return polls;
    }

    // The log's last lines, for a run that failed.
    void PrintLogTail(size_t count = 20) const
    {
        const std::vector<std::string> lines = LogMessages(LogFile());
        for (size_t n = lines.size() > count ? lines.size() - count : 0; n < lines.size(); ++n)
        {
            std::printf("  log: %s\n", lines[n].c_str());
        }
    }

    // Polls per second over the next milliseconds.
    double PollRate(DWORD milliseconds) const
    {
        const size_t before = Polls();
        const ULONGLONG start = NowMs();
        ::Sleep(milliseconds);
        return (Polls() - before) * 1000.0 / static_cast<double>(NowMs() - start);
    }

private:
    static inline int s_runs = 0;
    TestSupport::CProviderRegistrationLock m_lock;
    TestSupport::CScratchDirectory m_logs;
    DWORD m_installed = 0;
    DWORD m_object = 0;
    CorvaneTools::Service::CServiceHandle m_manager;
    CorvaneTools::Service::CServiceHandle m_service;
};

// Loopback connections opened and reset on another thread until destruction, so that the
// table changes between the service's samples: about 40 connections a second. Under Wine a
// far faster churn (500 a second) with ten readers querying leaves the service's table
// call waiting for ever: the platform's request to its network driver is never completed.
class CChurn
{
public:
    static const int ChurnPairs = 2;
    static const DWORD ChurnPauseMs = 50;

    CChurn() : m_thread([this] { Run(); })
    {
    }

    ~CChurn()
    {
        m_stop = true;
        m_thread.join();
    }

    CChurn(const CChurn &) = delete;
    CChurn &operator=(const CChurn &) = delete;

private:
    void Run()
    {
        while (!m_stop)
        {
            try
            {
                TestSupport::CLoopbackConnections connections(AF_INET);
                connections.AddEstablishedPairs(ChurnPairs);
                ::Sleep(ChurnPauseMs);
            }
            catch (const std::runtime_error &)
            {
                ::Sleep(100);
            }
        }
    }

    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// What one reader process said: its tally and when the kind of answer changed.
struct SReaderResult
{
    DWORD exitCode = STILL_ACTIVE;
    unsigned long queries = 0, failed = 0, absent = 0, zeros = 0, highHalf = 0;
    unsigned long long slowestUs = 0;
    unsigned long firstHandles = 0, lastHandles = 0;
    std::vector<std::pair<ULONGLONG, std::string>> changes;
};

// Readers of both architectures, each a process that queries the object until its count
// is done or, with a count of 0, until Finish.
class CReaderFleet
{
public:
    CReaderFleet(DWORD object, int perArchitecture, unsigned long queries)
        : m_stopName(TestSupport::UniqueName(L"Readers")),
          m_stop(::CreateEventW(nullptr, TRUE, FALSE, m_stopName.c_str()))
    {
        std::vector<std::wstring> args = {std::to_wstring(object), std::to_wstring(queries)};
        if (queries == 0)
        {
            args.push_back(L"/stop:" + m_stopName);
        }
        for (const wchar_t *architecture : {L"x64", L"x86"})
        {
            for (int n = 0; n < perArchitecture; ++n)
            {
                m_readers.emplace_back(new TestSupport::CChildProcess(
                    L"", args, Top() + L"\\build\\" + architecture + L"\\bin\\TessalyQueryLoop.exe"));
            }
        }
    }

    ~CReaderFleet()
    {
        ::SetEvent(m_stop);
        ::CloseHandle(m_stop);
    }

    CReaderFleet(const CReaderFleet &) = delete;
    CReaderFleet &operator=(const CReaderFleet &) = delete;

    const std::vector<std::unique_ptr<TestSupport::CChildProcess>> &Processes() const
    {
        return m_readers;
    }

    // Asks readers without a count to end, and collects every reader's result.
    std::vector<SReaderResult> Finish(DWORD timeoutMs = 600000)
    {
        ::SetEvent(m_stop);
        std::vector<SReaderResult> results;
        for (const auto &reader : m_readers)
        {
            SReaderResult result;
            result.exitCode = reader->Wait(timeoutMs);
            std::istringstream lines(result.exitCode == STILL_ACTIVE ? std::string() : reader->Output());
            std::string word;
            ULONGLONG at = 0;
            while (lines >> word)
            {
                if (word == "queries")
                {
                    lines >> result.queries >> word >> result.failed >> word >> result.absent >> word >>
                        result.zeros >> word >> result.highHalf >> word >> result.slowestUs >> word >>
                        result.firstHandles >> result.lastHandles;
                }
                else if (std::istringstream(word) >> at && lines >> word)
                {
                    result.changes.emplace_back(at, word);
                }
            }
            results.push_back(result);
        }
        return results;
    }

private:
    std::wstring m_stopName;
    HANDLE m_stop;
    std::vector<std::unique_ptr<TestSupport::CChildProcess>> m_readers;
};

// The fleet's results summed, printed as one line.
inline SReaderResult Sum(const std::vector<SReaderResult> &results, const char *run)
{
    SReaderResult sum;
    sum.exitCode = 0;
    for (const SReaderResult &result : results)
    {
        sum.exitCode = std::max(sum.exitCode, result.exitCode);
        sum.queries += result.queries;
        sum.failed += result.failed;
        sum.absent += result.absent;
        sum.zeros += result.zeros;
        sum.highHalf += result.highHalf;
        sum.slowestUs = result.slowestUs > sum.slowestUs ? result.slowestUs : sum.slowestUs;
    }
    std::printf("%s: %zu readers, %lu queries, %lu failed, %lu without the object, %lu all zeros, "
                "%lu values with a high half, slowest %.1f ms\n",
                run, results.size(), sum.queries, sum.failed, sum.absent, sum.zeros, sum.highHalf,
                sum.slowestUs / 1000.0);
    return sum;
}

} // namespace LoadRuns
