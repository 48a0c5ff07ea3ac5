#pragma once

#include "win32/errors/Exception.h"

namespace CorvaneTools {
namespace Win32 {

// A failure with a platform error code; the message carries the system's text for it.
class CWin32Exception : public CException
{
public:
    CWin32Exception(const std::wstring &where, DWORD error);
    CWin32Exception(const std::wstring &where, const std::wstring &message);
    CWin32Exception(const std::wstring &where, const std::wstring &message, DWORD error);

    DWORD GetError() const;

private:
    DWORD m_error;
};

} // namespace Win32
} // namespace CorvaneTools
