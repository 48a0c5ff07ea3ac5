#include "service/PerformanceCounters.h"

#include "counters/ProcessConnectionsSchema.h"
#include "perfmon/PerformanceCounterInstaller.h"
#include "perfmon/PerformanceDataBlockNames.h"
#include "win32/errors/Exception.h"

namespace CorvaneTools {
namespace TessalyService {

using namespace Counters;
using CorvaneTools::PerfMon::CPerformanceCounterInstaller;
using CorvaneTools::PerfMon::CPerformanceDataBlockNames;
using CorvaneTools::PerfMon::CPerformanceDataSchema;
using CorvaneTools::PerfMon::CPerformanceMonitorCounters;

namespace {

// Distance from an IPv4 counter to its IPv6 twin.
const int IPv6Offset = IPv6Closed - IPv4Closed;

} // namespace

CPerformanceCounters::CPerformanceCounters(bool isAdministrator, SECURITY_ATTRIBUTES *securityAttributes)
    : CPerformanceCounters(isAdministrator, securityAttributes, TcpCounterSetName)
{
}

CPerformanceCounters::CPerformanceCounters(bool isAdministrator, SECURITY_ATTRIBUTES *securityAttributes,
                                           const std::wstring &counterSetName)
    : m_schema(L"009"), m_object(nullptr), m_processObject(nullptr), m_handles(), m_maxTimeWaitIPv4(0), m_maxTimeWaitIPv6(0)
{
    BuildTcpCounterSchema(m_schema);
    m_counters = CreateCountersIfRequired(isAdministrator, counterSetName, m_schema, securityAttributes);
    if (m_counters)
    {
        m_object = m_counters->GetPerformanceObject(TcpCounterObjectName);
        m_processObject = m_counters->GetInstanceObject(ProcessConnectionsObjectName);
        for (int counter = 0; counter < NumTcpCounters; ++counter)
        {
            m_handles[counter] =
                m_counters->GetPerformanceCounter(m_object, GetTcpCounterName(static_cast<TcpCounter>(counter)));
        }
    }
}

CPerformanceCounters::~CPerformanceCounters()
{
    if (m_counters)
    {
        try
        {
            m_counters->ResetPerformanceObject(m_object);
            m_counters->ResetPerformanceObject(m_processObject);
        }
        catch (...)
        {
        }
    }
}

std::unique_ptr<CPerformanceMonitorCounters> CPerformanceCounters::CreateCountersIfRequired(
    bool isAdministrator, const std::wstring &counterSetName, const CPerformanceDataSchema &schema,
    SECURITY_ATTRIBUTES *securityAttributes)
{
    if (!isAdministrator)
    {
        return nullptr;
    }
    CPerformanceCounterInstaller installer;
    if (!installer.IsInstalled(counterSetName))
    {
        return nullptr;
    }
    if (schema.GetChecksum() != installer.GetSchemaChecksum(counterSetName))
    {
        throw CorvaneTools::Win32::CException(
            L"CPerformanceCounters::CreateCountersIfRequired()",
            L"Performance counter schema mismatch; these counters aren't the ones that are installed.");
    }
    const DWORD firstTitleIndex = installer.FirstCounterIndex(counterSetName);
    return std::unique_ptr<CPerformanceMonitorCounters>(new CPerformanceMonitorCounters(
        CPerformanceDataBlockNames::CounterSetBlock(counterSetName), schema, firstTitleIndex, securityAttributes));
}

void CPerformanceCounters::Set(TcpCounter counter, DWORD value)
{
    if (m_counters)
    {
        CPerformanceMonitorCounters::SetCounterValue(m_handles[counter], value);
    }
}

void CPerformanceCounters::SetState(TcpCounter ipv4Counter, DWORD value, bool isIPv4)
{
    Set(static_cast<TcpCounter>(isIPv4 ? ipv4Counter : ipv4Counter + IPv6Offset), value);
}

void CPerformanceCounters::SetClosed(DWORD value, bool isIPv4)
{
    SetState(IPv4Closed, value, isIPv4);
}

void CPerformanceCounters::SetListen(DWORD value, bool isIPv4)
{
    SetState(IPv4Listen, value, isIPv4);
}

void CPerformanceCounters::SetSynSent(DWORD value, bool isIPv4)
{
    SetState(IPv4SynSent, value, isIPv4);
}

void CPerformanceCounters::SetSynRcvd(DWORD value, bool isIPv4)
{
    SetState(IPv4SynRcvd, value, isIPv4);
}

void CPerformanceCounters::SetEstablished(DWORD value, bool isIPv4)
{
    SetState(IPv4Established, value, isIPv4);
}

void CPerformanceCounters::SetFinWait1(DWORD value, bool isIPv4)
{
    SetState(IPv4FinWait1, value, isIPv4);
}

void CPerformanceCounters::SetFinWait2(DWORD value, bool isIPv4)
{
    SetState(IPv4FinWait2, value, isIPv4);
}

void CPerformanceCounters::SetCloseWait(DWORD value, bool isIPv4)
{
    SetState(IPv4CloseWait, value, isIPv4);
}

void CPerformanceCounters::SetClosing(DWORD value, bool isIPv4)
{
    SetState(IPv4Closing, value, isIPv4);
}

void CPerformanceCounters::SetLastAck(DWORD value, bool isIPv4)
{
    SetState(IPv4LastAck, value, isIPv4);
}

void CPerformanceCounters::SetDeleteTCB(DWORD value, bool isIPv4)
{
    SetState(IPv4DeleteTCB, value, isIPv4);
}

void CPerformanceCounters::SetTimeWait(int value, bool isIPv4)
{
    SetState(IPv4TimeWait, static_cast<DWORD>(value), isIPv4);
    int &maximum = isIPv4 ? m_maxTimeWaitIPv4 : m_maxTimeWaitIPv6;
    if (value > maximum)
    {
        maximum = value;
        SetState(IPv4MaxTimeWait, static_cast<DWORD>(value), isIPv4);
    }
}

void CPerformanceCounters::SetMaxUserPort(DWORD value)
{
    Set(MaxUserPort, value);
}

void CPerformanceCounters::SetTcpTimedWaitDelay(DWORD value)
{
    Set(TcpTimedWaitDelay, value);
}

bool CPerformanceCounters::PublishProcessConnections(const CorvaneTools::PerfMon::CPerformanceInstanceSet &instances)
{
    return !m_counters || m_counters->PublishInstances(m_processObject, instances);
}

const CPerformanceDataSchema &CPerformanceCounters::GetSchema() const
{
    return m_schema;
}

bool CPerformanceCounters::IsPublishing() const
{
    return m_counters != nullptr;
}

} // namespace TessalyService
} // namespace CorvaneTools
