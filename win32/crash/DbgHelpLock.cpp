#include "win32/crash/DbgHelpLock.h"

namespace CorvaneTools {
namespace Win32 {

namespace {

// Built at static initialisation, so a crash handler never runs an initialisation guard.
CCriticalSection s_dbgHelpLock;

} // namespace

ICriticalSection &GetDbgHelpLock()
{
    return s_dbgHelpLock;
}

} // namespace Win32
} // namespace CorvaneTools
