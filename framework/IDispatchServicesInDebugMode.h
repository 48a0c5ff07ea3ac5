#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace Service {

// Runs a service table on the calling thread as a plain process, in place of the platform's
// service control dispatcher; returns when every service in it has stopped.
class IDispatchServicesInDebugMode
{
public:
    virtual void DispatchServices(const SERVICE_TABLE_ENTRYW *table) = 0;

protected:
    ~IDispatchServicesInDebugMode() = default;
};

} // namespace Service
} // namespace CorvaneTools
