#include "win32/security/UntrustedObjectException.h"

namespace CorvaneTools {
namespace Win32 {

CUntrustedObjectException::CUntrustedObjectException(const std::wstring &where, const std::wstring &message)
    : CException(where, message)
{
}

} // namespace Win32
} // namespace CorvaneTools
