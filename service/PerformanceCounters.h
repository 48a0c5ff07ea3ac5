#pragma once

#include "counters/TcpCounterSchema.h"
#include "perfmon/PerformanceDataSchema.h"
#include "perfmon/PerformanceInstanceSet.h"
#include "perfmon/PerformanceMonitorCounters.h"

#include <memory>
#include <string>

namespace CorvaneTools {
namespace TessalyService {

// The service's TCP counter set: the schema, and when the counters are installed and the
// installed schema is this one, a setter per counter into the shared block. Without
// counters (not an administrator, not installed) every setter does nothing.
class CPerformanceCounters
{
public:
    CPerformanceCounters(bool isAdministrator, SECURITY_ATTRIBUTES *securityAttributes);
    // Under another counter-set name, so that tests need not share the installed one.
    CPerformanceCounters(bool isAdministrator, SECURITY_ATTRIBUTES *securityAttributes,
                         const std::wstring &counterSetName);
    // Readers see zeros once the service has gone.
    ~CPerformanceCounters();

    CPerformanceCounters(const CPerformanceCounters &) = delete;
    CPerformanceCounters &operator=(const CPerformanceCounters &) = delete;

    void SetClosed(DWORD value, bool isIPv4);
    void SetListen(DWORD value, bool isIPv4);
    void SetSynSent(DWORD value, bool isIPv4);
    void SetSynRcvd(DWORD value, bool isIPv4);
    void SetEstablished(DWORD value, bool isIPv4);
    void SetFinWait1(DWORD value, bool isIPv4);
    void SetFinWait2(DWORD value, bool isIPv4);
    void SetCloseWait(DWORD value, bool isIPv4);
    void SetClosing(DWORD value, bool isIPv4);
    void SetLastAck(DWORD value, bool isIPv4);
    void SetDeleteTCB(DWORD value, bool isIPv4);
    // Also raises the highest TIME_WAIT count of this run when exceeded.
    void SetTimeWait(int value, bool isIPv4);
    void SetMaxUserPort(DWORD value);
    void SetTcpTimedWaitDelay(DWORD value);
    // The process connections object's instances, whole; false when the block's lock was
    // not had in time and they were not published.
    bool PublishProcessConnections(const CorvaneTools::PerfMon::CPerformanceInstanceSet &instances);

    const CorvaneTools::PerfMon::CPerformanceDataSchema &GetSchema() const;
    bool IsPublishing() const;

    // Null when not an administrator or not installed; throws when the installed schema
    // is another one.
    static std::unique_ptr<CorvaneTools::PerfMon::CPerformanceMonitorCounters> CreateCountersIfRequired(
        bool isAdministrator, const std::wstring &counterSetName,
        const CorvaneTools::PerfMon::CPerformanceDataSchema &schema, SECURITY_ATTRIBUTES *securityAttributes);

private:
    void Set(Counters::TcpCounter counter, DWORD value);
    void SetState(Counters::TcpCounter ipv4Counter, DWORD value, bool isIPv4);

    CorvaneTools::PerfMon::CPerformanceDataSchema m_schema;
    std::unique_ptr<CorvaneTools::PerfMon::CPerformanceMonitorCounters> m_counters;
    CorvaneTools::PerfMon::CPerformanceMonitorCounters::ObjectId m_object;
    CorvaneTools::PerfMon::CPerformanceMonitorCounters::ObjectId m_processObject;
    CorvaneTools::PerfMon::CPerformanceMonitorCounters::CounterHandle m_handles[Counters::NumTcpCounters];
    int m_maxTimeWaitIPv4;
    int m_maxTimeWaitIPv6;
};

} // namespace TessalyService
} // namespace CorvaneTools
