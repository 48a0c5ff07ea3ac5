#pragma once

#include "win32/errors/Exception.h"

namespace CorvaneTools {
namespace Win32 {

// A named object or file the program was to use could be changed by an account that is not
// to change it: it was made by someone else, or its descriptor lets others write it.
class CUntrustedObjectException : public CException
{
public:
    CUntrustedObjectException(const std::wstring &where, const std::wstring &message);
};

} // namespace Win32
} // namespace CorvaneTools
