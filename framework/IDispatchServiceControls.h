#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace Service {

// Turns a control into its pending state and queues it for the service's main routine.
class IDispatchServiceControls
{
public:
    virtual void DispatchControl(DWORD control, DWORD eventType, void *eventData) = 0;
    virtual void DispatchControl(DWORD control, DWORD eventType) = 0;
    virtual void DispatchControl(DWORD control) = 0;
    virtual ~IDispatchServiceControls() = default;
};

} // namespace Service
} // namespace CorvaneTools
