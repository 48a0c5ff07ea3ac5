#pragma once

#include "win32/handles/UniqueHandle.h"

#include <windows.h>

namespace CorvaneTools {
namespace Service {

// A handle of the service control manager or of one of its services.
using CServiceHandle = Win32::TUniqueHandle<SC_HANDLE, &::CloseServiceHandle>;

} // namespace Service
} // namespace CorvaneTools
