#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace Service {

// A service's device-notification registrations, known by handles of the framework's own.
class IManageServiceNotifications
{
public:
    virtual DWORD RegisterForDeviceNotification(HANDLE handle) = 0;
    virtual DWORD RegisterForDeviceNotification(const GUID &interfaceClass) = 0;
    // For every device interface class.
    virtual DWORD RegisterForDeviceNotification() = 0;
    virtual void UnregisterNotification(DWORD handle) = 0;
    virtual void UnregisterAllNotifications() = 0;
    virtual ~IManageServiceNotifications() = default;
};

} // namespace Service
} // namespace CorvaneTools
