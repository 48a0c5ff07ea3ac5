#include "win32/errors/ErrorMessage.h"

namespace CorvaneTools {
namespace Win32 {

namespace {

// depth bounds the look-up of the reason a look-up failed: a failing reason is not chased
// further, so two codes that fail with each other cannot recurse for ever.
std::wstring LookUp(DWORD error, bool stripLineEnd, int depth)
{
    wchar_t buffer[512];
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                          nullptr, error, 0, buffer, 511, nullptr);
    if (length != 0)
    {
        std::wstring text(buffer, length);
        if (stripLineEnd && !text.empty() && text.back() == L'\n')
        {
            text.pop_back();
            if (!text.empty() && text.back() == L'\r')
            {
                text.pop_back();
            }
        }
        return text;
    }
    const DWORD reason = ::GetLastError();
    if (reason == error || depth > 0)
    {
        return L"Failed to obtain error string: " + std::to_wstring(static_cast<unsigned long>(error));
    }
    return LookUp(reason, stripLineEnd, depth + 1);
}

} // namespace

std::wstring GetLastErrorMessage(DWORD error, bool stripLineEnd)
{
    return LookUp(error, stripLineEnd, 0);
}

} // namespace Win32
} // namespace CorvaneTools
