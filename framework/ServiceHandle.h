#pragma once

#include "win32/handles/UniqueOwners.h"

namespace CorvaneTools {
namespace Service {

// A handle of the service control manager or of one of its services.
using CServiceHandle = Win32::CUniqueServiceHandle;

} // namespace Service
} // namespace CorvaneTools
