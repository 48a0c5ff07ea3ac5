#pragma once

#include "installer/PlanSteps.h"

#include <windows.h>

#include <string>
#include <vector>

namespace CorvaneTools {
namespace Installer {

// The product's service as the service control manager and its Config key hold it.
// Failures throw CException with the operation as where-string.
class CInstalledService
{
public:
    explicit CInstalledService(const std::wstring &name);

    bool Exists() const;
    // Running, paused, or starting, stopping, pausing or continuing.
    bool IsActive() const;
    // The program the service's command line starts; empty when there is no service.
    std::wstring Program() const;
    // Every value under Config, at most MaximumValues of at most MaximumValueBytes each.
    std::vector<CRegistryValue> ReadConfiguration() const;

    // Asks the service to stop and waits until it has and its process has ended; nothing
    // when it does not exist or is stopped.
    void Stop(DWORD timeoutMs) const;
    // Starts the service and waits until it runs.
    void Start(DWORD timeoutMs) const;
    void WriteValue(const CRegistryValue &value) const;

    static const size_t MaximumValues = 64;
    static const DWORD MaximumValueBytes = 64 * 1024;

private:
    std::wstring m_name;
};

} // namespace Installer
} // namespace CorvaneTools
