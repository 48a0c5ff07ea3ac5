#pragma once

#include "framework/IDispatchServiceControls.h"
#include "framework/IQueueServiceControls.h"
#include "framework/IReportServiceStatus.h"
#include "framework/IShutdownService.h"

namespace CorvaneTools {
namespace Service {

// Turns a control into its pending state and queues it for the service's main routine.
// Lives on the stack of one main routine or one control-handler call.
class CServiceControlDispatcher : public IDispatchServiceControls, public IShutdownService
{
public:
    // Neither is owned.
    CServiceControlDispatcher(IReportServiceStatus &status, IQueueServiceControls &queue);

    CServiceControlDispatcher(const CServiceControlDispatcher &) = delete;
    CServiceControlDispatcher &operator=(const CServiceControlDispatcher &) = delete;

    // May block until the previous pending state has become final.
    void DispatchControl(DWORD control, DWORD eventType, void *eventData) override;
    void DispatchControl(DWORD control, DWORD eventType) override;
    void DispatchControl(DWORD control) override;

    void ShutdownService(DWORD exitCode) override;

    // The wait hint of every pending state a control asks for.
    static const DWORD PendingWaitHintMs = 2000;

private:
    IReportServiceStatus &m_status;
    IQueueServiceControls &m_queue;
};

} // namespace Service
} // namespace CorvaneTools
