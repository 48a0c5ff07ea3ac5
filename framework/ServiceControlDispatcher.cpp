#include "framework/ServiceControlDispatcher.h"

namespace CorvaneTools {
namespace Service {

CServiceControlDispatcher::CServiceControlDispatcher(IReportServiceStatus &status, IQueueServiceControls &queue)
    : m_status(status), m_queue(queue)
{
}

void CServiceControlDispatcher::DispatchControl(DWORD control, DWORD eventType, void *eventData)
{
    switch (control)
    {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
        m_status.SetUltimateState(SERVICE_STOPPED, PendingWaitHintMs);
        break;
    case SERVICE_CONTROL_PAUSE:
        m_status.SetUltimateState(SERVICE_PAUSED, PendingWaitHintMs);
        break;
    case SERVICE_CONTROL_CONTINUE:
        m_status.SetUltimateState(SERVICE_RUNNING, PendingWaitHintMs);
        break;
    default:
        break;
    }
    m_queue.QueueControl(control, eventType, eventData);
}

void CServiceControlDispatcher::DispatchControl(DWORD control, DWORD eventType)
{
    DispatchControl(control, eventType, nullptr);
}

void CServiceControlDispatcher::DispatchControl(DWORD control)
{
    DispatchControl(control, 0, nullptr);
}

void CServiceControlDispatcher::ShutdownService(DWORD exitCode)
{
    if (exitCode != 0)
    {
        m_status.ServiceStoppedWithServiceSpecificError(exitCode);
    }
    else
    {
        m_status.SetUltimateState(SERVICE_STOPPED, PendingWaitHintMs);
    }
    m_queue.QueueControl(SERVICE_CONTROL_STOP, 0, nullptr);
}

} // namespace Service
} // namespace CorvaneTools
