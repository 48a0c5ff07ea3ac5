#include "win32/errors/Exception.h"

namespace CorvaneTools {
namespace Win32 {

CException::CException(const std::wstring &where, const std::wstring &message)
    : m_where(where), m_message(message)
{
}

CException::~CException() = default;

std::wstring CException::GetWhere() const
{
    return m_where;
}

std::wstring CException::GetMessage() const
{
    return m_message;
}

std::wstring CException::GetCallStack() const
{
    return L"Callstack collection not enabled";
}

} // namespace Win32
} // namespace CorvaneTools
