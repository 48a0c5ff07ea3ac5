#pragma once

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Win32 {

// A structured (hardware) exception delivered as a C++ exception; thrown by value.
class CSEHException
{
public:
    CSEHException(unsigned int code, EXCEPTION_POINTERS *information);

    unsigned int GetCode() const;

    // Valid only while the exception is being handled (inside the translator).
    EXCEPTION_POINTERS *GetInformation() const;

    // The code's name, for example "ACCESS_VIOLATION".
    std::wstring GetWhere() const;

    // The faulting address, "0x" followed by the pointer in the platform's %p format.
    std::wstring GetMessage() const;

    static const std::wstring &GetName(unsigned int code);

    // The translator function that throws this exception.
    [[noreturn]] static void Translate(unsigned int code, EXCEPTION_POINTERS *information);

private:
    unsigned int m_code;
    EXCEPTION_POINTERS *m_information;
    // Copied out so that the text stays right after the record has gone.
    const void *m_address;
};

} // namespace Win32
} // namespace CorvaneTools
