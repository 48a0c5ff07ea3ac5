#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace Service {

// The application's way to stop its own service, from any thread: a non-zero code is the
// service-specific exit code it stops with.
class IShutdownService
{
public:
    virtual void ShutdownService(DWORD exitCode) = 0;
    virtual ~IShutdownService() = default;
};

} // namespace Service
} // namespace CorvaneTools
