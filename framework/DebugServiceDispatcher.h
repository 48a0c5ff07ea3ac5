#pragma once

#include "framework/IDispatchServicesInDebugMode.h"

namespace CorvaneTools {
namespace Service {

// Runs a service table on this process's threads: a single service on the calling thread,
// several on a CDebugServiceDispatchThread each.
class CDebugServiceDispatcher final : public IDispatchServicesInDebugMode
{
public:
    // The table ends with an entry without a name or without an entry function.
    void DispatchServices(const SERVICE_TABLE_ENTRYW *table) override;

    // Holds no state, so one serves the whole process.
    static CDebugServiceDispatcher &Instance();
};

} // namespace Service
} // namespace CorvaneTools
