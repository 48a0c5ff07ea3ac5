#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace Service {

// The platform's device-notification registration as a service status uses it: the three
// filter forms differ only in the record and flags handed over, so one call carries them all.
// Never deleted through this interface.
class IDeviceNotificationPlatform
{
public:
    // Null on failure, with the platform error left as the thread's last error.
    virtual HDEVNOTIFY Register(HANDLE recipient, void *filter, DWORD flags) = 0;
    // False on failure, with the platform error left as the thread's last error.
    virtual bool Unregister(HDEVNOTIFY notification) = 0;

protected:
    ~IDeviceNotificationPlatform() = default;
};

} // namespace Service
} // namespace CorvaneTools
