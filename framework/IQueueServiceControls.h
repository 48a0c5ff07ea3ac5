#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace Service {

// Where a dispatched control goes: the queue the service's main routine takes its
// controls from, in the order they came.
class IQueueServiceControls
{
public:
    virtual void QueueControl(DWORD control, DWORD eventType, void *eventData) = 0;
    virtual ~IQueueServiceControls() = default;
};

} // namespace Service
} // namespace CorvaneTools
