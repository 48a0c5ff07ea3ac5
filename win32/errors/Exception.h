#pragma once

// windows.h maps GetMessage to GetMessageW; including it first keeps the member's name
// the same in every translation unit.
#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Win32 {

// Root of the system's exception family: where it failed and why.
class CException
{
public:
    CException(const std::wstring &where, const std::wstring &message);
    virtual ~CException();

    virtual std::wstring GetWhere() const;
    virtual std::wstring GetMessage() const;
    virtual std::wstring GetCallStack() const;

private:
    std::wstring m_where;
    std::wstring m_message;
};

} // namespace Win32
} // namespace CorvaneTools
