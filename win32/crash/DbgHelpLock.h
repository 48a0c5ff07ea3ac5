#pragma once

#include "win32/sync/CriticalSection.h"

namespace CorvaneTools {
namespace Win32 {

// DbgHelp is not thread-safe: every call into it, from anywhere in the process, holds this.
ICriticalSection &GetDbgHelpLock();

} // namespace Win32
} // namespace CorvaneTools
