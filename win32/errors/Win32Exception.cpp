#include "win32/errors/Win32Exception.h"

#include "win32/errors/ErrorMessage.h"

namespace CorvaneTools {
namespace Win32 {

CWin32Exception::CWin32Exception(const std::wstring &where, DWORD error)
    : CException(where, GetLastErrorMessage(error, true)), m_error(error)
{
}

CWin32Exception::CWin32Exception(const std::wstring &where, const std::wstring &message)
    : CException(where, message), m_error(0)
{
}

CWin32Exception::CWin32Exception(const std::wstring &where, const std::wstring &message, DWORD error)
    : CException(where, message + L" - " + GetLastErrorMessage(error, true)), m_error(error)
{
}

DWORD CWin32Exception::GetError() const
{
    return m_error;
}

} // namespace Win32
} // namespace CorvaneTools
