#include "win32/crash/SEHException.h"

#include "win32/errors/Exception.h"

#include <cwchar>
#include <map>

namespace CorvaneTools {
namespace Win32 {

namespace {

const std::map<unsigned int, std::wstring> s_names = {
    {0xC0000005, L"ACCESS_VIOLATION"},
    {0x80000002, L"DATATYPE_MISALIGNMENT"},
    {0x80000003, L"BREAKPOINT"},
    {0x80000004, L"SINGLE_STEP"},
    {0x80000001, L"GUARD_PAGE"},
    {0xC0000006, L"IN_PAGE_ERROR"},
    {0xC0000008, L"INVALID_HANDLE"},
    {0xC000001D, L"ILLEGAL_INSTRUCTION"},
    {0xC0000025, L"NONCONTINUABLE_EXCEPTION"},
    {0xC0000026, L"INVALID_DISPOSITION"},
    {0xC000008C, L"ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008F, L"FLT_INEXACT_RESULT"},
    {0xC0000090, L"FLT_INVALID_OPERATION"},
    {0xC0000091, L"FLT_OVERFLOW"},
    {0xC0000092, L"FLT_STACK_CHECK"},
    {0xC0000093, L"FLT_UNDERFLOW"},
    {0xC0000094, L"INT_DIVIDE_BY_ZERO"},
    {0xC0000095, L"INT_OVERFLOW"},
    {0xC0000096, L"PRIV_INSTRUCTION"},
    {0xC00000FD, L"STACK_OVERFLOW"},
    {0xC000008D, L"FLT_DENORMAL_OPERAND"},
    {0xC000008E, L"FLT_DIVIDE_BY_ZERO"},
};

const std::wstring s_unknown = L"Unknown exception";

} // namespace

CSEHException::CSEHException(unsigned int code, EXCEPTION_POINTERS *information)
    : m_code(code),
      m_information(information),
      m_address(information && information->ExceptionRecord ? information->ExceptionRecord->ExceptionAddress
                                                              : nullptr)
{
}

unsigned int CSEHException::GetCode() const
{
    return m_code;
}

EXCEPTION_POINTERS *CSEHException::GetInformation() const
{
    return m_information;
}

std::wstring CSEHException::GetWhere() const
{
    return GetName(m_code);
}

std::wstring CSEHException::GetMessage() const
{
    wchar_t buffer[32];
    if (::_snwprintf_s(buffer, _countof(buffer), _TRUNCATE, L"0x%p", m_address) < 0)
    {
        throw CException(L"ToString", L"sprintf_s failed");
    }
    return buffer;
}

const std::wstring &CSEHException::GetName(unsigned int code)
{
    const auto it = s_names.find(code);
    return it == s_names.end() ? s_unknown : it->second;
}

void CSEHException::Translate(unsigned int code, EXCEPTION_POINTERS *information)
{
    throw CSEHException(code, information);
}

} // namespace Win32
} // namespace CorvaneTools
